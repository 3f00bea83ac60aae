// Concurrency: sixteen cifsctl processes at once add and delete distinct
// users while two more regenerate the include file over and over, and a
// reader watches both files the whole time. No map line may be lost or
// doubled, no reader may see a torn file, and everything must finish (a
// deadlock shows as a run that never ends, caught by a generous bound).
// CI runs about 200 user operations; CIFSCTL_FULL=1 runs about 1,000.
// A table of further cases: generators while the panel commits paired
// changes must install no file that mixes two committed states, and
// concurrent restarts must report no failure that did not happen.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/paths.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int user_workers = 16;
constexpr int regen_workers = 2;
// A run that takes longer than this is taken for a deadlock.
constexpr int deadline_seconds = 600;

const std::string include_path = paths::smb_conf_include;
const std::string map_path = paths::smbusers;
const std::string smbpasswd_log = "/tmp/smbpasswd.calls";
const std::string stop_file = "/tmp/regen.stop";
const std::string regen_count_file = "/tmp/regen.count";

void write_file_append(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    if (write(fd, text.data(), text.size()) < 0) {
      // a lost mark only lowers the figure printed
    }
    close(fd);
  }
}

bool full_size() {
  const char* full = std::getenv("CIFSCTL_FULL");
  return full != nullptr && std::strcmp(full, "1") == 0;
}

struct user_op {
  bool add;
  std::string account, login;
};

// Worker w's operations: add u0, then add u<k> and delete u<k-1> in turn,
// so that every user but the last is added and deleted again.
std::vector<user_op> worker_ops(int w, int count) {
  std::vector<user_op> ops;
  auto names = [w](int k) {
    std::string tail = std::to_string(w) + "u" + std::to_string(k);
    return std::pair<std::string, std::string>("w" + tail, "l" + tail);
  };
  for (int k = 0; static_cast<int>(ops.size()) < count; ++k) {
    auto [account, login] = names(k);
    ops.push_back({true, account, login});
    if (k > 0 && static_cast<int>(ops.size()) < count) {
      auto [old_account, old_login] = names(k - 1);
      ops.push_back({false, old_account, old_login});
    }
  }
  return ops;
}

// Runs cifsctl with args, its standard error appended to err_path; returns
// the wait status.
int run_logged(std::vector<std::string> args, const std::string& err_path) {
  args.insert(args.begin(), CIFSCTL_BIN);
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_t pid = start_program(args[0], args, {null_stream, null_stream, err_fd});
  close(err_fd);
  return wait_program(pid);
}

bool succeeded(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string err_file(const std::string& worker) {
  return "/tmp/worker-" + worker + ".err";
}

// A worker process: its operations one after the other. Exits with the
// number of failed runs.
[[noreturn]] void user_worker(int w, const std::vector<user_op>& ops) {
  int failed = 0;
  for (const user_op& op : ops) {
    std::vector<std::string> args{op.add ? "--add-smbuser" : "--del-smbuser",
                                  "--smbuser-name=" + op.login, "--user-name=" + op.account};
    if (!op.add)
      args.push_back("-w");  // deletion regenerates the include file too
    if (!succeeded(run_logged(args, err_file(std::to_string(w)))))
      ++failed;
  }
  _exit(std::min(failed, 255));
}

// Regenerates until the stop file appears; exits with the number of
// failed runs (at most 255).
[[noreturn]] void regen_worker(int r) {
  int failed = 0;
  while (access(stop_file.c_str(), F_OK) != 0) {
    if (!succeeded(run_logged({"--reconfigure-all", "-w"}, err_file("regen" + std::to_string(r)))))
      ++failed;
    write_file_append(regen_count_file, ".");
  }
  _exit(std::min(failed, 255));
}

// Why a map text is not made of whole, distinct lines, or "".
std::string map_fault(const std::string& text) {
  if (!text.empty() && text.back() != '\n')
    return "last line cut short";
  std::istringstream in(text);
  std::string line;
  std::map<std::string, int> seen;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (++seen[line] > 1)
      return "line twice: " + line;
    size_t eq = line.find(" = ");
    if (eq == std::string::npos || eq == 0 || eq + 3 >= line.size() ||
        line.find(' ', eq + 3) != std::string::npos)
      return "torn line: " + line;
  }
  return "";
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

void load_fileserver_rows(int shares) {
  std::string sql =
      "INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'WG'), "
      "('security', 'user');\n"
      "INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1');\n"
      "INSERT INTO module_fileserver_users (id, name, sys_name) VALUES (1, 'a', 'alice'), "
      "(2, 'b', 'bob');\n"
      "INSERT INTO module_fileserver_shares (id, name, path, valid_users) VALUES ";
  std::string links;
  for (int s = 1; s <= shares; ++s) {
    std::string id = std::to_string(s);
    sql += (s > 1 ? ", (" : "(") + id + ", 'share" + id + "', '/home/share" + id + "', '" +
           (s % 2 ? "any" : "select") + "')";
    if (s % 2 == 0)
      links += (links.empty() ? "(" : ", (") + id + ", " + std::to_string(s % 4 ? 1 : 2) + ")";
  }
  sql += ";\nINSERT INTO module_fileserver_valid_users (sid, uid) VALUES " + links + ";\n";
  db_sql(sql);
}

}  // namespace

TEST(ConcurrencyTest, UsersAndRegenerationsAtOnceLoseAndTearNothing) {
  write_product_conf();
  start_mariadb();
  load_fileserver_rows(200);
  // A stand-in smbpasswd that records each call in one append.
  write_file(paths::smbpasswd, "#!/bin/sh\necho \"$*\" >> " + smbpasswd_log + "\n", 0755);

  const std::string foreign = "# kept by hand\nroot = administrator\nnobody = guest\n";
  write_file(map_path, foreign);
  ASSERT_EQ(chown(map_path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(map_path.c_str(), 0640), 0);
  run_result first = run_cifsctl({"--reconfigure-all", "-w"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string include_text = read_file(include_path);

  const int per_worker = full_size() ? 63 : 13;
  std::vector<std::vector<user_op>> ops;
  for (int w = 0; w < user_workers; ++w)
    ops.push_back(worker_ops(w, per_worker));

  const auto start = clock_type::now();
  std::vector<pid_t> users, regens;
  for (int w = 0; w < user_workers; ++w) {
    pid_t pid = fork();
    if (pid == 0)
      user_worker(w, ops[w]);
    users.push_back(pid);
  }
  for (int r = 0; r < regen_workers; ++r) {
    pid_t pid = fork();
    if (pid == 0)
      regen_worker(r);
    regens.push_back(pid);
  }

  // The reader: every look at either file must find a whole version.
  std::atomic<bool> stop{false};
  std::mutex fault_mutex;
  std::string reader_fault;
  long reads = 0;
  std::thread reader([&] {
    while (!stop.load()) {
      std::string inc = read_file(include_path);
      std::string fault = inc == include_text ? "" : "include file differs (" +
                                                         std::to_string(inc.size()) + " bytes)";
      if (fault.empty())
        fault = map_fault(read_file(map_path));
      ++reads;
      if (!fault.empty()) {
        std::lock_guard<std::mutex> guard(fault_mutex);
        if (reader_fault.empty())
          reader_fault = fault;
      }
    }
  });

  // Waits for the workers, within the deadline; on a deadlock the workers
  // are killed (the sandbox ends their runs when the test ends).
  bool deadlocked = false;
  auto wait_all = [&](std::vector<pid_t>& pids, int& failures) {
    for (pid_t pid : pids) {
      int status = 0;
      while (!deadlocked && waitpid(pid, &status, WNOHANG) != pid) {
        if (clock_type::now() - start > std::chrono::seconds(deadline_seconds)) {
          deadlocked = true;
          for (pid_t p : users)
            kill(p, SIGKILL);
          for (pid_t p : regens)
            kill(p, SIGKILL);
        }
        usleep(20000);
      }
      failures += WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    }
  };
  int user_failures = 0, regen_failures = 0;
  wait_all(users, user_failures);
  write_file(stop_file, "");
  wait_all(regens, regen_failures);
  stop = true;
  reader.join();
  ASSERT_FALSE(deadlocked) << "no end after " << deadline_seconds << " s: deadlock";
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();

  for (int w = 0; w < user_workers; ++w)
    EXPECT_EQ(read_file(err_file(std::to_string(w))), "") << "worker " << w;
  for (int r = 0; r < regen_workers; ++r)
    EXPECT_EQ(read_file(err_file("regen" + std::to_string(r))), "") << "regenerator " << r;
  EXPECT_EQ(user_failures, 0);
  EXPECT_EQ(regen_failures, 0);
  EXPECT_EQ(reader_fault, "") << "after " << reads << " reads";

  // Exactly the foreign lines and the users still added, each once; every
  // operation ran smbpasswd once.
  std::string expected_map = foreign, expected_calls;
  int total = 0;
  for (const auto& list : ops) {
    std::map<std::string, std::string> live;
    for (const user_op& op : list) {
      ++total;
      expected_calls += (op.add ? "-a -n " : "-x ") + op.account + "\n";
      if (op.add)
        live[op.account] = op.login;
      else
        live.erase(op.account);
    }
    for (const auto& [account, login] : live)
      expected_map += account + " = " + login + "\n";
  }
  const std::string map_text = read_file(map_path);
  EXPECT_EQ(map_fault(map_text), "");
  EXPECT_EQ(sorted_lines(map_text), sorted_lines(expected_map));
  EXPECT_EQ(sorted_lines(read_file(smbpasswd_log)), sorted_lines(expected_calls));
  struct stat st;
  ASSERT_EQ(stat(map_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(include_path), include_text);

  std::printf("%d user operations by %d processes (half of them regenerating too) and %zu "
              "regenerations by %d more, %.1f s; %ld reads of both files\n",
              total, user_workers, read_file(regen_count_file).size(), regen_workers, seconds,
              reads);
}

namespace {

// Two committed states of rows that belong together, and the lines of the
// include file that show each: a file holding lines of both is mixed.
struct paired_case {
  const char* name;
  std::vector<std::string> to_a, to_b;  // statements of one transaction each
  std::vector<std::string> a_lines, b_lines;
};

const std::vector<paired_case> paired_cases = {
    {"a share's description with its valid users",
     {"UPDATE module_fileserver_shares SET description = 'alice-only' WHERE id = 1000",
      "UPDATE module_fileserver_valid_users SET uid = 1 WHERE sid = 1000"},
     {"UPDATE module_fileserver_shares SET description = 'bob-only' WHERE id = 1000",
      "UPDATE module_fileserver_valid_users SET uid = 2 WHERE sid = 1000"},
     {"\tcomment = alice-only\n\tvalid users = alice\n"},
     {"\tcomment = bob-only\n\tvalid users = bob\n"}},
    {"a setting with a share",
     {"UPDATE module_fileserver_params SET val = 'WGA' WHERE param = 'workgroup'",
      "UPDATE module_fileserver_shares SET description = 'WGA' WHERE id = 1"},
     {"UPDATE module_fileserver_params SET val = 'WGB' WHERE param = 'workgroup'",
      "UPDATE module_fileserver_shares SET description = 'WGB' WHERE id = 1"},
     {"\tworkgroup = WGA\n", "\tcomment = WGA\n"},
     {"\tworkgroup = WGB\n", "\tcomment = WGB\n"}},
};

bool holds_all(const std::string& text, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (text.find(line) == std::string::npos)
      return false;
  return true;
}

void commit_all(MYSQL* conn, const std::vector<std::string>& statements) {
  std::vector<std::string> all{"START TRANSACTION"};
  all.insert(all.end(), statements.begin(), statements.end());
  all.push_back("COMMIT");
  for (const std::string& sql : all)
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0)
      ADD_FAILURE() << sql << ": " << mysql_error(conn);
}

}  // namespace

TEST(ConcurrencyTest, PairedCommitsAndConcurrentRestarts) {
  write_product_conf();
  start_mariadb();
  load_fileserver_rows(200);
  // The share the first case changes comes last, so that a generator reads
  // its users long after the shares.
  db_sql("INSERT INTO module_fileserver_shares (id, name, path, valid_users) VALUES "
         "(1000, 'docs', '/home/docs', 'select');\n"
         "INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1000, 1);\n");
  const int runs = full_size() ? 100 : 25;

  for (const paired_case& c : paired_cases) {
    SCOPED_TRACE(c.name);
    unique_mysql conn = connect_db();
    ASSERT_TRUE(conn);
    commit_all(conn.get(), c.to_a);
    std::atomic<bool> stop{false};
    long commits = 0;
    std::thread committer([&] {
      for (bool to_b = true; !stop.load(); to_b = !to_b, ++commits)
        commit_all(conn.get(), to_b ? c.to_b : c.to_a);
    });
    std::mutex m;
    int files = 0, mixed = 0, failed = 0;
    std::vector<std::thread> generators;
    for (int g = 0; g < 2; ++g)
      generators.emplace_back([&] {
        for (int i = 0; i < runs; ++i) {
          run_result r = run_cifsctl({"--reconfigure-all", "-w"});
          const std::string text = read_file(include_path);
          std::lock_guard<std::mutex> guard(m);
          ++files;
          failed += r.status != 0;
          mixed += !holds_all(text, c.a_lines) && !holds_all(text, c.b_lines);
        }
      });
    for (std::thread& t : generators)
      t.join();
    stop = true;
    committer.join();
    std::printf("%s: %d files by 2 generators during %ld paired commits: %d mixed, %d failed\n",
                c.name, files, commits, mixed, failed);
    EXPECT_EQ(0, mixed);
    EXPECT_EQ(0, failed);
  }

  // Restarts: eight requests at once, each killing every smbd before its
  // script runs.
  setup_samba();
  const std::string root = test_product_root;
  write_file(root + "/rc.d/samba", std::string("#!/bin/sh\n") + samba_rc_script_body, 0755);
  write_file(root + "/admin/bin/rcswitch", read_file(std::string(BUILD_DIR) + "/rcswitch"), 0755);
  ASSERT_EQ(0, run_cifsctl({"--reconfigure-all", "-w"}).status);
  const int per_loop = full_size() ? 12 : 3;
  std::vector<pid_t> loops;
  for (int l = 0; l < 8; ++l) {
    pid_t pid = fork();
    if (pid == 0) {
      int failed = 0;
      for (int i = 0; i < per_loop; ++i)
        failed += !succeeded(run_logged({"--restart"}, err_file("restart" + std::to_string(l))));
      _exit(std::min(failed, 255));
    }
    loops.push_back(pid);
  }
  int false_failures = 0;
  std::string reports;
  for (int l = 0; l < 8; ++l) {
    int status = wait_program(loops[l]);
    false_failures += WIFEXITED(status) ? WEXITSTATUS(status) : per_loop;
    reports += read_file(err_file("restart" + std::to_string(l)));
  }
  const bool running = eventually(accepts_on_445);
  std::printf("%d --restart requests from 8 loops: %d failed; Samba %s after\n", 8 * per_loop,
              false_failures, running ? "running" : "stopped");
  EXPECT_EQ(0, false_failures) << reports;
  EXPECT_EQ("", without_vanished_pids(reports));
  EXPECT_TRUE(running);
  EXPECT_EQ("is running\n", run_cifsctl({"--status"}).out);
}
