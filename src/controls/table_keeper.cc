#include "controls/table_keeper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "controls/read_file.h"
#include "controls/state_file.h"
#include "node/registration.h"
#include "platform/platform.h"

namespace mirx {
namespace {

// How many entries are restored between two looks at `stopping`.
constexpr std::size_t entries_between_looks = 256;

// A state file that cannot be used is kept for the operator under a name of
// its own; when even that fails it is left in place and never overwritten.
void set_aside(table_keeper& k, output& out, const std::string& why) {
  const std::string& path = k.path;
  std::string aside;
  std::error_code ec;
  for (int i = 0; i < 100; ++i) {
    aside = path + ".bad-" + std::to_string(std::time(nullptr));
    if (i) aside += '-' + std::to_string(i);
    if (!std::filesystem::exists(aside, ec)) break;
  }
  if (std::rename(path.c_str(), aside.c_str()) == 0) {
    out.stamped(shown::always,
                "State file %s unusable (%s): moved aside to %s, table starts empty\n",
                path.c_str(), why.c_str(), aside.c_str());
    return;
  }
  out.stamped(shown::always,
              "State file %s unusable (%s) and cannot be moved aside (%s): table starts empty, "
              "nothing saved this run\n",
              path.c_str(), why.c_str(), std::strerror(errno));
  k.saving_off = true;
}

// The entries of the file, or nothing when there is none or it was set aside.
std::optional<std::vector<node_entry>> read_state(table_keeper& k, output& out) {
  std::string text, why;
  bool missing = false;
  if (!read_control_file(k.path.c_str(), text, why, &missing)) {
    if (!missing) set_aside(k, out, why);
    if (missing)
      out.stamped(shown::always, "State file %s: none saved yet, table starts empty\n",
                  k.path.c_str());
    return std::nullopt;
  }
  auto entries = parse_state(text, &why);
  if (!entries) set_aside(k, out, why);
  return entries;
}

}  // namespace

void restore_table(table_keeper& k, const node_gate& g, conference& c, bool (*stopping)()) {
  const auto entries = read_state(k, c.out);
  if (!entries) return;
  std::size_t restored = 0, looked = 0;
  for (const node_entry& e : *entries) {
    if (++looked % entries_between_looks == 0 && stopping()) {
      k.saving_off = true;
      c.out.stamped(shown::always, "State file %s: restore stopped after %lu entries\n",
                    k.path.c_str(), static_cast<unsigned long>(restored));
      return;
    }
    // The file holds each call1 once and the table was empty: no search.
    if (admits(g, c.table, e) && restore_node(c, e)) ++restored;
  }
  c.out.stamped(shown::always, "State file %s: %lu entries restored, %lu refused\n", k.path.c_str(),
                static_cast<unsigned long>(restored),
                static_cast<unsigned long>(entries->size() - restored));
  // A table restored whole is what the file holds already.
  if (restored == entries->size()) k.saved_generation = c.table.generation();
}

void save_table(table_keeper& k, conference& c, bool at_stop) {
  const std::uint64_t generation = c.table.generation();
  if (k.saving_off || generation == k.saved_generation) return;
  if (generation == k.tried_generation && !at_stop) return;
  k.tried_generation = generation;
  const int error = platform::replace_file(k.path, format_state(c.table.entries()));
  if (error != 0) {
    if (!k.save_failing)
      c.out.stamped(shown::always,
                    "State file %s cannot be saved: %s; trying again at the next change\n",
                    k.path.c_str(), platform::error_text(error).c_str());
    k.save_failing = true;
    return;
  }
  if (k.save_failing) c.out.stamped(shown::always, "State file %s saved again\n", k.path.c_str());
  k.save_failing = false;
  k.saved_generation = generation;
}

}  // namespace mirx
