// Crash consistency: cifsctl is killed with SIGKILL at random moments while
// it regenerates the include file or edits the username map. Whatever the
// moment, each file must afterwards be byte for byte the version before the
// run or the version after it, with its owner and mode, and the next run must
// succeed (a stale temporary or lock file never blocks it).
//
// The moment of each kill is drawn at random from the measured run time; the
// assertions hold for every moment, so the test does not depend on timing.
// CI runs a small number of kills; CIFSCTL_FULL=1 runs 1,000 per file, and
// CIFSCTL_SEED=N repeats a run's sequence of moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <mysql.h>

#include "runtime/paths.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

namespace {

using clock_type = std::chrono::steady_clock;

bool full_size() {
  const char* full = std::getenv("CIFSCTL_FULL");
  return full != nullptr && std::strcmp(full, "1") == 0;
}

int kills_wanted() {
  return full_size() ? 1000 : 60;
}

std::mt19937_64 seeded_engine() {
  const char* given = std::getenv("CIFSCTL_SEED");
  unsigned long long seed =
      given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  std::printf("random seed %llu (CIFSCTL_SEED=%llu repeats it)\n", seed, seed);
  return std::mt19937_64(seed);
}

// Starts cifsctl with args, its standard streams on /dev/null.
pid_t spawn_cifsctl(std::vector<std::string> args) {
  args.insert(args.begin(), CIFSCTL_BIN);
  return start_program(args[0], args, {null_stream, null_stream, null_stream});
}

// Runs cifsctl to its end; its wall time in seconds.
double timed_run(const std::vector<std::string>& args) {
  auto start = clock_type::now();
  int status = wait_program(spawn_cifsctl(args));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Median of the last few run times: the moments of the kills follow the
// machine's load as it changes.
struct run_time_tracker {
  std::vector<double> recent;
  void add(double seconds) {
    recent.push_back(seconds);
    if (recent.size() > 9)
      recent.erase(recent.begin());
  }
  double median() const {
    std::vector<double> sorted = recent;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

// Runs cifsctl to its end through the harness and adds its wall time to
// times.
run_result completing_run(const std::vector<std::string>& args, run_time_tracker& times) {
  auto start = clock_type::now();
  run_result r = run_cifsctl(args);
  times.add(std::chrono::duration<double>(clock_type::now() - start).count());
  return r;
}

// Starts cifsctl and sends it SIGKILL after delay seconds. True when the
// signal ended it, false when it had finished before.
bool run_killed_after(const std::vector<std::string>& args, double delay) {
  pid_t pid = spawn_cifsctl(args);
  timespec pause{};
  pause.tv_sec = static_cast<time_t>(delay);
  pause.tv_nsec = static_cast<long>((delay - static_cast<double>(pause.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, &pause) == EINTR) {
  }
  kill(pid, SIGKILL);
  int status = wait_program(pid);
  if (WIFSIGNALED(status))
    return WTERMSIG(status) == SIGKILL;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return false;
}

struct file_state {
  std::string text;
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  bool regular = false;
};

file_state state_of(const std::string& path) {
  file_state s;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return s;
  s.regular = S_ISREG(st.st_mode);
  s.uid = st.st_uid;
  s.gid = st.st_gid;
  s.mode = st.st_mode & 07777;
  s.text = read_file(path);
  return s;
}

// nobody:nogroup with mode 0640: neither what a root process creates by
// default nor what the generator gives a new file.
constexpr uid_t kept_uid = 65534;
constexpr gid_t kept_gid = 65534;
constexpr mode_t kept_mode = 0640;

void give_kept_owner(const std::string& path) {
  ASSERT_EQ(chown(path.c_str(), kept_uid, kept_gid), 0);
  ASSERT_EQ(chmod(path.c_str(), kept_mode), 0);
}

// Why a file is neither of the two versions or lost its owner or mode, or
// "" when it is fine.
std::string fault_of(const file_state& now, const std::string& before, const std::string& after) {
  if (!now.regular)
    return "not a regular file any more";
  if (now.uid != kept_uid || now.gid != kept_gid || now.mode != kept_mode) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "owner %u:%u mode %04o", static_cast<unsigned>(now.uid),
                  static_cast<unsigned>(now.gid), static_cast<unsigned>(now.mode));
    return buf;
  }
  if (now.text != before && now.text != after)
    return "neither version (" + std::to_string(now.text.size()) + " bytes; before " +
           std::to_string(before.size()) + ", after " + std::to_string(after.size()) + ")\n" +
           text_diff(after, now.text).substr(0, 2000);
  return "";
}

// The panel's file-server tables with shares shares, some open to anyone,
// some to selected users, some guest-only; the workgroup tells versions apart.
void load_fileserver_rows(int shares) {
  std::string sql =
      "INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'ALPHA'), "
      "('description', 'File server'), ('security', 'user'), ('interfaces', '10.0.0.5');\n"
      "INSERT INTO module_fileserver_hosts (name) VALUES ('10.0.0.0/255.0.0.0'), ('192.168.1.');\n"
      "INSERT INTO module_fileserver_users (id, name, sys_name) VALUES ";
  for (int u = 1; u <= 20; ++u)
    sql += (u > 1 ? ", (" : "(") + std::to_string(u) + ", 'login" + std::to_string(u) +
           "', 'user" + std::to_string(u) + "')";
  sql += ";\n";
  std::string share_rows, link_rows;
  for (int s = 1; s <= shares; ++s) {
    const char* valid = s % 3 == 0 ? "any" : s % 3 == 1 ? "select" : "list";
    std::string id = std::to_string(s);
    share_rows += (s > 1 ? ", (" : "(") + id + ", 'share" + id + "', 'Share number " + id +
                  "', '/home/share" + id + "', '" + (s % 2 ? "true" : "false") + "', '" +
                  (s % 7 == 0 ? "true" : "false") + "', '" + valid + "')";
    if (s % 3 == 2 || (s % 3 == 1 && s % 7 != 0))
      for (int u : {s % 20 + 1, (s + 7) % 20 + 1})
        link_rows += (link_rows.empty() ? "(" : ", (") + id + ", " + std::to_string(u) + ")";
  }
  sql += "INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, "
         "valid_users) VALUES " + share_rows + ";\n";
  sql += "INSERT INTO module_fileserver_valid_users (sid, uid) VALUES " + link_rows + ";\n";
  db_sql(sql);
}

// A connection of the test's own, as root over the socket: cheaper than a
// client process for every flip of the workgroup.
MYSQL* test_connection() {
  static MYSQL* conn = nullptr;
  if (conn == nullptr) {
    conn = mysql_init(nullptr);
    if (!mysql_real_connect(conn, "localhost", "root", nullptr, "tav", 0,
                            "/run/mysqld/mysqld.sock", 0))
      ADD_FAILURE() << "cannot connect: " << mysql_error(conn);
  }
  return conn;
}

void set_workgroup(const std::string& name) {
  std::string sql = "UPDATE module_fileserver_params SET val = '" + name +
                    "' WHERE param = 'workgroup'";
  if (mysql_query(test_connection(), sql.c_str()) != 0)
    ADD_FAILURE() << mysql_error(test_connection());
}


const std::string include_path = paths::smb_conf_include;
const std::string map_path = paths::smbusers;

void prepare_system(int shares) {
  write_product_conf();
  make_dirs("/usr/local/etc");
  start_mariadb();
  load_fileserver_rows(shares);
}

// The system calls of a run that touch files or locks: a kill before each
// of them covers every state the files can be left in by a crash.
constexpr const char* const file_syscalls[] = {
    "openat", "close", "write", "pwrite64", "rename", "unlink", "chown", "fchown",
    "chmod",  "fchmod", "fsync", "flock",   "ftruncate", "exit_group"};
constexpr const char strace_path[] = "/usr/bin/strace";

// How often cifsctl args calls each system call of file_syscalls, from one
// traced run (cifsctl only; the tools it starts are not traced).
std::vector<std::pair<std::string, int>> syscall_counts(const std::vector<std::string>& args) {
  std::string set;
  for (const char* name : file_syscalls)
    set += (set.empty() ? "" : ",") + std::string(name);
  std::vector<std::string> argv{strace_path, "-qq", "-o", "/tmp/calls.trace", "-e", "trace=" + set,
                                CIFSCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  run_program(argv);
  std::vector<std::pair<std::string, int>> counts;
  for (const char* name : file_syscalls) {
    int n = 0;
    std::istringstream trace(read_file("/tmp/calls.trace"));
    for (std::string line; std::getline(trace, line);)
      n += line.rfind(std::string(name) + "(", 0) == 0;
    if (n > 0)
      counts.emplace_back(name, n);
  }
  return counts;
}

// Runs cifsctl args under strace, which kills it with SIGKILL as it enters
// the when-th call of syscall.
void run_killed_at(const std::vector<std::string>& args, const std::string& syscall, int when) {
  std::vector<std::string> argv{strace_path, "-qq", "-o", "/dev/null", "-e", "trace=" + syscall,
                                "-e", "inject=" + syscall + ":signal=KILL:when=" +
                                          std::to_string(when),
                                CIFSCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  run_program(argv);
}

struct kill_point_case {
  std::vector<std::string> args;
  std::string path;    // the file that must stay whole
  std::string before;  // its text before the run
  std::string after;   // its text after a complete run
};

void restore(const kill_point_case& c) {
  write_file(c.path, c.before, kept_mode);
  give_kept_owner(c.path);
}

// Kills a run of c.args before every file system call in turn, restoring
// c.path's text, owner and mode before each. Adds the number of points to
// *points and returns the number that left the file broken (the first is
// reported).
int kill_at_every_point(const kill_point_case& c, int* points) {
  int faults = 0;
  restore(c);
  for (const auto& [syscall, count] : syscall_counts(c.args)) {
    for (int when = 1; when <= count; ++when) {
      restore(c);
      run_killed_at(c.args, syscall, when);
      ++*points;
      std::string fault = fault_of(state_of(c.path), c.before, c.after);
      if (!fault.empty() && faults++ == 0)
        ADD_FAILURE() << c.path << " after a kill at " << syscall << " #" << when << " of "
                      << c.args[0] << ": " << fault;
    }
  }
  return faults;
}

// The map's model: the lines the file holds, each with its newline.
struct map_model {
  std::vector<std::string> lines;

  std::string text() const {
    std::string t;
    for (const std::string& l : lines)
      t += l;
    return t;
  }
  void remove(const std::string& line) {
    lines.erase(std::remove(lines.begin(), lines.end(), line), lines.end());
  }
  void append(const std::string& line) { lines.push_back(line); }
};

std::string map_line(const std::string& account, const std::string& login) {
  return account + " = " + login + "\n";
}

}  // namespace

// Kills during --reconfigure-all -w over 1,000 shares. The database flips
// between two workgroups before every run, so each run replaces the file with
// the other of two known versions.
TEST(CrashTest, IncludeFileIsWholeAfterKillsDuringRegeneration) {
  prepare_system(1000);
  const std::vector<std::string> args{"--reconfigure-all", "-w"};
  run_time_tracker times;

  std::string version[2];
  set_workgroup("ALPHA");
  timed_run(args);
  version[0] = read_file(include_path);
  set_workgroup("BETA");
  timed_run(args);
  version[1] = read_file(include_path);
  ASSERT_NE(version[0], version[1]);
  ASSERT_GT(version[0].size(), 50000u);
  give_kept_owner(include_path);
  int current = 1;
  for (int i = 0; i < 3; ++i)
    times.add(timed_run(args));

  std::mt19937_64 engine = seeded_engine();
  int kills = 0, finished = 0, killed_after_rename = 0, faults = 0;
  std::string first_fault;
  const auto start = clock_type::now();
  while (kills < kills_wanted()) {
    const int next = 1 - current;
    set_workgroup(next == 0 ? "ALPHA" : "BETA");
    std::uniform_real_distribution<double> moment(0.0, times.median() * 1.2);
    bool killed = run_killed_after(args, moment(engine));
    kills += killed;
    finished += !killed;
    file_state now = state_of(include_path);
    std::string fault = fault_of(now, version[current], version[next]);
    if (!fault.empty()) {
      // Counted, and undone so that the next kills are judged on their own.
      if (faults++ == 0)
        first_fault = "after kill " + std::to_string(kills) + ": " + fault;
      give_kept_owner(include_path);
    }
    if (killed && now.text == version[next])
      ++killed_after_rename;

    // The next run completes and installs the new version in full.
    run_result r = completing_run(args, times);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
    ASSERT_EQ(fault_of(state_of(include_path), version[next], version[next]), "");
    current = next;
  }
  ASSERT_TRUE(file_exists(map_path));
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  std::printf("include file, 1000 shares: %d kills (%d of them after the new file was in "
              "place), %d runs finished before their kill, %d faults; run time %.1f ms; %.1f s\n",
              kills, killed_after_rename, finished, faults, times.median() * 1000, seconds);
  EXPECT_EQ(faults, 0) << "first: " << first_fault;
}

// Kills during username-map edits: new mappings, repeated mappings (the
// record moves to the end) and renames (-w, so each also regenerates the
// include file), with a stand-in smbpasswd that succeeds. Each run is
// completed afterwards by running it again, which must give the new version.
TEST(CrashTest, UsernameMapIsWholeAfterKillsDuringEdits) {
  prepare_system(10);
  write_file(paths::smbpasswd, "#!/bin/sh\nexit 0\n", 0755);

  map_model model;
  model.append("# mapped by the panel\n");
  model.append("root = administrator\n");
  std::vector<std::string> logins;  // logins[i]: the login of acct<i>
  for (int i = 0; i < 50; ++i) {
    logins.push_back("login" + std::to_string(i));
    model.append(map_line("acct" + std::to_string(i), logins.back()));
  }
  model.append("nobody = guest\n");
  write_file(map_path, model.text());
  give_kept_owner(map_path);

  std::mt19937_64 engine = seeded_engine();
  int serial = 0;
  struct edit {
    std::vector<std::string> args;
    map_model after;
    bool is_rename;
  };
  // A random edit and the map it must leave.
  auto next_edit = [&]() {
    edit e{{}, model, false};
    int kind = std::uniform_int_distribution<int>(0, 2)(engine);
    size_t i = kind == 0 ? logins.size()
                         : std::uniform_int_distribution<size_t>(0, logins.size() - 1)(engine);
    std::string account = "acct" + std::to_string(i);
    if (kind == 0)
      logins.push_back("new" + std::to_string(serial++));
    if (kind < 2) {
      e.args = {"--add-smbuser", "--smbuser-name=" + logins[i], "--user-name=" + account};
    } else {
      std::string login = "ren" + std::to_string(serial++);
      e.args = {"--rename-smbuser", "--old-smbuser-name=" + logins[i],
                "--new-smbuser-name=" + login, "--user-name=" + account, "-w"};
      e.after.remove(map_line(account, logins[i]));
      logins[i] = login;
      e.is_rename = true;
    }
    e.after.remove(map_line(account, logins[i]));
    e.after.append(map_line(account, logins[i]));
    return e;
  };

  run_time_tracker add_times, rename_times;
  while (add_times.recent.size() < 3 || rename_times.recent.size() < 3) {
    edit e = next_edit();
    run_result r = completing_run(e.args, e.is_rename ? rename_times : add_times);
    ASSERT_EQ(r.status, 0) << r.err;
    model = e.after;
    ASSERT_EQ(read_file(map_path), model.text());
  }

  int kills = 0, finished = 0, killed_after_edit = 0, faults = 0;
  std::string first_fault;
  const auto start = clock_type::now();
  while (kills < kills_wanted()) {
    edit e = next_edit();
    run_time_tracker& times = e.is_rename ? rename_times : add_times;
    std::uniform_real_distribution<double> moment(0.0, times.median() * 1.2);
    bool killed = run_killed_after(e.args, moment(engine));
    kills += killed;
    finished += !killed;
    file_state now = state_of(map_path);
    std::string fault = fault_of(now, model.text(), e.after.text());
    if (!fault.empty() && faults++ == 0)
      first_fault = "after kill " + std::to_string(kills) + " of " + e.args[0] + " " + e.args[1] +
                    ": " + fault;
    if (killed && now.text == e.after.text() && now.text != model.text())
      ++killed_after_edit;

    run_result r = completing_run(e.args, times);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
    model = e.after;
    ASSERT_EQ(fault_of(state_of(map_path), model.text(), model.text()), "");
  }
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  std::printf("username map: %d kills (%d of them after the new map was in place), %d runs "
              "finished before their kill, %d faults; run time add %.1f ms, rename %.1f ms; "
              "%.1f s\n",
              kills, killed_after_edit, finished, faults, add_times.median() * 1000,
              rename_times.median() * 1000, seconds);
  EXPECT_EQ(faults, 0) << "first: " << first_fault;
}

// Every moment that matters, not a sample: strace kills the run as it enters
// each system call that touches a file or a lock, one after the other, for a
// regeneration, a repeated mapping (its line moves to the end) and a rename.
TEST(CrashTest, FilesAreWholeAfterAKillAtEveryFileSystemCall) {
  if (access(strace_path, X_OK) != 0)
    GTEST_SKIP() << strace_path << " is not installed";
  prepare_system(10);
  write_file(paths::smbpasswd, "#!/bin/sh\nexit 0\n", 0755);
  const std::vector<std::string> regenerate{"--reconfigure-all", "-w"};

  set_workgroup("ALPHA");
  timed_run(regenerate);
  std::string alpha = read_file(include_path);
  set_workgroup("BETA");
  timed_run(regenerate);
  std::string beta = read_file(include_path);
  int points = 0;
  int include_faults = kill_at_every_point({regenerate, include_path, alpha, beta}, &points);

  const std::string map_before = "root = administrator\nacct1 = login1\nacct2 = login2\n";
  int add_faults = kill_at_every_point(
      {{"--add-smbuser", "--smbuser-name=login1", "--user-name=acct1"}, map_path, map_before,
       "root = administrator\nacct2 = login2\nacct1 = login1\n"},
      &points);
  int rename_faults = kill_at_every_point(
      {{"--rename-smbuser", "--old-smbuser-name=login1", "--new-smbuser-name=renamed1",
        "--user-name=acct1", "-w"},
       map_path, map_before, "root = administrator\nacct2 = login2\nacct1 = renamed1\n"},
      &points);

  // After all those kills, a run still succeeds.
  run_result r = run_cifsctl(regenerate);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(include_path), beta);
  std::printf("%d kill points; broken files after: --reconfigure-all %d, --add-smbuser %d, "
              "--rename-smbuser %d\n",
              points, include_faults, add_faults, rename_faults);
}
