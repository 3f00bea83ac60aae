#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "runtime/db.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

namespace {

constexpr const char server_socket[] = "/run/mysqld/mysqld.sock";
constexpr const char key_assertion[] =
    "cifsctl: get:430: Assertion `param_val == NULL || strpbrk(param_val, \"\\\\\\\"'\") == NULL' "
    "failed.\n";

// Creates a Unix socket file at path (the file stays after the close).
void make_socket(const std::string& path) {
  make_dirs(path.substr(0, path.rfind('/')));
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
  close(fd);
}

// A server at path, owned by uid, that greets like MariaDB asking for the
// password in clear and appends what each client sends to /tmp/captured.
// The sandbox ends it with the test.
// A fake server at path, its socket owned by uid and its process running as
// runs_as. It records what a client sends in /tmp/captured: by default it
// asks for the password in clear; with accept_any it takes any password
// (mysql_native_password) and records the statements sent after it.
void start_fake_server(const std::string& path, uid_t uid, uid_t runs_as = 0,
                       bool accept_any = false) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int ready[2];
  ASSERT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              chown(path.c_str(), uid, uid) == 0 && pipe(ready) == 0) << path;
  if (fork() != 0) {
    char c;
    EXPECT_EQ(1, read(ready[0], &c, 1));  // listening, as runs_as
    return (void)(close(fd) | close(ready[0]) | close(ready[1]));
  }
  int null = open("/dev/null", O_RDWR);  // the test's runner waits for its own output
  dup2(null, 1);
  dup2(null, 2);
  int out = open("/tmp/captured", O_WRONLY | O_CREAT | O_APPEND, 0644);
  // A client sees the credentials of the process that called listen().
  if ((runs_as != 0 && setuid(runs_as) != 0) || listen(fd, 4) != 0 || write(ready[1], "", 1) != 1)
    _exit(1);
  // Packet 0, protocol 10: version, thread, scramble, capabilities (4.1,
  // plugin authentication), character set, status, scramble, plugin.
  std::string greeting = std::string("\x0a" "5.5.5-10.11.0-fake\0\1\0\0\0" "abcdefgh\0"
      "\x0f\xa2\x21\x02\0\x08\0\x15\0\0\0\0\0\0\0\0\0\0" "ijklmnopqrst\0", 64) +
      (accept_any ? "mysql_native_password" : "mysql_clear_password") + '\0';
  greeting.insert(0, std::string{static_cast<char>(greeting.size()), 0, 0, 0});
  static const char ok[] = "\x07\0\0\x02\0\0\0\x02\0\0\0";
  for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; close(c)) {
    char buf[4096];
    ssize_t n = write(c, greeting.data(), greeting.size()) > 0 ? read(c, buf, sizeof buf) : 0;
    if (accept_any && n > 0 && write(c, ok, sizeof ok - 1) > 0)
      n = read(c, buf, sizeof buf);  // what follows the handshake
    (void)!write(out, buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  _exit(0);
}

std::string link_target(const char* path) {
  char buf[4096];
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  return n < 0 ? "(no link)" : std::string(buf, static_cast<size_t>(n));
}

// The first column of the first row of sql on conn, through the client
// library directly, so that checks do not lean on the unit under test.
std::string fetch(MYSQL* conn, const char* sql) {
  if (mysql_query(conn, sql) != 0)
    return std::string("(error: ") + mysql_error(conn) + ")";
  unique_mysql_res res(mysql_store_result(conn));
  MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
  if (!row)
    return "(no row)";
  return row[0] ? row[0] : "(NULL)";
}

std::string env_or_unset(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "(unset)";
}

// A child that stops through abort() must not leave a core file behind.
run_result run_aborting(const std::function<void()>& body) {
  return run_in_child([&] {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    body();
  });
}

class Db : public ::testing::Test {
 protected:
  void SetUp() override {
    program_path = "/usr/local/tav/admin/sbin/cifsctl";
    for (const char* name : {"TAV_DB_HOST", "TAV_DB_PORT", "TAV_DB_NAME", "TAV_DB_LOGIN",
                             "TAV_RUN_MODE", "MYSQL_UNIX_PORT"})
      unsetenv(name);
    db_utf8_flag = 0;
  }
};

class DbServer : public Db {
 protected:
  void SetUp() override {
    Db::SetUp();
    start_mariadb();
  }
  // Opens a connection that must succeed.
  MYSQL* open_ok() {
    MYSQL* conn = db_open();
    EXPECT_NE(conn, nullptr);
    return conn;
  }
};

// ---------------------------------------------------------------- socket

TEST_F(Db, SocketFromMyCnfFollowsTheSectionRules) {
  make_socket("/run/s/one.sock");
  make_socket("/run/s/two.sock");
  make_socket("/var/lib/mysql/mysql.sock");
  write_file("/run/s/plain", "not a socket\n");
  struct Case {
    const char* cnf;
    const char* expected;
  } cases[] = {
      // blanks around "=", a note after the path
      {"[client]\nport=1\n[mysqld]\n  socket  =   /run/s/one.sock  # note\n", "/run/s/one.sock"},
      // comments and blank lines inside the section; indented header
      {"  [mysqld]\n\n# socket=/run/s/two.sock\n; socket=/run/s/two.sock\n\tsocket=/run/s/one.sock\n",
       "/run/s/one.sock"},
      // a socket line before the header and one in a later section are not used
      {"socket=/run/s/one.sock\n[mysqld]\nport=3306\n[mysqld_safe]\nsocket=/run/s/two.sock\n",
       "/var/lib/mysql/mysql.sock"},
      // "[mysqld_safe]" is another section; the first eight characters decide
      {"[mysqld_safe]\nsocket=/run/s/one.sock\n[mysqld]trailing\nsocket=/run/s/two.sock\n",
       "/run/s/two.sock"},
      // only the first socket line counts, even when it names no socket
      {"[mysqld]\nsocket=/run/s/plain\nsocket=/run/s/one.sock\n", "/var/lib/mysql/mysql.sock"},
      {"[mysqld]\nsocket=/run/s/missing\nsocket=/run/s/one.sock\n", "/var/lib/mysql/mysql.sock"},
      // a socket line without "=" or without a value ends the search
      {"[mysqld]\nsocket /run/s/one.sock\nsocket=/run/s/two.sock\n", "/var/lib/mysql/mysql.sock"},
      {"[mysqld]\nsocket=   \nsocket=/run/s/two.sock\n", "/var/lib/mysql/mysql.sock"},
      // the last line may lack its newline
      {"[mysqld]\nsocket=/run/s/two.sock", "/run/s/two.sock"},
  };
  for (const Case& c : cases) {
    write_file("/etc/my.cnf", c.cnf);
    const char* found = find_mysql_socket();
    EXPECT_STREQ(found, c.expected) << "my.cnf:\n" << c.cnf;
  }
}

TEST_F(Db, SocketFallbacksAndEnvironment) {
  EXPECT_EQ(find_mysql_socket(), nullptr);  // nothing anywhere
  make_socket("/tmp/mysql.sock");
  EXPECT_STREQ(find_mysql_socket(), "/tmp/mysql.sock");
  make_socket("/var/lib/mysql/mysql.sock");
  EXPECT_STREQ(find_mysql_socket(), "/var/lib/mysql/mysql.sock");
  write_file("/etc/my.cnf", "[mysqld]\n");
  EXPECT_STREQ(find_mysql_socket(), "/var/lib/mysql/mysql.sock");

  // A fallback that is no socket is passed over.
  unlink("/var/lib/mysql/mysql.sock");
  write_file("/var/lib/mysql/mysql.sock", "");
  EXPECT_STREQ(find_mysql_socket(), "/tmp/mysql.sock");

  // The client library reads MYSQL_UNIX_PORT itself; an empty one is unset.
  make_socket("/run/s/one.sock");
  write_file("/etc/my.cnf", "[mysqld]\nsocket=/run/s/one.sock\n");
  setenv("MYSQL_UNIX_PORT", "/run/elsewhere.sock", 1);
  EXPECT_EQ(find_mysql_socket(), nullptr);
  setenv("MYSQL_UNIX_PORT", "", 1);
  EXPECT_STREQ(find_mysql_socket(), "/run/s/one.sock");
}

TEST_F(Db, SocketsOthersCouldHaveMadeAreSkipped) {
  constexpr uid_t nobody = 65534;
  const passwd* mysql = getpwnam("mysql");
  ASSERT_NE(mysql, nullptr);
  auto found = [] {
    run_result r = run_in_child([] {
      const char* s = find_mysql_socket();
      std::printf("=%s", s ? s : "(none)");
    });
    return r.out.substr(r.out.rfind('=') + 1) + "|" + r.err;
  };
  const std::string skipped = "cifsctl: find_mysql_socket: socket ";
  start_fake_server("/tmp/mysql.sock", nobody);
  EXPECT_EQ(found(), "(none)|" + skipped + "/tmp/mysql.sock is not used: it belongs to uid 65534, " +
                         "neither root nor mysql\n");
  // Nor through the library's own place (FreeBSD's is /tmp/mysql.sock).
  make_dirs("/run/mysqld");
  start_fake_server("/run/mysqld/mysqld.sock", nobody);
  write_file("/etc/tav/.tav.shadow", test_admin_password);
  run_result r = run_in_child([] { db_open(); });
  EXPECT_NE(r.err.find("Error: Can't use socket '/run/mysqld/mysqld.sock': it belongs to uid"),
            std::string::npos) << r.err;

  ASSERT_EQ(chown("/tmp/mysql.sock", mysql->pw_uid, 0), 0);
  EXPECT_EQ(found(), "/tmp/mysql.sock|");
  // Where only root or mysql could have put it, a server asking for the
  // password in clear gets nothing either.
  run_in_child([] { db_open(); });
  EXPECT_EQ(read_file("/tmp/captured"), "");
  // A server that took mysql's socket after the checks, running as nobody,
  // is asked who it is before any statement goes to it.
  ASSERT_EQ(unlink("/tmp/mysql.sock"), 0);
  start_fake_server("/tmp/mysql.sock", mysql->pw_uid, nobody, true);
  r = run_in_child([] { db_open(); });
  EXPECT_NE(r.err.find("Error: socket '/tmp/mysql.sock': its server runs as uid 65534, neither "
                       "root nor mysql"), std::string::npos) << r.err;
  EXPECT_EQ(read_file("/tmp/captured").find("foreign_key_checks"), std::string::npos);
  // Root's socket in a directory others own or may write; a link resolved.
  make_socket("/run/n/s.sock");
  make_socket("/var/lib/mysql/mysql.sock");
  write_file("/etc/my.cnf", "[mysqld]\nsocket=/run/n/s.sock\n");
  ASSERT_EQ(chown("/run/n", nobody, nobody), 0);
  const std::string not_used = "/var/lib/mysql/mysql.sock|" + skipped + "/run/n/s.sock is not used: ";
  EXPECT_EQ(found(), not_used + "directory /run/n belongs to uid 65534\n");
  ASSERT_EQ(chown("/run/n", 0, 0) | chmod("/run/n", 0777), 0);
  EXPECT_EQ(found(), not_used + "directory /run/n can be written by other users\n");
  ASSERT_EQ(chmod("/run/n", 01777) | symlink("/run/n/s.sock", "/run/n/link"), 0);
  write_file("/etc/my.cnf", "[mysqld]\nsocket=/run/n/link\n");
  EXPECT_EQ(found(), "/run/n/s.sock|");
}

// --------------------------------------------------- container and run mode

TEST_F(Db, ContainerNumberIsTheLeadingNumberOfTheFirstLine) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"   101     2    1      127.0.0.1\n", 101},
      {"7\n", 7},
      {"\t42x\n", 42},
      {"0 2 1 10.0.0.1\n", 0},
      {"", 0},
      {"abc 5\n", 0},
      {"\n101\n", 0},
      {"-5\n", 0},
      {"99999999999999999999\n", 0},
  };
  for (const Case& c : cases) {
    write_file("/run/veinfo", c.text);
    EXPECT_EQ(read_container_number("/run/veinfo"), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(read_container_number("/run/no-veinfo"), -1);
}

TEST_F(Db, ContainerLinkSetsHostAndNumberSetsNameAndLogin) {
  make_dirs("/etc/tav");
  ASSERT_EQ(symlink("dbhost.example", "/etc/tav/kv_mode"), 0);
  write_file("/run/veinfo", "  101 2 1 10.0.0.1\nsecond line\n");
  EXPECT_EQ(setup_container_env_at("/run/veinfo"), 0);
  EXPECT_EQ(env_or_unset("TAV_DB_HOST"), "dbhost.example");
  EXPECT_EQ(env_or_unset("TAV_DB_NAME"), "tav101");
  EXPECT_EQ(env_or_unset("TAV_DB_LOGIN"), "admin101");
}

TEST_F(Db, ContainerExplicitVariablesWin) {
  make_dirs("/etc/tav");
  ASSERT_EQ(symlink("dbhost.example", "/etc/tav/kv_mode"), 0);
  write_file("/run/veinfo", "101\n");
  setenv("TAV_DB_HOST", "mine", 1);
  setenv("TAV_DB_NAME", "mydb", 1);
  setenv("TAV_DB_LOGIN", "me", 1);
  EXPECT_EQ(setup_container_env_at("/run/veinfo"), 0);
  EXPECT_EQ(env_or_unset("TAV_DB_HOST"), "mine");
  EXPECT_EQ(env_or_unset("TAV_DB_NAME"), "mydb");
  EXPECT_EQ(env_or_unset("TAV_DB_LOGIN"), "me");
}

TEST_F(Db, ContainerNumberZeroOrNoInformationGivesOnlyTheHost) {
  make_dirs("/etc/tav");
  ASSERT_EQ(symlink("dbhost.example", "/etc/tav/kv_mode"), 0);
  write_file("/run/veinfo", "0 1 1\n");
  EXPECT_EQ(setup_container_env_at("/run/veinfo"), 0);
  EXPECT_EQ(env_or_unset("TAV_DB_HOST"), "dbhost.example");
  EXPECT_EQ(env_or_unset("TAV_DB_NAME"), "(unset)");
  EXPECT_EQ(env_or_unset("TAV_DB_LOGIN"), "(unset)");

  // The real /proc/kv/veinfo does not exist outside a container.
  unsetenv("TAV_DB_HOST");
  EXPECT_EQ(setup_container_env(), -1);
  EXPECT_EQ(env_or_unset("TAV_DB_HOST"), "dbhost.example");
  EXPECT_EQ(env_or_unset("TAV_DB_NAME"), "(unset)");
}

TEST_F(Db, RunModeThreeMakesTheContainerLink) {
  make_dirs("/etc/tav");
  // Modes other than 3, or no host: nothing happens.
  for (const char* mode : {"2", "4", "abc", "03x"}) {
    setenv("TAV_RUN_MODE", mode, 1);
    setenv("TAV_DB_HOST", "dbhost.example", 1);
    if (std::string(mode) == "03x")
      unsetenv("TAV_DB_HOST");
    apply_run_mode();
    EXPECT_EQ(link_target("/etc/tav/kv_mode"), "(no link)") << mode;
  }
  // Mode 3 replaces whatever is there; the number is read as strtoul does.
  write_file("/etc/tav/kv_mode", "a plain file\n");
  setenv("TAV_RUN_MODE", "3rd", 1);
  setenv("TAV_DB_HOST", "dbhost.example", 1);
  apply_run_mode();
  EXPECT_EQ(link_target("/etc/tav/kv_mode"), "dbhost.example");

  // Without a link, the container set-up itself applies the run mode.
  unlink("/etc/tav/kv_mode");
  setenv("TAV_DB_HOST", "other.example", 1);
  EXPECT_EQ(setup_container_env(), -1);
  EXPECT_EQ(link_target("/etc/tav/kv_mode"), "other.example");
}

// ---------------------------------------------------------------- password

TEST_F(Db, PasswordFileKeepsAllButOneFinalNewline) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"secret\n", "secret"},
      {"secret\r\n", "secret\r"},
      {"secret\n\n", "secret\n"},
      {"", ""},
      {"no newline", "no newline"},
      {std::string(5000, 'p'), std::string(4096, 'p')},
  };
  for (const Case& c : cases) {
    write_file("/etc/tav/.tav.shadow", c.text, 0600);
    EXPECT_EQ(std::string(read_admin_password()), c.expected) << c.text.size() << " bytes";
  }
}

TEST_F(Db, PasswordFileMissingOrUnreadableEndsTheProcess) {
  unlink("/etc/tav/.tav.shadow");
  run_result r = run_in_child([] { read_admin_password(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cifsctl: Unable to open admin password file\n"
                   "System error 2: No such file or directory\n");
  EXPECT_EQ(r.out, r.err);

  make_dirs("/etc/tav/.tav.shadow");
  r = run_in_child([] { read_admin_password(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cifsctl: Unable to read admin password file\n"
                   "System error 21: Is a directory\n");
}

// -------------------------------------------------------------- connecting

TEST_F(DbServer, DefaultsReachTheServerAndSetUpTheConnection) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT DATABASE()"), "tav");
  EXPECT_EQ(fetch(conn.get(), "SELECT CURRENT_USER()"), "admin@localhost");
  EXPECT_EQ(fetch(conn.get(), "SELECT @@foreign_key_checks"), "0");
  EXPECT_EQ(fetch(conn.get(), "SELECT @@character_set_client"), "binary");
  EXPECT_EQ(db_utf8_flag, 0);
}

TEST_F(DbServer, SocketFoundInTmpIsPassedToTheLibrary) {
  // Only /tmp/mysql.sock leads to the server: the library's default is gone.
  ASSERT_EQ(rename(server_socket, "/run/mysqld/moved.sock"), 0);
  ASSERT_EQ(symlink("/run/mysqld/moved.sock", "/tmp/mysql.sock"), 0);
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT CURRENT_USER()"), "admin@localhost");

  // The option file comes before the fixed places.
  unlink("/tmp/mysql.sock");
  write_file("/etc/my.cnf", "[mysqld]\nsocket = /run/mysqld/moved.sock\n");
  conn.reset(open_ok());
  EXPECT_TRUE(conn);
}

TEST_F(DbServer, SocketFromMysqlUnixPortIsLeftToTheLibrary) {
  // The client library reads the variable once, when it initialises: set it
  // before the first connection of the process.
  ASSERT_EQ(rename(server_socket, "/run/mysqld/moved.sock"), 0);
  setenv("MYSQL_UNIX_PORT", "/run/mysqld/moved.sock", 1);
  make_socket("/tmp/mysql.sock");  // would be taken without the variable
  write_file("/etc/my.cnf", "[mysqld]\nsocket = /tmp/mysql.sock\n");
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT CURRENT_USER()"), "admin@localhost");
}

TEST_F(DbServer, PortIsTheLeadingNumberOrTheDefault) {
  setenv("TAV_DB_PORT", "", 1);
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->port, 0u);  // the library's default port
  setenv("TAV_DB_PORT", "4000abc", 1);
  conn.reset(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->port, 4000u);
}

TEST_F(DbServer, EnvironmentChoosesDatabaseAndUser) {
  db_sql("CREATE DATABASE other; CREATE TABLE other.misc (param VARCHAR(64), val TEXT);"
         "CREATE USER 'clerk'@'localhost' IDENTIFIED BY '" + std::string(test_admin_password) +
         "'; GRANT ALL ON other.* TO 'clerk'@'localhost';");
  setenv("TAV_DB_NAME", "other", 1);
  setenv("TAV_DB_LOGIN", "clerk", 1);
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT DATABASE()"), "other");
  EXPECT_EQ(fetch(conn.get(), "SELECT CURRENT_USER()"), "clerk@localhost");

  // An empty variable means its default.
  setenv("TAV_DB_NAME", "", 1);
  setenv("TAV_DB_LOGIN", "", 1);
  setenv("TAV_DB_HOST", "", 1);
  conn.reset(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT CONCAT(DATABASE(), ' ', CURRENT_USER())"),
            "tav admin@localhost");
}

TEST_F(DbServer, ContainerLinkAndRunModeReachTheServer) {
  // Run mode 3 without a link: the link is made, the connection uses
  // TAV_DB_HOST with the default database and user.
  setenv("TAV_RUN_MODE", "3", 1);
  setenv("TAV_DB_HOST", "localhost", 1);
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(link_target("/etc/tav/kv_mode"), "localhost");
  EXPECT_EQ(fetch(conn.get(), "SELECT CONCAT(DATABASE(), ' ', CURRENT_USER())"),
            "tav admin@localhost");

  // A later run finds the link and takes its host from it.
  unsetenv("TAV_RUN_MODE");
  unsetenv("TAV_DB_HOST");
  conn.reset(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(env_or_unset("TAV_DB_HOST"), "localhost");

  // Container 101: its own database and user.
  db_sql("CREATE DATABASE tav101; CREATE TABLE tav101.misc (param VARCHAR(64), val TEXT);"
         "CREATE USER 'admin101'@'localhost' IDENTIFIED BY '" +
         std::string(test_admin_password) + "'; GRANT ALL ON tav101.* TO 'admin101'@'localhost';");
  write_file("/run/veinfo", "101 2 1\n");
  ASSERT_EQ(setup_container_env_at("/run/veinfo"), 0);
  conn.reset(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_EQ(fetch(conn.get(), "SELECT CONCAT(DATABASE(), ' ', CURRENT_USER())"),
            "tav101 admin101@localhost");
}

TEST_F(DbServer, PasswordEndingInCarriageReturnIsRefused) {
  write_file("/etc/tav/.tav.shadow", std::string(test_admin_password) + "\n", 0600);
  unique_mysql conn(open_ok());
  EXPECT_TRUE(conn);
  write_file("/etc/tav/.tav.shadow", std::string(test_admin_password) + "\r\n", 0600);
  char err[4097] = "";
  conn.reset(db_connect(err, sizeof err));
  EXPECT_FALSE(conn);
  EXPECT_EQ(std::string(err),
            "db_connect: failed to connect to database: Error: Access denied for user "
            "'admin'@'localhost' (using password: YES)");
}

TEST_F(DbServer, FailuresWithoutServerAreReportedInOrder) {
  stop_mariadb();
  run_result r = run_in_child([] {
    const char* v = db_query_value("select 1", nullptr);
    errno = 0;
    std::printf("result: %s\n", v ? v : "(absent)");
  });
  EXPECT_EQ(r.status, 0);
  // db_open's reason comes first, then the one-value query's own report;
  // each carries the error number left by the failed connect.
  const std::string no_server =
      "cifsctl: db_connect: failed to connect to database: Error: Can't connect to local server "
      "through socket '/run/mysqld/mysqld.sock' (2)\n"
      "System error 2: No such file or directory\n";
  // The second text ends in a newline of its own, hence the empty line.
  const std::string no_connection =
      "cifsctl: Unable to connect to the mysql database\n"
      "\n"
      "System error 2: No such file or directory\n";
  EXPECT_EQ(r.err, no_server + no_connection);
  EXPECT_EQ(r.out, no_server + no_connection + "result: (absent)\n");

  // db_is_utf8 still answers, with the flag as it was.
  r = run_in_child([] {
    db_utf8_flag = 1;
    int flag = db_is_utf8();
    std::printf("flag: %d\n", flag);
  });
  EXPECT_EQ(r.out, no_server + "flag: 1\n");

  // The password is read before connecting: without it, nothing connects.
  unlink("/etc/tav/.tav.shadow");
  r = run_in_child([] { db_open(); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cifsctl: Unable to open admin password file\n"
                   "System error 2: No such file or directory\n");
}

// --------------------------------------------------------------- SET NAMES

TEST_F(DbServer, SetNamesFollowsMysql41Compatible) {
  struct Case {
    const char* insert;  // row of misc, or none
    int flag;
  } cases[] = {
      {nullptr, 0},
      {"('mysql41_compatible', 'false')", 0},
      {"('mysql41_compatible', '')", 0},
      {"('mysql41_compatible', NULL)", 0},
      {"('mysql41_compatible', 'true')", 1},
      {"('mysql41_compatible', '1')", 1},
      {"('mysql41_compatible', 'False')", 1},
      {"('mysql41_compatible', 'false ')", 1},
  };
  for (const Case& c : cases) {
    db_sql("DELETE FROM misc;");
    if (c.insert)
      db_sql(std::string("INSERT INTO misc VALUES ") + c.insert + ";");
    db_utf8_flag = 1 - c.flag;
    unique_mysql conn(open_ok());
    ASSERT_TRUE(conn);
    const char* label = c.insert ? c.insert : "(no row)";
    EXPECT_EQ(db_utf8_flag, c.flag) << label;
    EXPECT_EQ(fetch(conn.get(), "SELECT @@character_set_client"), c.flag ? "utf8mb4" : "binary")
        << label;
    char err[64] = "untouched";
    EXPECT_EQ(db_set_names(conn.get(), err, sizeof err), 1) << label;
    EXPECT_STREQ(err, "untouched");
    EXPECT_EQ(db_is_utf8(), c.flag) << label;
  }
}

TEST_F(DbServer, ServersBefore41GetNoSetNames) {
  db_sql("INSERT INTO misc VALUES ('mysql41_compatible', 'true');");
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  ASSERT_EQ(mysql_query(conn.get(), "SET NAMES latin1"), 0);
  char err[64] = "";
  for (const char* version : {"4.0.27-log", "4.0.", "3.23.58"}) {
    db_utf8_flag = 0;
    EXPECT_EQ(db_set_names_version(conn.get(), version, err, sizeof err), 0) << version;
    EXPECT_EQ(db_utf8_flag, 0) << version;
    EXPECT_EQ(fetch(conn.get(), "SELECT @@character_set_client"), "latin1") << version;
  }
  // 4.1, "4.0" without its dot, and an empty answer are later servers;
  // those from 5.5.3 on get the four-byte character set.
  const std::pair<const char*, const char*> later[] = {
      {"4.1.22", "utf8mb3"},    {"4.0", "utf8mb3"},    {"", "utf8mb3"},
      {"5.5.2-log", "utf8mb3"}, {"5.1.73", "utf8mb3"}, {"10", "utf8mb3"},
      {"5.5.3", "utf8mb4"},     {"5.6.0", "utf8mb4"},  {"8.0.36", "utf8mb4"},
      {"10.11.19-MariaDB-0+deb12u1", "utf8mb4"}};
  for (const auto& [version, charset] : later) {
    ASSERT_EQ(mysql_query(conn.get(), "SET NAMES latin1"), 0);
    db_utf8_flag = 0;
    EXPECT_EQ(db_set_names_version(conn.get(), version, err, sizeof err), 1) << version;
    EXPECT_EQ(db_utf8_flag, 1) << version;
    EXPECT_EQ(fetch(conn.get(), "SELECT @@character_set_client"), charset) << version;
  }
}

TEST_F(DbServer, SetNamesOnALostConnectionReportsTheError) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  db_sql("KILL " + std::to_string(mysql_thread_id(conn.get())) + ";");
  run_result r = run_in_child([&] {
    char err[4097] = "";
    int sent = db_set_names(conn.get(), err, sizeof err);
    errno = 0;
    std::printf("sent %d, err [%s]\n", sent, err);
  });
  // The version query fails first (reported), so nothing is sent.
  EXPECT_NE(r.err.find("cifsctl: Unable to query parameter by query SHOW VARIABLES LIKE "
                       "'version': "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("sent 0, err []\n"), std::string::npos) << r.out;

  // When the statement itself fails, its error lands in the buffer.
  r = run_in_child([&] {
    char err[4097] = "";
    int sent = db_set_names_version(conn.get(), "10.11.19", err, sizeof err);
    errno = 0;
    std::printf("sent %d, err [%s]\n", sent, err);
  });
  EXPECT_NE(r.out.find("sent 0, err [DB Error 20"), std::string::npos) << r.out;
}

// --------------------------------------------------------- one-value family

TEST_F(DbServer, SelectValueReadsTheFirstMatchingRow) {
  db_sql("INSERT INTO misc VALUES ('admin_email', 'root@example.com'), ('empty', ''),"
         "('nothing', NULL);");
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  EXPECT_STREQ(get_misc_param("admin_email", conn.get()), "root@example.com");
  EXPECT_STREQ(db_select_value("root@example.com", "misc", "val", "param", conn.get()),
               "admin_email");
  EXPECT_STREQ(get_misc_param("empty", conn.get()), "");
  EXPECT_STREQ(get_misc_param("nothing", conn.get()), "");
  EXPECT_STREQ(get_misc_param("no such parameter", conn.get()), "");
  EXPECT_EQ(get_misc_param("admin_email", conn.get()), db_value_buf);
  // Columns by number; one past the row's end counts as NULL.
  EXPECT_STREQ(db_query_column("SHOW VARIABLES LIKE 'version'", conn.get(), 0), "version");
  EXPECT_STREQ(db_query_column("SELECT 'a', 'b'", conn.get(), 1), "b");
  EXPECT_STREQ(db_query_column("SELECT 'a', 'b'", conn.get(), 2), "");
  // A statement without a result set counts as no row.
  EXPECT_STREQ(db_query_value("DO 1", conn.get()), "");
}

// The client library's successful calls leave errno behind (EAGAIN of its
// non-blocking reads, EOPNOTSUPP of a socket option): a connection, queries
// and their results must leave errno as they found it.
TEST_F(DbServer, SuccessfulCallsLeaveErrnoAsTheyFoundIt) {
  for (int before : {0, EBADF}) {
    errno = before;
    unique_mysql conn(db_open());
    ASSERT_TRUE(conn);
    EXPECT_STREQ(db_query_value("SELECT REPEAT('x', 100000) > ''", conn.get()), "1");
    EXPECT_STREQ(get_misc_param("no such parameter", nullptr), "");
    conn.reset();
    EXPECT_EQ(errno, before);
  }
}

TEST_F(DbServer, OwnConnectionIsClosedAndAGivenOneLeftOpen) {
  db_sql("INSERT INTO misc VALUES ('cf_instance_path', '/opt/cf');");
  // Whatever the client library keeps open for itself after its first use
  // is not the query's connection.
  unique_mysql(open_ok()).reset();
  int before = open_fds();
  EXPECT_STREQ(get_misc_param("cf_instance_path", nullptr), "/opt/cf");
  EXPECT_EQ(open_fds(), before);

  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  int with_conn = open_fds();
  EXPECT_STREQ(get_misc_param("cf_instance_path", conn.get()), "/opt/cf");
  EXPECT_EQ(open_fds(), with_conn);
  EXPECT_EQ(mysql_ping(conn.get()), 0);
}

TEST_F(DbServer, FailedQueryIsReportedAndAbsent) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  run_result r = run_in_child([&] {
    errno = 0;
    const char* v = db_select_value("x", "misc", "param", "nosuch", conn.get());
    errno = 0;
    std::printf("result: %s\n", v ? v : "(absent)");
    char text[4097];
    db_error_text(conn.get(), text, sizeof text);
    std::printf("%s\n", text);
  });
  // The server's wording of the error varies between versions.
  const std::string report =
      "cifsctl: Unable to query parameter by query select nosuch from misc where param='x': "
      "Unknown column 'nosuch' in '";
  EXPECT_EQ(r.err.substr(0, report.size()), report);
  EXPECT_EQ(r.out.substr(0, r.err.size()), r.err);
  EXPECT_NE(r.out.find("\nresult: (absent)\nDB Error 1054: Unknown column 'nosuch' in '"),
            std::string::npos)
      << r.out;

  // db_error_text without an error, and cut to a small buffer.
  char small[12];
  db_error_text(conn.get(), small, sizeof small);
  EXPECT_STREQ(small, "\n");
  ASSERT_NE(mysql_query(conn.get(), "select nosuch"), 0);
  db_error_text(conn.get(), small, sizeof small);
  EXPECT_STREQ(small, "DB Error 10");
}

TEST_F(DbServer, ValuesAreCutAt4095Bytes) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  const char* v = db_query_value("SELECT REPEAT('x', 5000)", conn.get());
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v), std::string(4095, 'x'));
  db_sql("INSERT INTO misc VALUES ('long', CONCAT(REPEAT('a', 4094), 'bc'));");
  EXPECT_EQ(std::string(get_misc_param("long", conn.get())), std::string(4094, 'a') + "b");
  db_sql("UPDATE misc SET val = REPEAT('a', 4095) WHERE param = 'long';");
  EXPECT_EQ(std::string(get_misc_param("long", conn.get())), std::string(4095, 'a'));
}

TEST_F(DbServer, OverlongSelectIsRefusedNotCut) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  db_sql("INSERT INTO misc VALUES ('p', 'v');");
  // Cut after "whe", the statement would read "misc whe" as a table alias
  // and answer with the table's first row.
  std::string table = "misc";
  std::string sql_head = "select val from " + table + " whe";
  std::string column = "val" + std::string(4095 - sql_head.size(), ' ');
  // "select <column> from misc whe" is exactly 4095 bytes long.
  run_result r = run_in_child([&] {
    const char* v = db_select_value("zz", "misc", "param", column.c_str(), conn.get());
    std::printf("result: %s\n", v ? v : "(absent)");
  });
  EXPECT_NE(r.err.find("query too long"), std::string::npos) << r.err.substr(0, 200);
  EXPECT_NE(r.out.find("result: (absent)\n"), std::string::npos);
}

TEST_F(DbServer, KeysWithQuotesStopTheProcess) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  // This build defines NDEBUG (RelWithDebInfo): the check must stay on.
  for (const char* key : {"a'b", "a\"b", "a\\b", "' OR '1'='1"}) {
    run_result r = run_aborting([&] {
      get_misc_param(key, conn.get());
      std::printf("returned\n");
    });
    EXPECT_EQ(r.status, 128 + SIGABRT) << key;
    EXPECT_EQ(r.err, key_assertion) << key;
    EXPECT_EQ(r.out, "") << key;
  }
  // The check itself, for other units with their own names and lines.
  run_result r = run_aborting([] { db_check_key("x'", "put", 77, "cond"); });
  EXPECT_EQ(r.status, 128 + SIGABRT);
  EXPECT_EQ(r.err, "cifsctl: put:77: Assertion `cond' failed.\n");
  // Fixed names and numbers pass, and so does a null key.
  db_check_key("mysql41_compatible", "get", 430, "cond");
  db_check_key("12345", "get", 430, "cond");
  db_check_key(nullptr, "get", 430, "cond");
}

TEST_F(DbServer, EscapeRoundTrip) {
  unique_mysql conn(open_ok());
  ASSERT_TRUE(conn);
  const std::string value = "O'Brien said \"hi\" \\ back\\slash; --\n\t%_";
  unique_text escaped(db_escape(conn.get(), value.c_str()));
  ASSERT_TRUE(escaped);
  EXPECT_EQ(std::string(escaped.get()),
            "O\\'Brien said \\\"hi\\\" \\\\ back\\\\slash; --\\n\t%_");
  std::string insert = "INSERT INTO misc VALUES ('escaped', '" + std::string(escaped.get()) + "')";
  ASSERT_EQ(mysql_query(conn.get(), insert.c_str()), 0) << mysql_error(conn.get());
  EXPECT_EQ(std::string(get_misc_param("escaped", conn.get())), value);
  EXPECT_EQ(db_sql("SELECT HEX(val) FROM misc WHERE param = 'escaped';"),
            db_sql("SELECT HEX('" + std::string(escaped.get()) + "');"));

  EXPECT_EQ(db_escape(conn.get(), nullptr), nullptr);
  EXPECT_EQ(db_escape(nullptr, nullptr), nullptr);
  unique_text empty(db_escape(conn.get(), ""));
  EXPECT_STREQ(empty.get(), "");
  run_result r = run_in_child([] { db_escape(nullptr, "x"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "cifsctl: db_escape: no database connection");
}

}  // namespace
