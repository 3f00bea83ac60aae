// The cost of the twin check of one share: a name whose key no written
// share has (the key alone, no program run), and a name whose key collides
// with a written share's, put to testparm through the probe file, beside a
// bare run of testparm on the same probe. Prints figures; never fails.
//
//   bench_twins [runs]
//
// Needs testparm at the system's path, as scripts/bench sets it up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "runtime/exec.h"
#include "runtime/paths.h"
#include "samba/twin_probe.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

double minimum(const std::vector<double>& t) {
  return *std::min_element(t.begin(), t.end());
}

// A registry holding the written share "secret" and nothing asked yet.
twin_registry with_secret() {
  twin_registry registry;
  twin_add(registry, {"secret", "secret", "1"});
  return registry;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;

  // Without a collision: thousands of names, timed together.
  {
    twin_registry registry = with_secret();
    const int names = 10000;
    auto start = clock_type::now();
    int twins = 0;
    for (int i = 0; i < names; ++i)
      twins += twin_of(registry, "share" + std::to_string(i)).has_value();
    double total = ms_since(start);
    std::printf("no collision: %.2f us a share over %d names (%d testparm runs, %d twins)\n",
                total * 1e3 / names, names, registry.probes, twins);
  }

  // One collision, apart ("\u017fecret") and joined ("SECRET"), each with a
  // fresh registry, against testparm alone on the probe it would read.
  const std::string probe = "/tmp/bench-twin-probe.conf";
  std::FILE* f = std::fopen(probe.c_str(), "w");
  if (f) {
    std::fputs("[\xc5\xbf" "ecret]\n\tpath = /a\n[secret]\n\tpath = /b\n", f);
    std::fclose(f);
  }
  std::printf("%d runs each; wall time in ms (median / min)\n", runs);
  for (const char* name : {"\xc5\xbf" "ecret", "SECRET"}) {
    std::vector<double> check, bare;
    int failed = 0;
    for (int r = 0; r < runs; ++r) {
      twin_registry registry = with_secret();
      registry.probe_path = "/tmp/bench-twin-check.conf";
      auto start = clock_type::now();
      std::optional<twin_share> twin = twin_of(registry, name);
      check.push_back(ms_since(start));
      failed += registry.probes != 1 || twin.has_value() != (name[0] == 'S');

      const std::string section = std::string("--section-name=") + name;
      const char* const args[] = {paths::testparm, "-s", section.c_str(),
                                  "--parameter-name=path", probe.c_str(), nullptr};
      char* out = nullptr;
      char* err = nullptr;
      start = clock_type::now();
      int status = fork_execv_getouterr(&out, &err, paths::testparm, args);
      bare.push_back(ms_since(start));
      failed += status < 0 || out == nullptr;
      std::free(out);
      std::free(err);
    }
    std::printf("collision with '%s' (%s): check %.2f / %.2f, testparm alone %.2f / %.2f%s\n",
                name, name[0] == 'S' ? "joined" : "apart", median(check), minimum(check),
                median(bare), minimum(bare), failed ? "  (a run failed or answered otherwise)" : "");
  }
  return 0;
}
