#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "output/output.h"
#include "settings/settings.h"

namespace mirx {

// Reads the configuration file once at start-up: `path` when given and it
// opens, else "mirx_server.cfg" in the working directory. Overwrites the
// settings the file names and reports faulty lines on the console; with no
// file at all every default stays. Then checks every setting against its
// row of the key table and returns the line that refuses the first one that
// cannot be used (a port of 0, a number of ours that is not a whole number
// in range, a text longer than its use allows), empty when all can. It never ends the process
// itself.
std::string read_config_file(const char* path, settings& s, output& out);

// Where a key's value is kept, which also says how it is read and echoed: a
// port or rate as a wrapping 32-bit number, a count of ours as a 64-bit
// number, a switch, or text cut to its field.
using key_field = std::variant<std::int32_t settings::*, std::int64_t settings::*, bool settings::*,
                               char (settings::*)[settings::text_size],
                               char (settings::*)[settings::com_port_size], text_list settings::*>;

// Keys of the original file format keep their lenient reading (a number up to
// the first non-digit, "ON"/"OFF", text cut to its field); the keys this
// project added are strict where they are numbers.
enum class key_origin { original, added };

// How a value is checked once the whole file is read.
enum class key_check {
  as_read,       // anything the reading gave is used
  port,          // refused when its low 16 bits are 0
  whole_number,  // refused unless written as a whole number from `low` to `high`
  short_text,    // refused when longer than `high` characters
  call_sign,     // refused unless empty or a call sign of 3 to `high` letters and digits
};

struct key_bounds {
  key_check check = key_check::as_read;
  std::int64_t low = 0;
  std::int64_t high = 0;
};

// One row per key: everything reading, echoing and checking it needs.
struct key_entry {
  const char* name;      // the key as messages name it
  std::size_t compared;  // leading characters of the line that must equal those of `name`
  key_field where;
  key_origin origin;
  key_bounds bounds = {};
  const char* echo = nullptr;  // the key as the debug echo names it, when not `name`
  bool on_only = false;        // a switch that "ON" sets and nothing clears, echoed as written

  const char* echoed() const { return echo != nullptr ? echo : name; }
};

// The key table, in match order.
std::span<const key_entry> config_keys();

}  // namespace mirx
