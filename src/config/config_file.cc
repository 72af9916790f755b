#include "config/config_file.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mirx {

namespace {

constexpr const char* default_path = "mirx_server.cfg";

// A line is read in pieces of at most 255 characters; a buffer holds one
// piece and its terminator.
constexpr int line_size = 256;

// Ctrl-Z marks the end of a text file: nothing after it is read.
constexpr int end_of_text = 0x1a;

enum class setting {
  in_port,
  out_port,
  log_port,
  log_file_name,
  log_server,
  dprs_com_port,
  dprs_sw,
  dprs_baud_rate,
  access_file,
  relay_unregistered,
  max_nodes,
  state_file,
  log_voice,
  log_streams,
  log_heartbeat
};

struct key_entry {
  const char* name;      // the key as messages name it
  std::size_t compared;  // leading characters of the line that must equal those of `name`
  setting which;
};

// In match order; the first entry whose prefix matches decides. OutPort and
// LogPort compare six characters only, so "OutPor" and "LogPor" set them too.
constexpr key_entry keys[] = {
    {"InPort", 6, setting::in_port},
    {"OutPort", 6, setting::out_port},
    {"LogPort", 6, setting::log_port},
    {"LogFileName", 11, setting::log_file_name},
    {"LogServer", 9, setting::log_server},
    {"DprsComPort", 11, setting::dprs_com_port},
    {"DprsSW", 6, setting::dprs_sw},
    {"DprsBaudRate", 12, setting::dprs_baud_rate},
    // The operator controls. No name begins with the text of an earlier key,
    // nor an earlier key with one of them, so adding them changed no match.
    {"AccessFile", 10, setting::access_file},
    {"RelayUnregistered", 17, setting::relay_unregistered},
    {"MaxNodes", 8, setting::max_nodes},
    {"StateFile", 9, setting::state_file},
    {"LogVoice", 8, setting::log_voice},
    {"LogStreams", 10, setting::log_streams},
    {"LogHeartbeat", 12, setting::log_heartbeat},
};

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

// Leading white space, an optional sign, then decimal digits up to the first
// other character; no digits give 0. The sum is kept unsigned so that any
// number of digits wraps at 32 bits instead of overflowing.
std::int32_t parse_number(const char* text) {
  while (is_white(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  std::uint32_t sum = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    sum = sum * 10u + static_cast<std::uint32_t>(*text - '0');
  return static_cast<std::int32_t>(negative ? 0u - sum : sum);
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

void store_value(const key_entry& key, const char* value, settings& s, output& out) {
  switch (key.which) {
    case setting::in_port:
      s.in_port = parse_number(value);
      return out.say(shown::debug, "InPort : %d\n", static_cast<int>(s.in_port));
    case setting::out_port:
      s.out_port = parse_number(value);
      return out.say(shown::debug, "OutPort : %d\n", static_cast<int>(s.out_port));
    case setting::log_port:
      s.log_port = parse_number(value);
      return out.say(shown::debug, "LogPort : %d\n", static_cast<int>(s.log_port));
    case setting::log_file_name:
      store_text(s.log_file_name, sizeof s.log_file_name, key.name, value, out);
      return out.say(shown::debug, "LogFileName : %s\n", s.log_file_name);
    case setting::log_server:
      store_text(s.log_server, sizeof s.log_server, key.name, value, out);
      return out.say(shown::debug, "LogServer : %s\n", s.log_server);
    case setting::dprs_com_port:
      store_text(s.dprs_com_port, sizeof s.dprs_com_port, key.name, value, out);
      return out.say(shown::debug, "DprsComPort : %s\n", s.dprs_com_port);
    case setting::dprs_sw:
      // Only "ON" switches; nothing switches off again.
      if (std::strncmp(value, "ON", 2) == 0) s.dprs_sw = true;
      return out.say(shown::debug, "DprsSW : %s\n", value);
    case setting::dprs_baud_rate:
      s.dprs_baud_rate = parse_number(value);
      return out.say(shown::debug, "DprsBaud : %d\n", static_cast<int>(s.dprs_baud_rate));
    case setting::access_file:
      store_text(s.access_file, sizeof s.access_file, key.name, value, out);
      return out.say(shown::debug, "AccessFile : %s\n", s.access_file);
    case setting::relay_unregistered:
      store_switch(s.relay_unregistered, value);
      return out.say(shown::debug, "RelayUnregistered : %s\n", s.relay_unregistered ? "ON" : "OFF");
    case setting::max_nodes:
      s.max_nodes = parse_number(value);
      return out.say(shown::debug, "MaxNodes : %d\n", static_cast<int>(s.max_nodes));
    case setting::state_file:
      store_text(s.state_file, sizeof s.state_file, key.name, value, out);
      return out.say(shown::debug, "StateFile : %s\n", s.state_file);
    case setting::log_voice:
      store_switch(s.log_voice, value);
      return out.say(shown::debug, "LogVoice : %s\n", s.log_voice ? "ON" : "OFF");
    case setting::log_streams:
      store_switch(s.log_streams, value);
      return out.say(shown::debug, "LogStreams : %s\n", s.log_streams ? "ON" : "OFF");
    case setting::log_heartbeat:
      s.log_heartbeat = parse_number(value);
      return out.say(shown::debug, "LogHeartbeat : %d\n", static_cast<int>(s.log_heartbeat));
  }
}

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
  store_value(*key, value, s, out);
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
