#include "controls/access_watch.h"

#include "controls/read_file.h"

namespace mirx {
namespace {

const char* consequence(const node_gate& g, const char* what) {
  if (!g.closed) return "the rules in force stay";
  return what;
}

// The file's text, or nothing after saying once why it cannot be read.
bool read_text(access_watch& w, const node_gate& g, output& out, std::string& text) {
  std::string why;
  if (!read_control_file(w.path.c_str(), text, why)) {
    if (!w.unreadable_said)
      out.stamped(shown::always, "Access file %s cannot be read: %s; %s\n", w.path.c_str(),
                  why.c_str(), consequence(g, "nobody is admitted until it can be read"));
    // `text` still holds the rules in force: a file back as it was changes
    // nothing and is not reloaded.
    w.unreadable_said = true;
    return false;
  }
  w.unreadable_said = false;
  return true;
}

void put_in_force(access_watch& w, node_gate& g, conference& c, bool at_start) {
  access_parse parsed = parse_access_rules(w.text);
  if (!parsed.rules) {
    const char* still = consequence(g, "nobody is admitted until it is mended");
    if (parsed.line == 0)
      c.out.stamped(shown::always, "Access file %s: %s; %s\n", w.path.c_str(), parsed.fault.c_str(),
                    still);
    else
      c.out.stamped(shown::always, "Access file %s line %d: %s; %s\n", w.path.c_str(), parsed.line,
                    parsed.fault.c_str(), still);
    return;
  }
  g.rules = std::move(*parsed.rules);
  g.closed = false;
  ++g.rules_version;
  const std::size_t removed = remove_refused(g, c);
  c.out.stamped(shown::always, "Access file %s %s: %lu rules in force, %lu entries removed\n",
                w.path.c_str(), at_start ? "read" : "reloaded",
                static_cast<unsigned long>(g.rules.count), static_cast<unsigned long>(removed));
}

}  // namespace

void read_access_at_start(access_watch& w, node_gate& g, conference& c) {
  std::string text;
  if (!read_text(w, g, c.out, text)) return;
  w.text = std::move(text);
  w.read = true;
  put_in_force(w, g, c, true);
}

void look_at_access(access_watch& w, node_gate& g, conference& c) {
  std::string text;
  if (!read_text(w, g, c.out, text)) return;
  if (w.read && text == w.text) {
    w.pending.reset();
    return;
  }
  if (!w.pending || text != *w.pending) {
    w.pending = std::move(text);
    return;
  }
  w.pending.reset();
  w.text = std::move(text);
  w.read = true;
  put_in_force(w, g, c, false);
}

}  // namespace mirx
