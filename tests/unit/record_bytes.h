#pragma once

// Log-server datagrams for tests, written as 8-byte pieces.

#include <cstdint>
#include <string>
#include <vector>

namespace mirx::test {

using bytes = std::vector<std::uint8_t>;

// A datagram from 8-byte pieces, each given by its leading bytes (the rest
// of a piece is zero).
inline bytes datagram(const std::vector<std::string>& pieces) {
  bytes b;
  for (const std::string& p : pieces) {
    b.insert(b.end(), p.begin(), p.end());
    b.resize(b.size() + 8 - p.size());
  }
  return b;
}

}  // namespace mirx::test
