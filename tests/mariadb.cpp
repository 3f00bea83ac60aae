#include "tests/mariadb.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tests/harness.h"

namespace fs = std::filesystem;

namespace {

constexpr const char install_db_bin[] = "/usr/bin/mariadb-install-db";
constexpr const char server_bin[] = "/usr/sbin/mariadbd";
constexpr const char client_bin[] = "/usr/bin/mariadb";

// The client library's compiled-in default, so that code which passes no
// socket reaches this server.
constexpr const char socket_dir[] = "/run/mysqld";
constexpr const char socket_path[] = "/run/mysqld/mysqld.sock";

// Everything else of the server lives here, inside the sandbox's overlay.
constexpr const char run_dir[] = "/run/cifsctl-mariadb";
constexpr const char data_dir[] = "/run/cifsctl-mariadb/data";
constexpr const char pid_file[] = "/run/cifsctl-mariadb/mariadbd.pid";
constexpr const char log_file[] = "/run/cifsctl-mariadb/error.log";

// Small InnoDB files keep the template small (it is copied for every test)
// and the start fast. The same log size must be given to the server that
// uses the template, or it would resize the log at each start.
constexpr const char log_size_option[] = "--innodb-log-file-size=4M";

// Readiness: attempts * interval bounds the wait (60 s on a loaded machine).
constexpr int ready_attempts = 6000;
constexpr long ready_interval_ns = 10 * 1000 * 1000;

pid_t server_pid = -1;
pid_t server_owner = -1;  // the process that started it (not a forked child)
bool exit_hook_installed = false;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("start_mariadb: " + what);
}

std::string tail_of(const std::string& path, size_t max = 3000) {
  std::string text = read_file(path);
  if (text.size() > max)
    text = "..." + text.substr(text.size() - max);
  return text;
}

// Creates BUILD_DIR/mariadb-template once per build directory. Tests of one
// build run in parallel, each in its own sandbox but all sharing the build
// directory, so the first one builds it under an exclusive lock and moves
// it into place complete; the others wait on the lock and find it there.
std::string ensure_template() {
  const std::string tmpl = std::string(BUILD_DIR) + "/mariadb-template";
  const std::string lock_path = tmpl + ".lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0)
    fail("cannot open " + lock_path + ": " + std::strerror(errno));
  while (flock(lock_fd, LOCK_EX) < 0) {
    if (errno != EINTR) {
      int e = errno;
      close(lock_fd);
      fail("cannot lock " + lock_path + ": " + std::strerror(e));
    }
  }
  std::error_code ec;
  if (!fs::is_directory(tmpl + "/mysql", ec)) {
    const std::string work = tmpl + ".new";
    fs::remove_all(work, ec);
    fs::remove_all(tmpl, ec);
    run_result r = run_program({install_db_bin, "--no-defaults", "--user=root",
                                "--datadir=" + work, "--auth-root-authentication-method=socket",
                                "--skip-test-db", log_size_option});
    if (r.status != 0 || !fs::is_directory(work + "/mysql", ec)) {
      fs::remove_all(work, ec);
      close(lock_fd);
      fail("mariadb-install-db failed with status " + std::to_string(r.status) + ":\n" + r.err +
           r.out);
    }
    if (rename(work.c_str(), tmpl.c_str()) < 0) {
      int e = errno;
      close(lock_fd);
      fail("cannot rename " + work + " to " + tmpl + ": " + std::strerror(e));
    }
  }
  close(lock_fd);
  return tmpl;
}

bool socket_answers() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path, sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

void kill_server() {
  if (server_pid <= 0)
    return;
  kill(server_pid, SIGKILL);
  wait_program(server_pid);
  server_pid = -1;
  // A killed server leaves its socket file; remove it so that a client sees
  // what a cleanly stopped server leaves behind: no socket at all.
  unlink(socket_path);
  unlink(pid_file);
}

// Forked children of a test (run_in_child, code that ends the process with
// exit()) run atexit handlers too: only the starter may stop the server.
void stop_at_exit() {
  if (server_owner == getpid())
    kill_server();
}

pid_t spawn_server() {
  std::vector<std::string> args{server_bin,
                                "--no-defaults",
                                "--user=root",
                                std::string("--datadir=") + data_dir,
                                std::string("--socket=") + socket_path,
                                "--skip-networking",
                                std::string("--pid-file=") + pid_file,
                                std::string("--log-error=") + log_file,
                                log_size_option,
                                "--innodb-buffer-pool-size=16M",
                                "--innodb-temp-data-file-path=ibtmp1:1M:autoextend",
                                "--innodb-use-native-aio=0"};
  int out = open(log_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0)
    fail(std::string("cannot open ") + log_file + ": " + std::strerror(errno));
  // The server must not hold the test's output pipes open.
  pid_t pid = start_program(args[0], args, {null_stream, out, out});
  close(out);
  if (pid < 0)
    fail(std::string("fork failed: ") + std::strerror(errno));
  return pid;
}

void wait_ready() {
  const timespec interval{0, ready_interval_ns};
  for (int attempt = 0; attempt < ready_attempts; ++attempt) {
    if (socket_answers())
      return;
    int status = 0;
    pid_t done = waitpid(server_pid, &status, WNOHANG);
    if (done == server_pid) {
      server_pid = -1;
      fail("mariadbd exited before it was ready (status " + std::to_string(status) +
           "); its log:\n" + tail_of(log_file));
    }
    nanosleep(&interval, nullptr);
  }
  kill_server();
  fail("mariadbd did not answer on " + std::string(socket_path) + "; its log:\n" +
       tail_of(log_file));
}

run_result run_client(const std::string& statements, const std::string& database) {
  std::vector<std::string> argv{client_bin,
                                "--no-defaults",
                                "--user=root",
                                "--host=localhost",
                                std::string("--socket=") + socket_path,
                                "--default-character-set=utf8mb4",
                                "--batch",
                                "--skip-column-names"};
  if (!database.empty())
    argv.push_back("--database=" + database);
  return run_program(argv, {}, statements);
}

std::string sql_quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\')
      q += '\\';
    q += c;
  }
  return q + "'";
}

}  // namespace

void start_mariadb() {
  // A second call in the same process starts again from a fresh copy.
  kill_server();

  const std::string tmpl = ensure_template();

  std::error_code ec;
  fs::remove_all(data_dir, ec);
  fs::create_directories(run_dir, ec);
  fs::create_directories(socket_dir, ec);
  fs::copy(tmpl, data_dir, fs::copy_options::recursive, ec);
  if (ec)
    fail("cannot copy " + tmpl + " to " + data_dir + ": " + ec.message());
  unlink(socket_path);
  unlink(log_file);

  server_pid = spawn_server();
  server_owner = getpid();
  if (!exit_hook_installed) {
    atexit(stop_at_exit);
    exit_hook_installed = true;
  }
  wait_ready();

  // The panel's database and administrator, then every schema file in name
  // order; `source` makes the client name the file and line of an error.
  std::string setup =
      "CREATE DATABASE tav CHARACTER SET utf8mb4;\n"
      "CREATE USER 'admin'@'localhost' IDENTIFIED BY " +
      sql_quoted(test_admin_password) +
      ";\n"
      "GRANT ALL PRIVILEGES ON *.* TO 'admin'@'localhost';\n"
      "USE tav;\n";
  std::vector<std::string> schemas;
  for (const fs::directory_entry& e : fs::directory_iterator(std::string(TESTS_DIR) + "/schema", ec))
    if (e.path().extension() == ".sql")
      schemas.push_back(e.path().string());
  std::sort(schemas.begin(), schemas.end());
  for (const std::string& s : schemas)
    setup += "source " + s + "\n";
  run_result r = run_client(setup, "");
  if (r.status != 0) {
    kill_server();
    fail("setting up database tav failed (status " + std::to_string(r.status) + "):\n" + r.err +
         r.out);
  }

  make_dirs("/etc/tav");
  write_file("/etc/tav/.tav.shadow", test_admin_password, 0600);
}

std::string db_sql(const std::string& statements) {
  run_result r = run_client(statements, "tav");
  if (r.status != 0) {
    ADD_FAILURE() << "db_sql: mariadb exited with status " << r.status << ": " << r.err
                  << "statements:\n"
                  << statements;
    return "";
  }
  return r.out;
}

void stop_mariadb() {
  kill_server();
}

unique_mysql connect_db() {
  unique_mysql conn(db_open());
  EXPECT_TRUE(conn) << "no connection to the test server";
  return conn;
}
