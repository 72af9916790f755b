// How long the server takes from its start to the end of restoring a large
// saved table under a large access file: the time the receive loop is not yet
// running. Prints figures, asserts nothing.
//
//   mirx_restore_time [--server PATH] [--entries 30000] [--rules 100000] [--runs 3]
//
// The rules are call-sign patterns none of the entries match (the costly kind
// to test) and one "allow *"; every entry is restored.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct options {
  std::string server = MIRX_SERVER_PATH;
  long entries = 30000;
  long rules = 100000;
  int runs = 3;
};

std::string base36(long n) {
  std::string s;
  do {
    s.insert(s.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[n % 36]);
    n /= 36;
  } while (n != 0);
  return s;
}

void write_files(const std::string& dir, const options& o) {
  std::ofstream rules(dir + "/access.txt");
  rules << "allow *\n";
  for (long i = 1; i < o.rules; ++i) rules << "deny Q" << base36(i) << "*\n";
  std::ofstream state(dir + "/nodes.state");
  state << "mirx-server node table 1\n";
  for (long i = 0; i < o.entries; ++i)
    state << "\"N" << base36(i) << "\" \"GW\" 10." << (i >> 16 & 255) << '.' << (i >> 8 & 255)
          << '.' << (i & 255) << '\n';
  state << "end " << o.entries << '\n';
  std::ofstream cfg(dir + "/mirx_server.cfg");
  cfg << "InPort=47311;\nOutPort=47312;\nAccessFile=access.txt;\nStateFile=nodes.state;\n";
}

// Seconds from the start of the server until it prints the restore's count.
double one_run(const std::string& dir, const options& o) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    if (chdir(dir.c_str()) != 0) _exit(127);
    execl(o.server.c_str(), o.server.c_str(), "-i", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char chunk[4096];
  double seconds = -1;
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(n));
    if (text.find(" entries restored") != std::string::npos) {
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      break;
    }
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(out[0]);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--server") o.server = argv[i + 1];
    if (key == "--entries") o.entries = std::atol(argv[i + 1]);
    if (key == "--rules") o.rules = std::atol(argv[i + 1]);
    if (key == "--runs") o.runs = std::atoi(argv[i + 1]);
  }
  char pattern[] = "/tmp/mirx_restore_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  write_files(dir, o);
  std::vector<double> times;
  for (int r = 0; r < o.runs; ++r) {
    times.push_back(one_run(dir, o));
    std::printf("run %d: %.3f s\n", r + 1, times.back());
  }
  std::sort(times.begin(), times.end());
  std::printf("%ld entries, %ld rules: median %.3f s from start to restored (%s)\n", o.entries,
              o.rules, times[times.size() / 2], o.server.c_str());
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
