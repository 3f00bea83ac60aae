// `cifsctl --reconfigure-all -w` against the floor (bench_floor: the same
// statements and the same bytes with nothing else), side by side in one run,
// at 10, 1,000 and 10,000 shares: wall time, the child's CPU time and its peak
// memory (ru_maxrss from wait4). Beside them the floor reading in one
// consistent snapshot (the snapshot's own cost), and the lock that makes
// Samba's restart one step across runs, taken and released, against the
// run at 10,000 shares it follows. Prints figures; never fails.
//
//   bench_reconfigure [runs]
//
// Needs the panel database of the sandbox that scripts/bench prepares: a
// server on the client library's default socket, database tav with the
// file-server tables, reachable as root over the socket.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/file_str.h"
#include "runtime/paths.h"
#include "tests/harness.h"

namespace {

struct sample {
  double wall_ms;
  double cpu_ms;
  long maxrss_kib;
};

// Runs argv to its end; wall time, CPU time and peak memory of the child.
sample run(const std::vector<std::string>& args) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = start_program(args[0], args);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "bench_reconfigure: %s ended with status %d\n", args[0].c_str(), status);
  double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  return {wall, cpu, usage.ru_maxrss};
}

std::string slurp(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void sql(MYSQL* conn, const std::string& statement) {
  if (mysql_real_query(conn, statement.data(), statement.size()) != 0)
    std::fprintf(stderr, "bench_reconfigure: %s\n", mysql_error(conn));
}

// shares rows in the file-server tables: a third open to anyone, the rest
// to two selected users each.
void load_rows(MYSQL* conn, int shares) {
  for (const char* table : {"module_fileserver_params", "module_fileserver_hosts",
                            "module_fileserver_shares", "module_fileserver_users",
                            "module_fileserver_valid_users"})
    sql(conn, std::string("TRUNCATE TABLE ") + table);
  sql(conn,
      "INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'WORKGROUP'), "
      "('description', 'File server'), ('encrypt_passwords', 'yes'), ('security', 'user'), "
      "('interfaces', '10.0.0.5')");
  sql(conn, "INSERT INTO module_fileserver_hosts (name) VALUES ('10.0.0.0/255.0.0.0'), "
            "('192.168.1.')");
  std::string users = "INSERT INTO module_fileserver_users (id, name, sys_name) VALUES ";
  for (int u = 1; u <= 50; ++u)
    users += (u > 1 ? ", (" : "(") + std::to_string(u) + ", 'login" + std::to_string(u) +
             "', 'user" + std::to_string(u) + "')";
  sql(conn, users);
  for (int first = 1; first <= shares; first += 1000) {
    std::string rows, links;
    for (int s = first; s < first + 1000 && s <= shares; ++s) {
      std::string id = std::to_string(s);
      rows += (rows.empty() ? "(" : ", (") + id + ", 'share" + id + "', 'Share number " + id +
              "', '/home/share" + id + "', 'true', 'false', '" + (s % 3 ? "select" : "any") +
              "')";
      if (s % 3)
        links += (links.empty() ? "(" : ", (") + id + ", " + std::to_string(s % 50 + 1) + "), (" +
                 id + ", " + std::to_string((s + 17) % 50 + 1) + ")";
    }
    sql(conn, "INSERT INTO module_fileserver_shares (id, name, description, path, writable, "
              "guest_ok, valid_users) VALUES " + rows);
    if (!links.empty())
      sql(conn, "INSERT INTO module_fileserver_valid_users (sid, uid) VALUES " + links);
  }
}

struct summary {
  double wall_median, wall_min, cpu_median;
  long maxrss_kib;
};

summary summarize(std::vector<sample> s) {
  summary r{};
  std::sort(s.begin(), s.end(), [](const sample& a, const sample& b) { return a.wall_ms < b.wall_ms; });
  r.wall_median = s[s.size() / 2].wall_ms;
  r.wall_min = s.front().wall_ms;
  std::vector<double> cpu;
  for (const sample& x : s) {
    cpu.push_back(x.cpu_ms);
    r.maxrss_kib = std::max(r.maxrss_kib, x.maxrss_kib);
  }
  std::sort(cpu.begin(), cpu.end());
  r.cpu_median = cpu[cpu.size() / 2];
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
  char exe[4096];
  ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
  exe[len > 0 ? len : 0] = '\0';
  std::string floor_path = exe;
  floor_path = floor_path.substr(0, floor_path.rfind('/') + 1) + "bench_floor";

  MYSQL* conn = mysql_init(nullptr);
  if (!mysql_real_connect(conn, "localhost", "root", nullptr, "tav", 0, nullptr, 0)) {
    std::fprintf(stderr, "bench_reconfigure: cannot connect: %s\n", mysql_error(conn));
    return 0;
  }

  const std::vector<std::string> cifsctl{CIFSCTL_BIN, "--reconfigure-all", "-w"};
  const std::vector<std::string> floor{floor_path};
  const std::vector<std::string> floor_snapshot{floor_path, "--snapshot"};
  const int sizes[] = {10, 1000, 10000};
  summary ours[3], base[3], snap[3];

  std::printf("--reconfigure-all -w against the floor, %d runs each, interleaved\n", runs);
  std::printf("%7s %21s %21s %6s %6s %9s %9s %10s %10s\n", "shares", "cifsctl ms (med/min)",
              "floor ms (med/min)", "ratio", "(min)", "cpu ms", "floor cpu", "peak KiB",
              "floor KiB");
  for (int i = 0; i < 3; ++i) {
    load_rows(conn, sizes[i]);
    run(cifsctl);
    std::string a = slurp(paths::smb_conf_include);
    run(floor);
    std::string b = slurp(paths::smb_conf_include);
    if (a != b || a.empty())
      std::printf("  (at %d shares the floor wrote %zu bytes, cifsctl %zu: not the same bytes)\n",
                  sizes[i], b.size(), a.size());
    std::vector<sample> s_ours, s_base, s_snap;
    for (int r = 0; r < runs; ++r) {
      // Alternating the order keeps a drift in the machine's load from
      // favouring either side.
      if (r % 2) {
        s_ours.push_back(run(cifsctl));
        s_base.push_back(run(floor));
        s_snap.push_back(run(floor_snapshot));
      } else {
        s_snap.push_back(run(floor_snapshot));
        s_base.push_back(run(floor));
        s_ours.push_back(run(cifsctl));
      }
    }
    ours[i] = summarize(s_ours);
    base[i] = summarize(s_base);
    snap[i] = summarize(s_snap);
    std::printf("%7d %10.1f / %8.1f %10.1f / %8.1f %6.2f %6.2f %9.1f %9.1f %10ld %10ld\n",
                sizes[i], ours[i].wall_median, ours[i].wall_min, base[i].wall_median,
                base[i].wall_min, ours[i].wall_median / base[i].wall_median,
                ours[i].wall_min / base[i].wall_min, ours[i].cpu_median, base[i].cpu_median,
                ours[i].maxrss_kib, base[i].maxrss_kib);
  }
  // Linear: the cost added by 9,990 more shares is ten times that of 990.
  // The minimums are the least disturbed by other load on the machine.
  double small = ours[1].wall_min - ours[0].wall_min;
  double large = ours[2].wall_min - ours[0].wall_min;
  std::printf("per share (minimums): %.1f us (1,000) and %.1f us (10,000); growth 10 -> "
              "10,000 over 10 -> 1,000: %.2f (linear: about 10.1)\n",
              small / 990 * 1000, large / 9990 * 1000, small > 0 ? large / small : 0.0);
  std::printf("one snapshot (floor with it / floor without, medians and minimums):");
  for (int i = 0; i < 3; ++i)
    std::printf(" %d shares %.3f / %.3f%s", sizes[i], snap[i].wall_median / base[i].wall_median,
                snap[i].wall_min / base[i].wall_min, i < 2 ? ";" : "\n");

  // The restart's lock: one take and release per restart request.
  const int pairs = 1000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < pairs; ++i)
    locked_file_release(locked_file_lock(paths::samba_restart_lock, 1));
  double pair_us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() /
      pairs;
  std::printf("restart lock: %.1f us a take and release, %.5f of a run at 10,000 shares "
              "(%.1f ms)\n",
              pair_us, pair_us / 1e3 / ours[2].wall_min, ours[2].wall_min);
  mysql_close(conn);
  return 0;
}
