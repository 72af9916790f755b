#pragma once

// Counts what client addresses hold (connections, event streams) under a
// total cap and a cap per address, so that one address cannot take what
// every other client needs. Safe to use from any thread.

#include <map>
#include <mutex>
#include <string>

namespace mirx::dashboard {

class address_slots {
 public:
  address_slots(int total, int per_address) : total_(total), per_address_(per_address) {}

  // Takes one slot for `address`; false, and nothing taken, when either cap
  // is reached.
  bool take(const std::string& address);
  void give(const std::string& address);
  int held() const;

 private:
  const int total_, per_address_;
  mutable std::mutex lock_;
  std::map<std::string, int> by_address_;  // only addresses holding a slot
  int held_ = 0;
};

}  // namespace mirx::dashboard
