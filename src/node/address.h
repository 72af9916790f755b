#pragma once

// The address helpers live on the shared floor; this name is kept so that
// code outside src/ that still includes it builds.
#include "platform/ipv4.h"
