// Wall time of running programs through the runners against doing the same
// by hand with fork, exec and wait, side by side. Prints figures; never fails.
//
//   bench_exec [runs]
//
// The 1 MiB writer is this program itself, started as "bench_exec --write N",
// so that no tool's own start-up cost hides in the figures.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/exec.h"

namespace {

constexpr size_t mib = 1u << 20;
std::string self_path;

int write_bytes(size_t n) {
  std::vector<char> buf(65536, 'x');
  while (n > 0) {
    size_t chunk = std::min(n, buf.size());
    ssize_t w = write(1, buf.data(), chunk);
    if (w <= 0)
      return 1;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// fork, exec and wait by hand; with capture, standard output is read to end
// of file first. Returns the number of bytes read.
size_t direct_run(const char* path, const char* const argv[], bool capture) {
  int p[2] = {-1, -1};
  if (capture && pipe(p) < 0)
    return 0;
  pid_t pid = fork();
  if (pid == 0) {
    if (capture) {
      dup2(p[1], 1);
      close(p[0]);
      close(p[1]);
    }
    execv(path, const_cast<char* const*>(argv));
    _exit(127);
  }
  size_t total = 0;
  if (capture) {
    close(p[1]);
    std::vector<char> buf(65536);
    ssize_t n;
    while ((n = read(p[0], buf.data(), buf.size())) > 0)
      total += static_cast<size_t>(n);
    close(p[0]);
  }
  int status;
  waitpid(pid, &status, 0);
  return total;
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

struct timing {
  double median;
  double min;
};

timing measure(int runs, const std::function<void()>& body) {
  std::vector<double> t;
  body();  // warm the page cache and the dynamic loader
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    body();
    t.push_back(ms_since(start));
  }
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t.front()};
}

struct bench_case {
  const char* name;
  std::function<void()> runner;
  std::function<void()> direct;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write") == 0)
    return write_bytes(std::strtoul(argv[2], nullptr, 10));

  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  char exe[4096];
  ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
  exe[len > 0 ? len : 0] = '\0';
  self_path = exe;

  const std::string size = std::to_string(mib);
  const char* const writer[] = {self_path.c_str(), "--write", size.c_str(), nullptr};
  const char* const true_argv[] = {"/bin/true", nullptr};

  std::vector<bench_case> cases = {
      {"fork_execl_getout, child writes 1 MiB",
       [&] {
         char* out = nullptr;
         fork_execl_getout(&out, self_path.c_str(), self_path.c_str(), "--write", size.c_str(),
                           nullptr);
         if (!out || std::strlen(out) != mib)
           std::fprintf(stderr, "bench_exec: short capture\n");
         std::free(out);
       },
       [&] { direct_run(self_path.c_str(), writer, true); }},
      {"capture_output, child writes 1 MiB",
       [&] {
         char* out = nullptr;
         capture_output(&out, self_path.c_str(), writer);
         std::free(out);
       },
       [&] { direct_run(self_path.c_str(), writer, true); }},
      {"execl_report /bin/true",
       [&] { execl_report("/bin/true", "/bin/true", nullptr); },
       [&] { direct_run("/bin/true", true_argv, false); }},
      {"fork_execl_getout /bin/true",
       [&] {
         char* out = nullptr;
         fork_execl_getout(&out, "/bin/true", "/bin/true", nullptr);
         std::free(out);
       },
       [&] { direct_run("/bin/true", true_argv, false); }},
      {"exec_silent /bin/true",
       [&] { exec_silent("/bin/true", nullptr); },
       [&] { direct_run("/bin/true", true_argv, false); }},
  };

  std::printf("%d runs each; wall time in ms (median / min)\n", runs);
  std::printf("%-40s %19s %19s %10s\n", "case", "runner", "direct", "overhead");
  for (const bench_case& c : cases) {
    timing r = measure(runs, c.runner);
    timing d = measure(runs, c.direct);
    std::printf("%-40s %9.3f / %7.3f %9.3f / %7.3f %10.3f\n", c.name, r.median, r.min, d.median,
                d.min, r.median - d.median);
  }
  return 0;
}
