#pragma once

// The console and log-file lines and the records that tell what happened to
// a DExtra client or link.

#include "dextra/peer.h"
#include "monitor/log_record.h"
#include "node/callsign.h"
#include "output/output.h"

namespace mirx {

// How a peer is connected, as the call2 of its records says it: "DExtra"
// and the module letter for a client, "DXLink" and the module for a link.
callsign connection_of(const dextra::peer& p);

// The DXC or DXL record of a change.
record::bytes peer_record(const dextra::peer& p, dextra::peer_change what);

// The change's line: a client's under -i and in the log file, a link's
// always.
void say_peer_change(output& out, const dextra::peer& p, dextra::peer_change what,
                     std::size_t most_clients);

}  // namespace mirx
