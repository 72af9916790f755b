#pragma once

// Everything the node handlers share: where they report, how they send, the
// node table and the two call signs remembered from the last header.

#include <vector>

#include "monitor/log_record.h"
#include "node/callsign.h"
#include "node/doors.h"
#include "node/link.h"
#include "node/node_table.h"
#include "output/output.h"

namespace mirx {

struct conference {
  output& out;
  node_link& net;
  node_table table;
  callsign last_my_call{};                // my_call of the last relayed header
  callsign last_node_call{};              // call1 of the last registered sender of a header
  std::vector<conference_door*> doors{};  // the other ways in; none unless configured
};

}  // namespace mirx
