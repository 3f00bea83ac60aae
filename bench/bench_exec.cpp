// Wall time of running programs through the runners against doing the same
// by hand with fork, exec and wait, side by side. Prints figures; never fails.
//
//   bench_exec [runs]
//
// The 1 MiB writer is this program itself, started as "bench_exec --write N",
// so that no tool's own start-up cost hides in the figures; so is the child
// that runs N ms while a grandchild of its own keeps its output open
// ("bench_exec --hold N"), where a runner can only learn of the child's end
// from the wait itself, not from end of file. Build once as usual and once
// with -DCIFSCTL_POSIX_ONLY=1 to set the two ways of waiting side by side.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "runtime/exec.h"

namespace {

constexpr size_t mib = 1u << 20;
std::string self_path;

// The way this build learns of a child's end while its pipes stay open.
const char* wait_way() {
#if defined(__linux__) && !defined(CIFSCTL_POSIX_ONLY)
  return "pidfd (Linux)";
#elif defined(__FreeBSD__) && !defined(CIFSCTL_POSIX_ONLY)
  return "kqueue EVFILT_PROC (FreeBSD)";
#else
  return "SIGCHLD pipe (POSIX)";
#endif
}

// Leaves a grandchild holding standard output for a second, runs ms
// milliseconds and exits.
int hold_output(long ms) {
  pid_t pid = fork();
  if (pid == 0) {
    sleep(1);
    _exit(0);
  }
  timespec pause{static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  return 0;
}

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
  if (argc == 3 && std::strcmp(argv[1], "--hold") == 0)
    return hold_output(std::strtol(argv[2], nullptr, 10));

  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  char* exe = realpath(argv[0], nullptr);
  self_path = exe ? exe : argv[0];
  std::free(exe);

  const std::string size = std::to_string(mib);
  const char* const writer[] = {self_path.c_str(), "--write", size.c_str(), nullptr};
  const char* const true_argv[] = {"/bin/true", nullptr};
  const char* const holder[] = {self_path.c_str(), "--hold", "100", nullptr};

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
      {"fork_execv_getout, 100 ms, pipe held",
       [&] {
         char* out = nullptr;
         fork_execv_getout(&out, self_path.c_str(), holder);
         std::free(out);
       },
       [&] { direct_run(self_path.c_str(), holder, false); }},
      {"capture_output, 100 ms, pipe held",
       [&] {
         char* out = nullptr;
         capture_output(&out, self_path.c_str(), holder);
         std::free(out);
       },
       [&] { direct_run(self_path.c_str(), holder, false); }},
  };

  // Without close_range the child closes the table's descriptors one by one.
  std::printf("waiting through: %s; descriptor table: %d\n", wait_way(), getdtablesize());
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
