// Faults of the system under the program: a full file system, a read-only
// one, a missing lock directory (for the username map), an unusable password file and a database
// server that dies in the middle of a run. Each must end in a clear message
// and a non-zero status, and leave the installed include file and username
// map exactly as they were: bytes, owner and mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

constexpr char etc_dir[] = "/usr/local/etc";
constexpr char include_path[] = "/usr/local/etc/smb.conf.include";
constexpr char map_path[] = "/usr/local/etc/smbusers";

struct file_state {
  bool exists = false;
  std::string bytes;
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  bool operator==(const file_state&) const = default;
};

file_state state_of(const std::string& path) {
  file_state s;
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return s;
  s.exists = true;
  s.bytes = read_file(path);
  s.uid = st.st_uid;
  s.gid = st.st_gid;
  s.mode = st.st_mode & 07777;
  return s;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    setup_samba();
    add_system_user("john");
    add_system_user("mary");
    start_mariadb();
    db_sql(R"(
INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'TEAM');
INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1');
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES (1, 'John', 'john');
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users)
  VALUES (1, 'docs', 'Documents', '/home/docs', 'true', 'false', 'select'),
         (2, 'pub', NULL, '/home/pub', 'false', 'true', 'any'),
         (3, 'team', 'Team', '/home/team', 'true', 'false', 'select');
INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1, 1), (3, 1);
)");
    write_file(map_path, "mary = mmiller\n");
    ASSERT_EQ(0, run_cifsctl({"--reconfigure-all", "-w"}).status);
    run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=jsmith", "--user-name=john"});
    ASSERT_EQ(0, r.status) << r.err;
    // Owners and modes of their own, which every outcome must keep.
    ASSERT_EQ(0, chown(include_path, 1, 1));
    ASSERT_EQ(0, chmod(include_path, 0640));
    ASSERT_EQ(0, chown(map_path, 2, 2));
    ASSERT_EQ(0, chmod(map_path, 0600));
    before_include = state_of(include_path);
    before_map = state_of(map_path);
    ASSERT_EQ("mary = mmiller\njohn = jsmith\n", before_map.bytes);

    // What the next run would write is larger than a nearly full file
    // system holds.
    std::string sql;
    for (int id = 10; id < 40; ++id)
      sql +=
          "INSERT INTO module_fileserver_shares (id, name, description, path, valid_users) "
          "VALUES (" +
          std::to_string(id) + ", 'big" + std::to_string(id) +
          "', REPEAT('d', 4000), "
          "'/srv/big', 'any');\n";
    db_sql(sql);
  }

  void expect_intact() {
    EXPECT_TRUE(before_include == state_of(include_path))
        << "include file changed:\n"
        << text_diff(before_include.bytes, read_file(include_path));
    EXPECT_TRUE(before_map == state_of(map_path))
        << "username map changed:\n"
        << text_diff(before_map.bytes, read_file(map_path));
  }

  // Puts the map back as it was (a shorter or equal text always fits).
  void restore_map() {
    write_file(map_path, before_map.bytes, before_map.mode);
    ASSERT_EQ(0, chown(map_path, before_map.uid, before_map.gid));
    ASSERT_EQ(0, chmod(map_path, before_map.mode));
  }

  // A failed run: non-zero status and the expected text in its report.
  static void expect_failure(const run_result& r, const std::string& text) {
    EXPECT_NE(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(text)) << "report lacks '" << text << "':\n" << r.err;
  }

  static run_result reconfigure() { return run_cifsctl({"--reconfigure-all", "-w"}); }

  file_state before_include;
  file_state before_map;
};

// /usr/local/etc moved onto a tiny tmpfs that a filler file has made full.
void fill_etc() {
  int status = 0;
  sh(std::string("set -e; mkdir -p /tmp/etc-copy; cp -a ") + etc_dir +
         "/. /tmp/etc-copy/;"
         " mount -t tmpfs -o size=256k tiny " +
         etc_dir + "; cp -a /tmp/etc-copy/. " + etc_dir + "/; dd if=/dev/zero of=" + etc_dir +
         "/filler bs=1k 2>/dev/null || true",
     &status);
  ASSERT_EQ(0, status);
}

TEST_F(Faults, FullFileSystem) {
  fill_etc();
  expect_failure(reconfigure(), "No space left on device");
  expect_intact();

  // Map edits: adding the record it already holds, and renaming it. The
  // removal cannot write its copy; the map must not end up with the record
  // twice, nor with the old and the new record side by side.
  run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=jsmith", "--user-name=john"});
  if (r.status == 0)
    EXPECT_EQ(before_map.bytes, read_file(map_path)) << r.err;
  else
    expect_intact();
  restore_map();
  r = run_cifsctl({"--rename-smbuser", "--old-smbuser-name=jsmith", "--new-smbuser-name=jdoe",
                   "--user-name=john", "-w"});
  EXPECT_NE(0, r.status);
  expect_intact();

  // Room again: the next run succeeds.
  unlink((std::string(etc_dir) + "/filler").c_str());
  r = reconfigure();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, read_file(include_path).find("[big39]"));
}

TEST_F(Faults, ReadOnlyFileSystem) {
  int status = 0;
  sh(std::string("mount --bind ") + etc_dir + " " + etc_dir + " && mount -o remount,ro,bind " +
         etc_dir + " " + etc_dir,
     &status);
  ASSERT_EQ(0, status);
  expect_failure(reconfigure(), "Read-only file system");
  expect_intact();

  run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=mmiller2", "--user-name=mary"});
  expect_failure(r, "Read-only file system");
  expect_intact();
}

TEST_F(Faults, MissingLockDirectory) {
  const std::string locks = std::string(test_product_root) + "/var/lock/files";
  sh("rm -rf " + locks);
  // The include file's lock is the panel's own: without it the run goes
  // on as it would alone. The username map's edit lock fails the edit.
  EXPECT_EQ(0, reconfigure().status);
  before_include = state_of(include_path);
  run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=mmiller2", "--user-name=mary"});
  expect_failure(r, "Error occurred while locking the file " + std::string(map_path));
  expect_intact();

  make_dirs(locks);
  EXPECT_EQ(0, reconfigure().status);
}

TEST_F(Faults, UnusablePasswordFile) {
  const std::string shadow = "/etc/tav/.tav.shadow";
  const std::string kept = read_file(shadow);
  unlink(shadow.c_str());
  run_result r = reconfigure();
  expect_failure(r, "Unable to open admin password file");
  EXPECT_EQ(1, r.status);
  expect_intact();

  // Open but unreadable: a directory in its place.
  make_dirs(shadow);
  r = reconfigure();
  expect_failure(r, "Unable to read admin password file");
  EXPECT_EQ(1, r.status);
  expect_intact();

  rmdir(shadow.c_str());
  write_file(shadow, kept, 0600);
  EXPECT_EQ(0, reconfigure().status);
}

// The server is killed while the run waits in the middle of the shares:
// the valid users of share 3 are read through a view whose gate blocks on
// a lock that the test holds, so the run is known to have written the
// earlier shares into its temporary file when the server goes.
TEST_F(Faults, DatabaseGoesAwayMidRun) {
  db_sql(
      "RENAME TABLE module_fileserver_valid_users TO valid_users_base;\n"
      "CREATE FUNCTION gate(s INT) RETURNS INT NOT DETERMINISTIC "
      "RETURN IF(s = 3, GET_LOCK('gate', 120), 1);\n"
      "CREATE VIEW module_fileserver_valid_users AS "
      "SELECT sid, uid FROM valid_users_base WHERE gate(sid) = 1;\n");

  pid_t holder = start_program("/usr/bin/mariadb",
                               {"mariadb", "--no-defaults", "--user=root",
                                "--socket=/run/mysqld/mysqld.sock", "--database=tav", "-e",
                                "SELECT GET_LOCK('gate', 0); SELECT SLEEP(600);"},
                               {keep_stream, null_stream, null_stream});
  ASSERT_GT(holder, 0);
  auto wait_for_state = [](const std::string& sql) {
    for (int i = 0; i < 400; ++i) {
      if (db_sql(sql) == "1\n")
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  ASSERT_TRUE(wait_for_state("SELECT IS_USED_LOCK('gate') IS NOT NULL;"));

  const std::string out = "/tmp/run.out", err = "/tmp/run.err";
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t run =
      start_program(CIFSCTL_BIN, {"cifsctl", "--reconfigure-all", "-w"}, {keep_stream, o, e});
  close(o);
  close(e);
  ASSERT_GT(run, 0);
  bool blocked = wait_for_state(
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE STATE = 'User lock';");
  stop_mariadb();
  int status = wait_program(run);
  kill(holder, SIGKILL);
  wait_program(holder);
  ASSERT_TRUE(blocked) << "the run never reached the gate";

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, read_file(err).find("Unable to query: Lost connection"))
      << read_file(err);
  expect_intact();
  // The run had got as far as the shares: its temporary file holds the
  // [global] section, and the include file is untouched.
  EXPECT_NE(std::string::npos, read_file(std::string(include_path) + ".tmp").find("[global]"));
}

}  // namespace
