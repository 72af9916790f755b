#pragma once

// The node table as a text file, so that a restarted server knows its nodes
// again. Every byte of a call sign survives: anything but plain printable
// characters is written as \xHH, so a call sign may hold quotes, spaces,
// line breaks or any other byte.
//
//   mirx-server node table 1
//   "DL1ABC" "GW" 192.0.2.10
//   end 1

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node/node_table.h"

namespace mirx {

std::string format_state(const std::vector<node_entry>& entries);

// The entries of a file written by format_state, in their order; nothing,
// with the fault in `fault`, when the text is not such a file (cut short,
// edited wrongly, or holding one call1 twice).
std::optional<std::vector<node_entry>> parse_state(std::string_view text, std::string* fault);

}  // namespace mirx
