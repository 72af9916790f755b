#include "config/config_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "dextra/dsvt.h"
#include "dextra/link_target.h"

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
// rest of its line is still consumed. Returns how many characters were read:
// 0 when nothing is left.
int read_piece(config_reader& r, char (&raw)[line_size]) {
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
  return n;
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

// A whole number as the keys this project added take it: an optional sign and
// decimal digits, with nothing but white space around them. It is held at a
// bound far beyond any valid one rather than wrapped, so that the check after
// reading refuses what is out of range. Nothing when the text is anything else.
std::optional<std::int64_t> parse_whole(const char* text) {
  constexpr std::int64_t held = std::int64_t{1} << 40;
  bool negative = false;
  text = skip_to_digits(text, negative);
  if (*text < '0' || *text > '9') return std::nullopt;
  std::int64_t sum = 0;
  for (; *text >= '0' && *text <= '9'; ++text) sum = std::min(held, sum * 10 + (*text - '0'));
  while (is_white(*text)) ++text;
  if (*text != '\0') return std::nullopt;
  return negative ? -sum : sum;
}

// The value as written, without the white space around it, for messages.
std::string trimmed(const char* value) {
  while (is_white(*value)) ++value;
  std::size_t length = std::strlen(value);
  while (length > 0 && is_white(value[length - 1])) --length;
  return std::string(value, length);
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

constexpr key_origin original = key_origin::original;
constexpr key_origin added = key_origin::added;
// Port 0 would bind a random port (nodes could never reach us) or make every
// send to a node fail: as useless as a port that cannot be bound.
constexpr key_bounds port_bounds{key_check::port, 1, 65535};

constexpr key_bounds whole(std::int64_t low, std::int64_t high) {
  return {key_check::whole_number, low, high};
}

constexpr key_bounds at_most(std::int64_t characters) {
  return {key_check::short_text, 0, characters};
}

// In match order; the first row whose compared prefix matches decides.
// OutPort and LogPort compare six characters only, so "OutPor" and "LogPor"
// set them too. A new key is one row: its name, how many leading characters
// are compared (no two rows may share them), where it is kept, `added`, and
// for a number the whole numbers it takes.
const key_entry keys[] = {
    {"InPort", 6, &settings::in_port, original, port_bounds},
    {"OutPort", 6, &settings::out_port, original, port_bounds},
    {"LogPort", 6, &settings::log_port, original},
    {"LogFileName", 11, &settings::log_file_name, original},
    {"LogServer", 9, &settings::log_server, original},
    {"DprsComPort", 11, &settings::dprs_com_port, original},
    {"DprsSW", 6, &settings::dprs_sw, original, {}, nullptr, true},
    {"DprsBaudRate", 12, &settings::dprs_baud_rate, original, {}, "DprsBaud"},
    {"AccessFile", 10, &settings::access_file, added},
    {"RelayUnregistered", 17, &settings::relay_unregistered, added},
    {"MaxNodes", 8, &settings::max_nodes, added, whole(0, settings::count_max)},
    {"StateFile", 9, &settings::state_file, added},
    {"LogVoice", 8, &settings::log_voice, added},
    {"NodeIdleTimeout", 15, &settings::node_idle_timeout, added, whole(0, settings::count_max)},
    {"LogStreams", 10, &settings::log_streams, added},
    {"LogHeartbeat", 12, &settings::log_heartbeat, added, whole(1, 3600)},
    {"FastRelay", 9, &settings::fast_relay, added},
    {"OneTalker", 9, &settings::one_talker, added},
    {"MaxOverSeconds", 14, &settings::max_over_seconds, added, whole(0, 3600)},
    // A call sign: cutting a longer one would answer a call nobody gave.
    {"EchoCall", 8, &settings::echo_call, added, at_most(8)},
    // The door's port; 0 keeps it shut.
    {"DExtraPort", 10, &settings::dextra_port, added, whole(0, 65535)},
    // Seven characters at most: the eighth byte of the field is a module letter.
    {"DExtraCall", 10, &settings::dextra_call, added, {key_check::call_sign, 3, 7}},
    {"DExtraLink", 10, &settings::dextra_links, added},
};

constexpr std::size_t key_count = sizeof keys / sizeof keys[0];

// What the file wrote for each row, as far as the check after reading needs
// it: the last value given for a whole-number row.
struct written_values {
  std::optional<std::string> text[key_count];  // nothing: the file gave none
  bool cut[key_count] = {};  // a line of the key lost its value to the line length
};

// Stores one value where its key says and echoes what was stored.
struct store_value {
  const key_entry& key;
  const char* value;
  settings& s;
  output& out;
  written_values& written;

  void operator()(std::int32_t settings::*f) const {
    if (key.bounds.check == key_check::whole_number) return store_whole(f);
    s.*f = parse_number(value);
    out.say(shown::debug, "%s : %d\n", key.echoed(), static_cast<int>(s.*f));
  }
  void operator()(std::int64_t settings::*f) const { store_whole(f); }
  // A number of ours: kept only when it is a whole number, else echoed as
  // written and left for the check after reading to refuse.
  template <typename number>
  void store_whole(number settings::*f) const {
    const std::size_t row = static_cast<std::size_t>(&key - keys);
    written.text[row] = trimmed(value);
    const std::optional<std::int64_t> n = parse_whole(value);
    if (!n) return out.say(shown::debug, "%s : %s\n", key.echoed(), value);
    s.*f = static_cast<number>(std::clamp<std::int64_t>(*n, std::numeric_limits<number>::min(),
                                                        std::numeric_limits<number>::max()));
    out.say(shown::debug, "%s : %lld\n", key.echoed(), static_cast<long long>(*n));
  }
  void operator()(bool settings::*f) const {
    if (key.on_only) {
      if (std::strncmp(value, "ON", 2) == 0) s.*f = true;
      return out.say(shown::debug, "%s : %s\n", key.echoed(), value);
    }
    store_switch(s.*f, value);
    out.say(shown::debug, "%s : %s\n", key.echoed(), s.*f ? "ON" : "OFF");
  }
  // A line of a list key; an empty value adds nothing.
  void operator()(text_list settings::*f) const {
    const std::string line = trimmed(value);
    text_list& list = s.*f;
    if (!line.empty()) {
      if (list.count < text_list::most)
        store_text(list.item[list.count], sizeof list.item[0], key.name, line.c_str(), out);
      ++list.count;
    }
    out.say(shown::debug, "%s : %s\n", key.echoed(), line.c_str());
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
// `cut_short`: the piece is not the whole line. A key of ours whose value it cut is
// refused after reading, since ignoring it would switch its limit off.
void handle_line(const char* raw, bool cut_short, settings& s, output& out,
                 written_values& written) {
  char work[line_size];
  std::strcpy(work, raw);  // both buffers hold one piece
  const std::size_t length = std::strlen(work);
  if (length > 0 && work[length - 1] == '\n') work[length - 1] = '\0';
  const char* key_start = work + std::strspn(work, " ");  // a tab is not skipped
  if (*key_start == '#') return;
  char* cut = std::strchr(work, ';');
  if (cut == nullptr) {
    const key_entry* key = cut_short ? match_key(key_start) : nullptr;
    if (key != nullptr && key->origin == key_origin::added)
      written.cut[static_cast<std::size_t>(key - keys)] = true;
    return out.say(shown::always, "Not found ';' in  : %s\n", raw);
  }
  *cut = '\0';
  const key_entry* key = match_key(key_start);
  const char* equals = key != nullptr ? std::strchr(key_start, '=') : nullptr;
  // A known key without "=" before the ";" has no value to store.
  if (equals == nullptr) return out.say(shown::always, "Config file error : %s\n\n", raw);
  const char* value = equals + 1 + std::strspn(equals + 1, " ");
  std::visit(store_value{*key, value, s, out, written}, key->where);
}

// A numeric setting as a 64-bit number; 0 for one that is not a number.
std::int64_t number_in(const key_field& where, const settings& s) {
  if (const auto* f = std::get_if<std::int32_t settings::*>(&where)) return s.**f;
  if (const auto* f = std::get_if<std::int64_t settings::*>(&where)) return s.**f;
  return 0;
}

// A text setting; empty for one that is not text.
const char* text_in(const key_field& where, const settings& s) {
  if (const auto* f = std::get_if<char(settings::*)[settings::text_size]>(&where)) return s.**f;
  if (const auto* f = std::get_if<char(settings::*)[settings::com_port_size]>(&where)) return s.**f;
  return "";
}

std::string line_of(const char* fmt, ...) MIRX_PRINTF(1, 2);
std::string line_of(const char* fmt, ...) {
  char text[512];
  std::va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return n > 0 ? text : "";
}

// Why a row's setting cannot be used, empty when it can. A limit the operator
// asked for and did not get would fail open, so anything unclear is refused.
std::string refusal(const key_entry& key, const settings& s, const written_values& written) {
  const std::size_t row = static_cast<std::size_t>(&key - keys);
  const key_bounds& b = key.bounds;
  if (written.cut[row])
    return line_of("%s is on a line longer than %d characters: write it on a shorter line\n",
                   key.name, line_size - 2);
  if (b.check == key_check::port &&
      port_of(static_cast<std::int32_t>(number_in(key.where, s))) == 0)
    return line_of("%s=%d is port 0: give a port from %lld to %lld\n", key.name,
                   static_cast<int>(number_in(key.where, s)), static_cast<long long>(b.low),
                   static_cast<long long>(b.high));
  if (b.check == key_check::short_text) {
    const char* text = text_in(key.where, s);
    if (static_cast<std::int64_t>(std::strlen(text)) <= b.high) return "";
    return line_of("%s=%s is too long: give at most %lld characters\n", key.name, text,
                   static_cast<long long>(b.high));
  }
  if (b.check == key_check::call_sign) {
    const char* text = text_in(key.where, s);
    if (*text == '\0' || dextra::valid_call_text(text, static_cast<std::size_t>(b.high))) return "";
    return line_of("%s=%s is not a call sign: give %lld to %lld letters and digits\n", key.name,
                   text, static_cast<long long>(b.low), static_cast<long long>(b.high));
  }
  if (b.check != key_check::whole_number) return "";
  // The number as written, before any narrowing to its field; the default
  // when the file did not give one.
  const std::optional<std::string>& text = written.text[row];
  const std::optional<std::int64_t> n =
      text ? parse_whole(text->c_str()) : std::optional<std::int64_t>(number_in(key.where, s));
  const char* fault = !n                          ? "is not a whole number"
                      : *n < b.low || *n > b.high ? "is out of range"
                                                  : nullptr;
  if (fault == nullptr) return "";
  const std::string shown = text ? *text : std::to_string(*n);
  return line_of("%s=%s %s: give a number from %lld to %lld\n", key.name, shown.c_str(), fault,
                 static_cast<long long>(b.low), static_cast<long long>(b.high));
}

// What the DExtra keys need of one another: links of the right form, no
// more of them than are kept, and a call sign to speak as once any is on.
std::string dextra_refusal(const settings& s) {
  const text_list& links = s.dextra_links;
  if (links.count > text_list::most)
    return line_of("DExtraLink is given %d times: give at most %d links\n", links.count,
                   text_list::most);
  for (int i = 0; i < links.count; ++i)
    if (!dextra::parse_link_target(links.item[i]))
      return line_of("DExtraLink=%s is not CALL MODULE HOST[:PORT]\n", links.item[i]);
  if ((s.dextra_port != 0 || links.count != 0) && s.dextra_call[0] == '\0')
    return "DExtraCall is missing: DExtraPort and DExtraLink need the call sign the server "
           "speaks as\n";
  return "";
}

// The one check after reading: the first row, in table order, whose setting
// cannot be used, then what the keys need of one another.
std::string first_refusal(const settings& s, const written_values& written) {
  for (const key_entry& key : keys)
    if (std::string why = refusal(key, s, written); !why.empty()) return why;
  return dextra_refusal(s);
}

}  // namespace

std::string read_config_file(const char* path, settings& s, output& out) {
  written_values written;
  config_reader r{open_config(path, out)};
  if (r.file != nullptr) {
    out.say(shown::debug, "\n*** Debug on Config File\n");
    char raw[line_size];
    for (int n; (n = read_piece(r, raw)) > 0;)
      handle_line(raw, n == line_size - 1 && raw[n - 1] != '\n' && !r.ended, s, out, written);
    std::fclose(r.file);
    out.say(shown::debug, "*** Debug Exit\n\n");
  }
  return first_refusal(s, written);
}

std::span<const key_entry> config_keys() {
  return keys;
}

}  // namespace mirx
