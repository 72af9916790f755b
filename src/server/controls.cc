#include "server/controls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "node/registration.h"
#include "node/state_file.h"
#include "server/log_file.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {
namespace {

// The whole of a file; false with the reason, and whether it does not exist.
bool read_whole_file(const char* path, std::string& text, std::string& why,
                     bool* missing = nullptr) {
  errno = 0;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    why = std::strerror(errno);
    if (missing != nullptr) *missing = errno == ENOENT;
    return false;
  }
  text.clear();
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) why = "read error";
  return !failed;
}

// Reads the access file and, when it changed and is good, puts its rules in
// force and removes the entries they refuse. A bad or unreadable file leaves
// the rules in force as they are (none but "nobody" before the first read).
// At run time a change counts only once two looks a second apart found the
// same text, so that a file caught while an editor writes it (cut short, yet
// perhaps good) is never put in force.
void load_access_file(server& s, bool at_start) {
  controls& k = s.ctl;
  node_gate& g = k.gate;
  const char* path = s.cfg.access_file;
  std::string text, why;
  if (!read_whole_file(path, text, why)) {
    if (!k.access_unreadable_said)
      s.out.stamped(
          shown::always, "Access file %s cannot be read: %s; %s\n", path, why.c_str(),
          g.closed ? "nobody is admitted until it can be read" : "the rules in force stay");
    k.access_unreadable_said = true;
    k.access_read = false;
    return;
  }
  k.access_unreadable_said = false;
  if (k.access_read && text == k.access_text) return;
  if (!at_start && (!k.access_pending || text != *k.access_pending)) {
    k.access_pending = std::move(text);
    return;
  }
  k.access_pending.reset();
  k.access_text = std::move(text);
  k.access_read = true;
  access_parse parsed = parse_access_rules(k.access_text);
  if (!parsed.rules) {
    s.out.stamped(shown::always, "Access file %s line %d: %s; %s\n", path, parsed.line,
                  parsed.fault.c_str(),
                  g.closed ? "nobody is admitted until it is mended" : "the rules in force stay");
    return;
  }
  g.rules = std::move(*parsed.rules);
  g.closed = false;
  const std::size_t removed = remove_refused(g, s.conf);
  s.out.stamped(shown::always, "Access file %s %s: %lu rules in force, %lu entries removed\n", path,
                at_start ? "read" : "reloaded", static_cast<unsigned long>(g.rules.count),
                static_cast<unsigned long>(removed));
}

// A state file that cannot be used is kept for the operator under a name of
// its own; when even that fails it is left in place and never overwritten.
void set_aside(server& s, const std::string& why) {
  const std::string path = s.cfg.state_file;
  std::string aside;
  std::error_code ec;
  for (int i = 0; i < 100; ++i) {
    aside =
        path + ".bad-" + std::to_string(std::time(nullptr)) + (i ? "-" + std::to_string(i) : "");
    if (!std::filesystem::exists(aside, ec)) break;
  }
  if (std::rename(path.c_str(), aside.c_str()) == 0) {
    s.out.stamped(shown::always,
                  "State file %s unusable (%s): moved aside to %s, table starts empty\n",
                  path.c_str(), why.c_str(), aside.c_str());
    return;
  }
  s.out.stamped(shown::always,
                "State file %s unusable (%s) and cannot be moved aside (%s): table starts empty, "
                "nothing saved this run\n",
                path.c_str(), why.c_str(), std::strerror(errno));
  s.ctl.saving_off = true;
}

bool restorable(const server& s, const node_entry& e) {
  const node_gate& g = s.ctl.gate;
  return rules_admit(g, e.call1, e.ip) && (g.max_nodes == 0 || s.conf.table.size() < g.max_nodes);
}

void restore_state(server& s) {
  const char* path = s.cfg.state_file;
  std::string text, why;
  bool missing = false;
  if (!read_whole_file(path, text, why, &missing)) {
    if (!missing) return set_aside(s, why);
    s.out.stamped(shown::always, "State file %s: none saved yet, table starts empty\n", path);
    return;
  }
  std::string fault;
  const auto entries = parse_state(text, &fault);
  if (!entries) return set_aside(s, fault);
  std::size_t restored = 0;
  for (const node_entry& e : *entries)
    if (restorable(s, e) && restore_node(s.conf, e)) ++restored;
  s.out.stamped(shown::always, "State file %s: %lu entries restored, %lu refused\n", path,
                static_cast<unsigned long>(restored),
                static_cast<unsigned long>(entries->size() - restored));
  // A table restored whole is what the file holds already.
  if (restored == entries->size()) s.ctl.saved_generation = s.conf.table.generation();
}

// Saves a changed table; a failure is said once and tried again at the next
// change (or at the stop), and the server runs on.
void save_state(server& s, bool at_stop) {
  controls& k = s.ctl;
  const std::uint64_t generation = s.conf.table.generation();
  if (k.saving_off || generation == k.saved_generation) return;
  if (generation == k.tried_generation && !at_stop) return;
  k.tried_generation = generation;
  const int error = platform::replace_file(s.cfg.state_file, format_state(s.conf.table.entries()));
  if (error != 0) {
    if (!k.save_failing)
      s.out.stamped(shown::always,
                    "State file %s cannot be saved: %s; trying again at the next change\n",
                    s.cfg.state_file, platform::error_text(error).c_str());
    k.save_failing = true;
    return;
  }
  if (k.save_failing) s.out.stamped(shown::always, "State file %s saved again\n", s.cfg.state_file);
  k.save_failing = false;
  k.saved_generation = generation;
}

// Flushes and closes the log file and opens LogFileName again, so that a log
// rotation that renamed the file gets a new one.
void reopen_log_file(server& s) {
  if (s.out.log != nullptr) std::fclose(s.out.log);
  open_log(s, "log reopen", "reopen");
}

}  // namespace

void start_controls(server& s) {
  std::lock_guard<std::mutex> hold(io_lock());
  platform::watch_reopen_signal();
  s.out.log_voice = s.cfg.log_voice;
  node_gate& g = s.ctl.gate;
  g.relay_unregistered = s.cfg.relay_unregistered;
  g.max_nodes = s.cfg.max_nodes > 0 ? static_cast<std::size_t>(s.cfg.max_nodes) : 0;
  g.access_list = s.cfg.access_file[0] != '\0';
  g.closed = g.access_list;
  g.screening = g.access_list || !g.relay_unregistered || g.max_nodes != 0;
  s.ctl.timed = g.screening || s.cfg.state_file[0] != '\0';
  if (g.access_list) load_access_file(s, true);
  if (s.cfg.state_file[0] != '\0') restore_state(s);
  s.ctl.last_second = std::time(nullptr);
}

void tick_controls(server& s) {
  const bool reopen = platform::take_reopen_request();
  if (!reopen && (!s.ctl.timed || std::time(nullptr) == s.ctl.last_second)) return;
  std::lock_guard<std::mutex> hold(io_lock());
  if (reopen) reopen_log_file(s);
  const std::time_t now = std::time(nullptr);
  if (!s.ctl.timed || now == s.ctl.last_second) return;
  s.ctl.last_second = now;
  if (s.ctl.gate.access_list) load_access_file(s, false);
  if (s.cfg.state_file[0] != '\0') save_state(s, false);
  report_held(s.ctl.gate, s.out);
}

void save_state_at_stop(server& s) {
  if (s.cfg.state_file[0] != '\0') save_state(s, true);
}

}  // namespace mirx
