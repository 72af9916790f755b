#include "config/config_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <variant>

namespace mirx {

namespace {

constexpr const char* default_path = "mirx_server.cfg";

// A line is read in pieces of at most 255 characters; a buffer holds one
// piece and its terminator.
constexpr int line_size = 256;

// Ctrl-Z marks the end of a text file: nothing after it is read.
constexpr int end_of_text = 0x1a;

struct config_reader {
  std::FILE* file;
  bool ended = false;  // end of file, a read error or Ctrl-Z seen
};

// Linux opens a directory as a stream that yields no lines; it counts as a
// file that cannot be opened, so that the default file is tried instead.
std::FILE* open_text(const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return nullptr;
  struct stat info {};
  if (fstat(fileno(f), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

// The -f file when it opens, else the default file; a missing -f file is
// passed over silently when the default one opens.
std::FILE* open_config(const char* path, output& out) {
  std::FILE* f = path != nullptr ? open_text(path) : nullptr;
  if (f == nullptr) f = open_text(default_path);
  if (f == nullptr)
    out.say(shown::always, "Config file open error : %s\n", path != nullptr ? path : "(null)");
  return f;
}

// Reads the next piece of a line into `raw`: carriage returns dropped, at most
// line_size - 1 characters, up to and including the first newline. A zero
// byte is stored like any other, so the text of the piece ends there while the
// rest of its line is still consumed. False when nothing is left.
bool read_piece(config_reader& r, char (&raw)[line_size]) {
  int n = 0;
  while (!r.ended && n < line_size - 1) {
    const int c = std::getc(r.file);
    if (c == EOF || c == end_of_text) {
      r.ended = true;
    } else if (c != '\r') {
      raw[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
  }
  raw[n] = '\0';
  return n > 0;
}

// "ON" and "OFF" (upper case, as DprsSW) set a switch; any other value leaves
// it as it was.
void store_switch(bool& field, const char* value) {
  if (std::strncmp(value, "ON", 2) == 0) field = true;
  if (std::strncmp(value, "OFF", 3) == 0) field = false;
}

bool is_white(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Passes leading white space and an optional sign; `negative` tells which.
const char* skip_to_digits(const char* text, bool& negative) {
  while (is_white(*text)) ++text;
  negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  return text;
}

// Leading white space, an optional sign, then decimal digits up to the first
// other character; no digits give 0. The sum is kept unsigned so that any
// number of digits wraps at 32 bits instead of overflowing.
std::int32_t parse_number(const char* text) {
  bool negative = false;
  text = skip_to_digits(text, negative);
  std::uint32_t sum = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    sum = sum * 10u + static_cast<std::uint32_t>(*text - '0');
  return static_cast<std::int32_t>(negative ? 0u - sum : sum);
}

// A count as written, sign included, held at a bound far beyond any valid
// count rather than wrapped, so that start-up can refuse what is out of range.
std::int64_t parse_count(const char* text) {
  constexpr std::int64_t held = std::int64_t{1} << 40;
  bool negative = false;
  text = skip_to_digits(text, negative);
  std::int64_t sum = 0;
  for (; *text >= '0' && *text <= '9'; ++text) sum = std::min(held, sum * 10 + (*text - '0'));
  return negative ? -sum : sum;
}

// Copies `value` into a text field of `size` bytes; a longer value is cut to
// the field and said so, and never reaches past it.
void store_text(char* field, std::size_t size, const char* key, const char* value, output& out) {
  const std::size_t length = std::strlen(value);
  const std::size_t kept = length < size ? length : size - 1;
  std::memcpy(field, value, kept);
  field[kept] = '\0';
  if (kept < length)
    out.say(shown::always, "Config file: %s value cut to %d characters\n", key,
            static_cast<int>(size - 1));
}

// Where a key's value is kept, which also says how it is read and echoed: a
// port or rate as a wrapping 32-bit number, a count held at a bound beyond
// any valid one, a switch, or text cut to its field.
using field = std::variant<std::int32_t settings::*, std::int64_t settings::*, bool settings::*,
                           char (settings::*)[settings::text_size],
                           char (settings::*)[settings::com_port_size]>;

struct key_entry {
  const char* name;      // the key as messages name it
  std::size_t compared;  // leading characters of the line that must equal those of `name`
  field where;
  const char* echo = nullptr;  // the key as the debug echo names it, when not `name`
  bool on_only = false;        // a switch that "ON" sets and nothing clears, echoed as written

  const char* echoed() const { return echo != nullptr ? echo : name; }
};

// In match order; the first entry whose prefix matches decides. OutPort and
// LogPort compare six characters only, so "OutPor" and "LogPor" set them too.
// No name of the operator controls (from AccessFile on) begins with the text
// of an earlier key, nor an earlier key with one of them.
const key_entry keys[] = {
    {"InPort", 6, &settings::in_port},
    {"OutPort", 6, &settings::out_port},
    {"LogPort", 6, &settings::log_port},
    {"LogFileName", 11, &settings::log_file_name},
    {"LogServer", 9, &settings::log_server},
    {"DprsComPort", 11, &settings::dprs_com_port},
    {"DprsSW", 6, &settings::dprs_sw, nullptr, true},
    {"DprsBaudRate", 12, &settings::dprs_baud_rate, "DprsBaud"},
    {"AccessFile", 10, &settings::access_file},
    {"RelayUnregistered", 17, &settings::relay_unregistered},
    {"MaxNodes", 8, &settings::max_nodes},
    {"StateFile", 9, &settings::state_file},
    {"LogVoice", 8, &settings::log_voice},
    {"NodeIdleTimeout", 15, &settings::node_idle_timeout},
    {"LogStreams", 10, &settings::log_streams},
    {"LogHeartbeat", 12, &settings::log_heartbeat},
    {"FastRelay", 9, &settings::fast_relay},
};

// Stores one value where its key says and echoes what was stored.
struct store_value {
  const key_entry& key;
  const char* value;
  settings& s;
  output& out;

  void operator()(std::int32_t settings::*f) const {
    s.*f = parse_number(value);
    out.say(shown::debug, "%s : %d\n", key.echoed(), static_cast<int>(s.*f));
  }
  void operator()(std::int64_t settings::*f) const {
    s.*f = parse_count(value);
    out.say(shown::debug, "%s : %lld\n", key.echoed(), static_cast<long long>(s.*f));
  }
  void operator()(bool settings::*f) const {
    if (key.on_only) {
      if (std::strncmp(value, "ON", 2) == 0) s.*f = true;
      return out.say(shown::debug, "%s : %s\n", key.echoed(), value);
    }
    store_switch(s.*f, value);
    out.say(shown::debug, "%s : %s\n", key.echoed(), s.*f ? "ON" : "OFF");
  }
  template <std::size_t size>
  void operator()(char (settings::*f)[size]) const {
    store_text(s.*f, size, key.name, value, out);
    out.say(shown::debug, "%s : %s\n", key.echoed(), s.*f);
  }
};

const key_entry* match_key(const char* key_start) {
  for (const key_entry& key : keys)
    if (std::strncmp(key_start, key.name, key.compared) == 0) return &key;
  return nullptr;
}

// One piece of the file: a comment, a faulty line that is reported, or
// "key = value ;" with anything after the ";" ignored. Messages quote `raw`
// as it was read, newline included.
void handle_line(const char* raw, settings& s, output& out) {
  char work[line_size];
  std::strcpy(work, raw);  // both buffers hold one piece
  const std::size_t length = std::strlen(work);
  if (length > 0 && work[length - 1] == '\n') work[length - 1] = '\0';
  const char* key_start = work + std::strspn(work, " ");  // a tab is not skipped
  if (*key_start == '#') return;
  char* cut = std::strchr(work, ';');
  if (cut == nullptr) return out.say(shown::always, "Not found ';' in  : %s\n", raw);
  *cut = '\0';
  const key_entry* key = match_key(key_start);
  const char* equals = key != nullptr ? std::strchr(key_start, '=') : nullptr;
  // A known key without "=" before the ";" has no value to store.
  if (equals == nullptr) return out.say(shown::always, "Config file error : %s\n\n", raw);
  const char* value = equals + 1 + std::strspn(equals + 1, " ");
  std::visit(store_value{*key, value, s, out}, key->where);
}

}  // namespace

void read_config_file(const char* path, settings& s, output& out) {
  config_reader r{open_config(path, out)};
  if (r.file == nullptr) return;
  out.say(shown::debug, "\n*** Debug on Config File\n");
  char raw[line_size];
  while (read_piece(r, raw)) handle_line(raw, s, out);
  std::fclose(r.file);
  out.say(shown::debug, "*** Debug Exit\n\n");
}

}  // namespace mirx
