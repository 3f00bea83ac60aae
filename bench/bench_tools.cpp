// cifsctl's actions against the tools they run, alone, side by side in one
// run: --add-smbuser against smbpasswd -a -n (with and without a username
// map line), --usage-status against smbstatus, --status against its ps
// pipeline. The difference is cifsctl's own cost: start-up, configuration,
// runners, map editing. Prints figures; never fails.
//
//   bench_tools [runs]
//
// Needs the sandbox that scripts/bench prepares: Samba's tools at the
// system's paths and the system user benchuser.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/paths.h"
#include "tests/harness.h"

namespace {

// Runs argv to its end with every standard stream on /dev/null; wall ms.
double run(const std::vector<std::string>& args, bool* failed) {
  auto start = std::chrono::steady_clock::now();
  int status =
      wait_program(start_program(args[0], args, {null_stream, null_stream, null_stream}));
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 1))
    *failed = true;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

struct bench_case {
  const char* name;
  std::vector<std::string> ours;
  std::vector<std::string> tool;
};

double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

double minimum(const std::vector<double>& t) {
  return *std::min_element(t.begin(), t.end());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  const std::string cifsctl = CIFSCTL_BIN;
  // The pipeline that --status runs for smbd, exactly as the runner sends it
  // to the shell.
  const std::string pipeline = std::string(paths::ps) + " axww | " + paths::grep + " -v grep | " +
                               paths::awk + " '{ print $5 }' | " + paths::grep +
                               " -E '((^|/)smbd$)|([[(<]smbd([)>]|])$)' >/dev/null";
  const std::vector<bench_case> cases = {
      {"--add-smbuser, no map line",
       {cifsctl, "--add-smbuser", "--smbuser-name=benchuser", "--user-name=benchuser"},
       {paths::smbpasswd, "-a", "-n", "benchuser"}},
      {"--add-smbuser, with map line",
       {cifsctl, "--add-smbuser", "--smbuser-name=benchlogin", "--user-name=benchuser"},
       {paths::smbpasswd, "-a", "-n", "benchuser"}},
      {"--usage-status", {cifsctl, "--usage-status"}, {paths::smbstatus}},
      {"--status", {cifsctl, "--status"}, {paths::sh, "-c", pipeline}},
  };

  std::printf("%d runs each, interleaved; wall time in ms (median / min)\n", runs);
  std::printf("%-30s %19s %19s %10s %7s %7s\n", "case", "cifsctl", "tool alone", "overhead",
              "ratio", "(min)");
  for (const bench_case& c : cases) {
    bool failed = false;
    run(c.ours, &failed);  // warm the page cache
    run(c.tool, &failed);
    std::vector<double> ours, tool;
    for (int r = 0; r < runs; ++r) {
      if (r % 2) {
        ours.push_back(run(c.ours, &failed));
        tool.push_back(run(c.tool, &failed));
      } else {
        tool.push_back(run(c.tool, &failed));
        ours.push_back(run(c.ours, &failed));
      }
    }
    std::printf("%-30s %9.2f / %7.2f %9.2f / %7.2f %10.2f %7.2f %7.2f%s\n", c.name,
                median(ours), minimum(ours), median(tool), minimum(tool),
                median(ours) - median(tool), median(ours) / median(tool),
                minimum(ours) / minimum(tool), failed ? "  (a run failed)" : "");
  }
  return 0;
}
