// Feeds the configuration reader any bytes as its file, under debug so that
// every echo line is formatted too. Besides the sanitizers' checks it holds
// the settings to what the file can have said: a text setting always ends
// within its field and is a piece of the file; a setting whose key does not
// occur in the file keeps its default. The file is read as text, which drops
// carriage returns, so "the file" here is the input without them.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_file.h"

namespace {

using mirx::settings;

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) violated(what);
}

// The input goes to a file on tmpfs when there is one: rewriting a file on a
// disk file system costs a block discard per input.
const std::string& file_path() {
  static const std::string path = [] {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string p = std::string(dir) + "/mirx-config-fuzz-" + std::to_string(::getpid()) + ".cfg";
    std::atexit([] { ::unlink(file_path().c_str()); });
    return p;
  }();
  return path;
}

std::FILE* null_file() {
  static std::FILE* f = std::fopen("/dev/null", "w");
  return f;
}

bool holds(const std::uint8_t* data, std::size_t size, const char* text) {
  const std::size_t n = std::strlen(text);
  return n == 0 || ::memmem(data, size, text, n) != nullptr;
}

void check_text(const char* field, std::size_t field_size, const char* fallback, const char* key,
                const std::uint8_t* data, std::size_t size) {
  require(::strnlen(field, field_size) < field_size, "text setting ends within its field");
  if (!holds(data, size, key)) require(std::strcmp(field, fallback) == 0, "unnamed text kept");
  if (std::strcmp(field, fallback) != 0)
    require(holds(data, size, field), "a stored text value comes from the file");
}

void check(const settings& s, const std::uint8_t* data, std::size_t size) {
  const settings d;
  if (!holds(data, size, "InPort")) require(s.in_port == d.in_port, "InPort kept");
  if (!holds(data, size, "OutPor")) require(s.out_port == d.out_port, "OutPort kept");
  if (!holds(data, size, "LogPor")) require(s.log_port == d.log_port, "LogPort kept");
  if (!holds(data, size, "DprsBaudRate"))
    require(s.dprs_baud_rate == d.dprs_baud_rate, "DprsBaudRate kept");
  if (s.dprs_sw) require(holds(data, size, "DprsSW") && holds(data, size, "ON"), "DprsSW by ON");
  check_text(s.log_file_name, sizeof s.log_file_name, d.log_file_name, "LogFileName", data, size);
  check_text(s.log_server, sizeof s.log_server, d.log_server, "LogServer", data, size);
  check_text(s.dprs_com_port, sizeof s.dprs_com_port, d.dprs_com_port, "DprsComPort", data, size);
  check_text(s.access_file, sizeof s.access_file, d.access_file, "AccessFile", data, size);
  check_text(s.state_file, sizeof s.state_file, d.state_file, "StateFile", data, size);
  if (!holds(data, size, "MaxNodes")) require(s.max_nodes == d.max_nodes, "MaxNodes kept");
  if (!s.relay_unregistered) require(holds(data, size, "RelayUnregistered"), "relay closed by key");
  if (!s.log_voice) require(holds(data, size, "LogVoice"), "voice lines off by key");
  if (s.log_streams) require(holds(data, size, "LogStreams"), "stream records on by key");
  if (!holds(data, size, "LogHeartbeat"))
    require(s.log_heartbeat == d.log_heartbeat, "LogHeartbeat kept");
}

// Defaults are never refused: a refusal names a key whose compared prefix
// the file holds ("KEY=value ...", "KEY is on a line ...", or a key that
// needs another: "DExtraCall is missing: DExtraPort and DExtraLink need ...").
void check_refusal(const std::string& refused, const std::uint8_t* data, std::size_t size) {
  if (refused.empty()) return;
  bool named = false;
  for (const mirx::key_entry& key : mirx::config_keys()) {
    if (refused.find(key.name) == std::string::npos) continue;
    named = true;
    if (holds(data, size, std::string(key.name, key.compared).c_str())) return;
  }
  violated(named ? "a refused key is named in the file" : "a refusal names a key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(file_path().c_str(), "wb");
  require(f != nullptr, "the input file can be written");
  require(std::fwrite(data, 1, size, f) == size, "the input file is written whole");
  std::fclose(f);
  settings s;
  mirx::output out;
  out.console = null_file();
  out.debug = true;
  const std::string refused = mirx::read_config_file(file_path().c_str(), s, out);
  std::string text(reinterpret_cast<const char*>(data), size);
  std::erase(text, '\r');
  check(s, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  check_refusal(refused, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return 0;
}
