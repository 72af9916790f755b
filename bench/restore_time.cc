// How long the server takes from its start to the end of restoring a large
// saved table under a large access file: the time the receive loop is not yet
// running. Prints figures, asserts nothing.
//
//   mirx_restore_time [--server PATH] [--reference PATH] [--entries 30000]
//                     [--rules 100000] [--runs 3] [--shape literal|star|question|inner|all]
//
// The rules are call-sign patterns none of the entries match (the costly kind
// to test) and one "allow *"; every entry is restored. The shape says where
// the patterns' wildcards stand: after a literal beginning ("Q12*"), first
// ("*-12"), a question mark first ("?-12*") or at both ends ("*-12*"). With
// --reference the same runs are made with that server too, and the ratio of
// the medians is printed.

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
  std::string reference;  // empty: none
  std::string shape = "all";
};

// One pattern of `shape` around the literal `middle`; "-" is in no entry's
// call sign, so that none of them matches.
std::string pattern_of(const std::string& shape, const std::string& middle) {
  if (shape == "star") return "*-" + middle;
  if (shape == "question") return "?-" + middle + "*";
  if (shape == "inner") return "*-" + middle + "*";
  return "Q" + middle + "*";
}

std::string base36(long n) {
  std::string s;
  do {
    s.insert(s.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[n % 36]);
    n /= 36;
  } while (n != 0);
  return s;
}

void write_files(const std::string& dir, const options& o, const std::string& shape) {
  std::ofstream rules(dir + "/access.txt");
  rules << "allow *\n";
  for (long i = 1; i < o.rules; ++i) rules << "deny " << pattern_of(shape, base36(i)) << "\n";
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
double one_run(const std::string& dir, const std::string& server) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    if (chdir(dir.c_str()) != 0) _exit(127);
    execl(server.c_str(), server.c_str(), "-i", static_cast<char*>(nullptr));
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

// The median of `runs` runs of `server` on the files in `dir`.
double median_run(const std::string& dir, const std::string& server, int runs) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    times.push_back(one_run(dir, server));
    std::printf("  run %d: %.3f s (%s)\n", r + 1, times.back(), server.c_str());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--server") o.server = argv[i + 1];
    if (key == "--reference") o.reference = argv[i + 1];
    if (key == "--entries") o.entries = std::atol(argv[i + 1]);
    if (key == "--rules") o.rules = std::atol(argv[i + 1]);
    if (key == "--runs") o.runs = std::atoi(argv[i + 1]);
    if (key == "--shape") o.shape = argv[i + 1];
  }
  const std::vector<std::string> shapes =
      o.shape == "all" ? std::vector<std::string>{"literal", "star", "question", "inner"}
                       : std::vector<std::string>{o.shape};
  for (const std::string& shape : shapes) {
    char pattern[] = "/tmp/mirx_restore_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    write_files(dir, o, shape);
    std::printf("%s patterns (%s):\n", shape.c_str(), pattern_of(shape, "12").c_str());
    const double median = median_run(dir, o.server, o.runs);
    std::printf("%ld entries, %ld rules, %s: median %.3f s from start to restored\n", o.entries,
                o.rules, shape.c_str(), median);
    if (!o.reference.empty()) {
      const double reference = median_run(dir, o.reference, o.runs);
      std::printf("%ld entries, %ld rules, %s: reference median %.3f s, ratio %.3f\n", o.entries,
                  o.rules, shape.c_str(), reference, median / reference);
    }
    std::system(("rm -rf " + dir).c_str());
  }
  return 0;
}
