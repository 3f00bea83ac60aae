#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "samba/generation.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

constexpr char include_path[] = "/usr/local/etc/smb.conf.include";
constexpr char tmp_path[] = "/usr/local/etc/smb.conf.include.tmp";
constexpr char main_conf[] = "/usr/local/etc/smb.conf";
constexpr char smbusers[] = "/usr/local/etc/smbusers";
constexpr char testparm_bin[] = "/usr/bin/testparm";

// The settings, hosts and three shares of the system's documented example.
constexpr char example_sql[] = R"(
INSERT INTO module_fileserver_params (param, val) VALUES
  ('workgroup', 'WORKGROUP'), ('description', 'File server'), ('encrypt_passwords', 'yes'),
  ('security', 'user'), ('interfaces', '10.0.0.5');
INSERT INTO module_fileserver_hosts (name) VALUES ('10.0.0.0/255.0.0.0'), ('192.168.1.');
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES (1, 'Alice', 'alice'), (2, 'Bob', 'bob');
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, 'docs', 'Documents', '/home/docs', 'true', 'false', 'select'),
  (2, 'pub', NULL, '/home/pub', 'false', 'true', 'any'),
  (3, 'drop', NULL, '/home/drop', 'true', 'true', 'select');
INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1, 1), (1, 2);
)";

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
  return st;
}

// testparm -s on /usr/local/etc/smb.conf carrying the include line, as
// Samba reads the generated file in service.
run_result testparm_installed() {
  write_file(main_conf, std::string("include = ") + include_path + "\n");
  return run_program({testparm_bin, "-s", main_conf});
}

// Every parameter name testparm shows, over all sections.
std::set<std::string> parameters_of(const std::string& view) {
  std::set<std::string> names;
  for (const auto& section : testparm_sections(view))
    for (size_t i = 1; i < section.size(); ++i)
      names.insert(section[i].substr(1, section[i].find(" = ") - 1));
  return names;
}

void expect_testparm_accepts(const run_result& r) {
  EXPECT_NE(std::string::npos, r.err.find("Loaded services file OK.")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("Unknown parameter")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("Ignoring")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("rror")) << r.err;
}

// --- Generation against the database, through the binary --------------------

class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    make_dirs("/usr/local/etc");
    unlink(include_path);
    unlink(tmp_path);
    unlink(smbusers);
    start_mariadb();
  }

  static run_result reconfigure() { return run_cifsctl({"--reconfigure-all", "-w"}); }
};

TEST_F(Generation, ExampleByteForByte) {
  db_sql(example_sql);
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", r.out);
  EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));
  EXPECT_FALSE(file_exists(tmp_path));

  // A new include file belongs to root with mode 0644; the username map is
  // created empty.
  struct stat st = stat_of(include_path);
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(0u, st.st_gid);
  EXPECT_EQ(0644u, st.st_mode & 07777);
  ASSERT_TRUE(file_exists(smbusers));
  EXPECT_EQ("", read_file(smbusers));

  run_result tp = testparm_installed();
  expect_testparm_accepts(tp);
  auto sections = testparm_sections(tp.out);
  ASSERT_EQ(4u, sections.size());
  EXPECT_EQ("[docs]", sections[1][0]);
  EXPECT_EQ("\tvalid users = alice bob", sections[1].back());
  EXPECT_EQ("[pub]", sections[2][0]);
  EXPECT_EQ("[drop]", sections[3][0]);
}

TEST_F(Generation, KeepsOwnerModeAndUsernameMap) {
  db_sql(example_sql);
  ASSERT_EQ(0, run_program({"/usr/sbin/useradd", "-M", "keeper"}).status);
  struct passwd* pw = getpwnam("keeper");
  ASSERT_NE(nullptr, pw);
  write_file(include_path, "[old]\n\tpath = /old\n", 0640);
  ASSERT_EQ(0, chown(include_path, pw->pw_uid, pw->pw_gid));
  write_file(smbusers, "alice = Alice\n", 0600);

  for (int run = 0; run < 2; ++run) {
    run_result r = reconfigure();
    EXPECT_EQ(0, r.status) << r.err;
    struct stat st = stat_of(include_path);
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(pw->pw_gid, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));
  }
  EXPECT_EQ("alice = Alice\n", read_file(smbusers));
  EXPECT_EQ(0600u, stat_of(smbusers).st_mode & 07777);
}

// A link planted under the temporary name, symbolic or hard, is replaced,
// not written through: its target keeps its content, owner and mode.
TEST_F(Generation, LinkAtTheTemporaryNameIsNotWrittenThrough) {
  db_sql(example_sql);
  const std::string victim = "/usr/local/etc/victim";
  write_file(victim, "precious\n", 0600);
  for (auto plant : {::symlink, ::link}) {
    unlink(tmp_path);
    ASSERT_EQ(0, plant(victim.c_str(), tmp_path));
    run_result r = reconfigure();
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));
    EXPECT_FALSE(file_exists(tmp_path));
    struct stat st = stat_of(victim);
    EXPECT_EQ("precious\n", read_file(victim));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(1u, st.st_nlink);
  }
}

// With character sets on, a four-byte character (beyond the server's
// three-byte "utf8") in a share's name, path and description reaches the
// file unchanged, and Samba reads the name back.
TEST_F(Generation, FourByteCharactersReachTheFile) {
  db_sql(R"(
INSERT INTO misc (param, val) VALUES ('mysql41_compatible', 'true');
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, 'photos📷', 'Snaps 😀', '/srv/📷/𠀀', 'true', 'true', 'any');
)");
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status) << r.err;
  const std::string section =
      "[photos\U0001F4F7]\n\tpath = /srv/\U0001F4F7/\U00020000\n\twritable = yes\n"
      "\tguest ok = yes\n\tcomment = Snaps \U0001F600\n\n";
  EXPECT_NE(std::string::npos, read_file(include_path).find(section)) << read_file(include_path);
  auto sections = testparm_sections(testparm_installed().out);
  ASSERT_EQ(2u, sections.size());
  EXPECT_EQ("[photos\U0001F4F7]", sections[1][0]);
}

// Skipped shares, the guest-only share, the flag readings, no hosts and no
// interfaces setting.
TEST_F(Generation, EdgeCases) {
  db_sql(R"(
INSERT INTO module_fileserver_params (param, val) VALUES
  ('workgroup', 'TEAM'), ('guest_account', ''), ('password_server', 'pdc.example'),
  ('interfaces', '');
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES
  (1, 'Alice', 'alice'), (2, 'Nobody', NULL), (3, 'Carol', 'carol');
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, NULL, 'no name', '/srv/a', 'true', 'true', 'any'),
  (2, 'nopath', 'no path', NULL, 'true', 'true', 'any'),
  (3, 'closed', NULL, '/srv/closed', 'true', 'false', 'select'),
  (4, 'guests', '', '/srv/guests', 'TRUE', 'true', 'select'),
  (5, 'listed', 'explicit', '/srv/listed', 'trueish', 'yes', 'users'),
  (6, 'nullflags', NULL, '/srv/nullflags', NULL, NULL, NULL),
  (7, 'some', NULL, '/srv/some', 'false', 'false', 'selection'),
  (8, 'open', 'anyone', '/srv/open', 'true', 'false', 'any');
INSERT INTO module_fileserver_valid_users (sid, uid) VALUES
  (3, 99), (5, 3), (5, 1), (6, 3), (7, 2), (7, 1), (8, 1);
)");
  // Share 3 links to a user that does not exist: the join yields no row.
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_TEXT_EQ(golden("gen_edge_cases.conf"), read_file(include_path));
  expect_testparm_accepts(testparm_installed());
}

// A list of valid users that would come out empty admits every account:
// such a share is left out, with a report.
TEST_F(Generation, EmptyUserListIsNotWritten) {
  db_sql(R"(
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES (1, 'Ghost', NULL);
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, 'ghosts', NULL, '/srv/ghosts', 'true', 'false', 'select'),
  (2, 'none', NULL, '/srv/none', 'true', 'true', 'none'),
  (3, 'kept', NULL, '/srv/kept', 'true', 'true', 'any');
INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1, 1);
)");
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status);
  EXPECT_TEXT_EQ(
      "cifsctl: Share 'ghosts' (id 1) is left out of /usr/local/etc/smb.conf.include: it has no "
      "valid user to list\n"
      "cifsctl: Share 'none' (id 2) is left out of /usr/local/etc/smb.conf.include: it has no "
      "valid user to list\n",
      r.err);
  EXPECT_EQ(r.err, r.out);
  std::string text = read_file(include_path);
  EXPECT_EQ(std::string::npos, text.find("[ghosts]"));
  EXPECT_EQ(std::string::npos, text.find("[none]"));
  EXPECT_NE(std::string::npos, text.find("[kept]\n\tpath = /srv/kept\n"));
}

// Stored values that would add parameters of their own, or change a
// section, never reach the file: each offending share, setting or host is
// left out and named in a report (a share only loses its description when
// that is all Samba would misread), and Samba sees only the parameters the
// generator writes. Account names with blanks, commas or a final backslash
// are written in quotes.
TEST_F(Generation, InjectionIsRefused) {
  db_sql(R"(
INSERT INTO module_fileserver_params (param, val) VALUES
  ('workgroup', 'TEAM'), ('description', CONCAT('srv', CHAR(10), '\troot preexec = /bin/sh -c id')),
  ('guest_account', 'nobody\\'), ('security', 'user'), ('interfaces', CONCAT('eth0', CHAR(13))),
  ('encrypt_passwords', 'maybe'), ('password_server', 'dc1 dc2');
INSERT INTO module_fileserver_hosts (name) VALUES
  ('10.0.0.0/8'), (CONCAT('10.1.0.0/16', CHAR(10), '\tguest account = root')), (NULL), ('  '),
  ('192.168.1.');
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES
  (1, 'Alice', 'alice'), (2, 'Bob', 'bob'), (3, 'Group', '@wheel'), (4, 'Two', 'carol dave'),
  (5, 'Comma', 'carol,dave'), (6, 'Macro', '%U'), (7, 'Newline', CONCAT('eve', CHAR(10), 'x')),
  (8, 'Backslash', 'eve\\');
INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, 'docs', 'Documents', '/home/docs', 'true', 'false', 'select'),
  (2, 'evil1', CONCAT('x', CHAR(10), '\troot preexec = /bin/sh -c id'), '/srv/e1', 'true', 'false', 'select'),
  (3, 'evil2', 'trailing\\', '/srv/e2', 'true', 'false', 'select'),
  (4, CONCAT('e3', CHAR(10), '[global]'), NULL, '/srv/e3', 'true', 'false', 'any'),
  (5, 'evil4', NULL, CONCAT('/srv/e4', CHAR(13), CHAR(10), '\tguest ok = yes'), 'false', 'false', 'any'),
  (6, 'Global', NULL, '/srv/e6', 'true', 'true', 'any'),
  (7, 'a]b', NULL, '/srv/e7', 'true', 'true', 'any'),
  (8, 'grp', NULL, '/srv/e8', 'true', 'false', 'select'),
  (9, 'two', NULL, '/srv/e9', 'true', 'false', 'select'),
  (10, 'comma', NULL, '/srv/e10', 'true', 'false', 'select'),
  (11, 'macro', NULL, '/srv/e11', 'true', 'false', 'select'),
  (12, 'nl', NULL, '/srv/e12', 'true', 'false', 'select'),
  (13, 'bs', NULL, '/srv/e13', 'true', 'false', 'select'),
  (14, 'DOCS', NULL, '/srv/e14', 'true', 'true', 'any'),
  (15, '', NULL, '/srv/e15', 'true', 'true', 'any'),
  (16, 'pub', NULL, '/home/pub', 'false', 'true', 'any');
INSERT INTO module_fileserver_valid_users (sid, uid) VALUES
  (1, 1), (1, 2), (2, 1), (3, 1), (8, 1), (8, 3), (9, 4), (10, 5), (11, 6), (12, 7), (13, 1),
  (13, 8);
)");
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status);
  EXPECT_TEXT_EQ(golden("gen_injection.err"), r.err);
  EXPECT_EQ(r.err, r.out);
  EXPECT_TEXT_EQ(golden("gen_injection.conf"), read_file(include_path));

  run_result tp = testparm_installed();
  expect_testparm_accepts(tp);
  EXPECT_EQ((std::set<std::string>{"comment", "guest ok", "hosts allow", "include", "interfaces",
                                   "idmap config * : backend", "password server", "path",
                                   "read only", "security", "username map", "valid users",
                                   "workgroup"}),
            parameters_of(tp.out))
      << tp.out;
  auto sections = testparm_sections(tp.out);
  ASSERT_EQ(8u, sections.size()) << tp.out;
  EXPECT_EQ("[docs]", sections[1][0]);
  EXPECT_EQ("\tvalid users = alice bob", sections[1].back());
  EXPECT_EQ("\tvalid users = \"carol dave\"", sections[4].back());
  EXPECT_EQ("\tvalid users = carol,dave", sections[5].back());
  EXPECT_EQ("\tvalid users = alice eve\\", sections[6].back());
  EXPECT_EQ("[pub]", sections[7][0]);
}

// When every stored host is refused, an empty list would admit every host:
// the run fails and the installed file stays as it was. A host ending in a
// backslash is one of them (it would join the next line); a row in Samba's
// own list syntax is not.
TEST_F(Generation, NoHostLeftFailsTheRun) {
  db_sql(example_sql);
  ASSERT_EQ(0, reconfigure().status);
  db_sql(
      "DELETE FROM module_fileserver_hosts;\n"
      "INSERT INTO module_fileserver_hosts (name) VALUES (CONCAT('10.0.0.0/8', CHAR(10)));\n");
  run_result r = reconfigure();
  EXPECT_EQ(1, r.status);
  EXPECT_TEXT_EQ(
      "cifsctl: Host '10.0.0.0/8\\n' is left out of /usr/local/etc/smb.conf.include: Samba would "
      "not read it back unchanged\n"
      "cifsctl: Unable to print [global] section to /usr/local/etc/smb.conf\n",
      r.err);
  EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));

  // A continuing backslash is refused as well; Samba's own list syntax in a
  // row is written as it stands.
  db_sql("UPDATE module_fileserver_hosts SET name = '10.0.0.0/8\\\\';");
  EXPECT_EQ(1, reconfigure().status);
  db_sql("UPDATE module_fileserver_hosts SET name = '10.0.0.0/255.0.0.0 EXCEPT 10.0.0.13';");
  r = reconfigure();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            read_file(include_path).find("\tallow hosts = 10.0.0.0/255.0.0.0 EXCEPT 10.0.0.13\n"));
}

// Each failure ends the run with status 1 and its message, and leaves the
// installed include file untouched.
TEST_F(Generation, FailuresAreFatal) {
  db_sql(example_sql);
  const std::string before = "[old]\n\tpath = /old\n";
  auto expect_failure = [&](const std::string& message) {
    run_result r = reconfigure();
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
    EXPECT_EQ(r.err, r.out);
  };

  // A missing lock directory fails no run: the file is written without the
  // lock, after the runtime's report of the lock file it could not open.
  write_file(include_path, before);
  ASSERT_EQ(0, rename("/usr/local/tav/var/lock/files", "/usr/local/tav/var/lock/gone"));
  run_result unlocked = reconfigure();
  EXPECT_EQ(0, unlocked.status) << unlocked.err;
  EXPECT_NE(std::string::npos, unlocked.err.find("cifsctl: Unable to open file \"/usr/local/tav/var/lock/files/"));
  EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));
  ASSERT_EQ(0, rename("/usr/local/tav/var/lock/gone", "/usr/local/tav/var/lock/files"));
  write_file(include_path, before);
  unlink(smbusers);

  // The temporary file cannot be opened.
  make_dirs(tmp_path);
  expect_failure("cifsctl: Unable to open file /usr/local/etc/smb.conf.include.tmp for writing: "
                 "Is a directory\n");
  EXPECT_EQ(before, read_file(include_path));
  ASSERT_EQ(0, rmdir(tmp_path));

  // The include file cannot be looked up.
  unlink(include_path);
  ASSERT_EQ(0, symlink("smb.conf.include", include_path));
  expect_failure("cifsctl: Unable to stat file /usr/local/etc/smb.conf.include: Too many levels "
                 "of symbolic links\n");
  unlink(include_path);

  // The rename fails: the include path is a directory.
  make_dirs(std::string(include_path) + "/x");
  expect_failure("cifsctl: Error while rename file /usr/local/etc/smb.conf.include.tmp to "
                 "/usr/local/etc/smb.conf.include: Is a directory\n");
  EXPECT_TRUE(file_exists(std::string(include_path) + "/x"));
  ASSERT_EQ(0, rmdir((std::string(include_path) + "/x").c_str()));
  ASSERT_EQ(0, rmdir(include_path));

  // The username map cannot be opened (the include file is installed).
  make_dirs(smbusers);
  expect_failure("cifsctl: Unable to open file /usr/local/etc/smbusers for writing: Is a "
                 "directory\n");
  EXPECT_TEXT_EQ(golden("gen_example.conf"), read_file(include_path));
  ASSERT_EQ(0, rmdir(smbusers));

  // A table is missing.
  write_file(include_path, before);
  db_sql("DROP TABLE module_fileserver_hosts;");
  expect_failure("cifsctl: Unable to query: Table 'tav.module_fileserver_hosts' doesn't exist\n");
  db_sql("CREATE TABLE module_fileserver_hosts (id INT AUTO_INCREMENT PRIMARY KEY, name TEXT);");
  db_sql("DROP TABLE module_fileserver_valid_users;");
  expect_failure(
      "cifsctl: Unable to query: Table 'tav.module_fileserver_valid_users' doesn't exist\n");
  db_sql("DROP TABLE module_fileserver_shares;");
  expect_failure("cifsctl: Unable to query: Table 'tav.module_fileserver_shares' doesn't exist\n");
  EXPECT_EQ(before, read_file(include_path));
  EXPECT_FALSE(file_exists(smbusers));

  // No server answers.
  stop_mariadb();
  run_result r = reconfigure();
  EXPECT_EQ(1, r.status);
  size_t reason = r.err.find("cifsctl: db_connect: failed to connect to database: Error: ");
  size_t verdict = r.err.find("cifsctl: Unable to connect to the mysql database\n");
  EXPECT_NE(std::string::npos, reason) << r.err;
  EXPECT_NE(std::string::npos, verdict) << r.err;
  EXPECT_LT(reason, verdict) << r.err;
  EXPECT_EQ(before, read_file(include_path));
}

// A failed settings lookup is reported and its line left out; the run goes on.
TEST_F(Generation, MissingSettingsTableLeavesSettingsOut) {
  db_sql(example_sql);
  db_sql("DROP TABLE module_fileserver_params;");
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("cifsctl: Unable to query parameter by query select val from "
                       "module_fileserver_params where param='workgroup': Table "
                       "'tav.module_fileserver_params' doesn't exist\n"))
      << r.err;
  std::string expected = golden("gen_example.conf");
  std::string globals =
      "\tworkgroup = WORKGROUP\n\tserver string = File server\n\tencrypt passwords = yes\n"
      "\tsecurity = user\n\tinterfaces = lo 10.0.0.5\n";
  expected.replace(expected.find(globals), globals.size(), "\tinterfaces = lo\n");
  EXPECT_TEXT_EQ(expected, read_file(include_path));
}

// A database of 1,000 shares: the text expected of each kind of share,
// built here, and Samba's parser reads every section.
std::string thousand_shares_sql(std::string* expected) {
  std::string sql = "INSERT INTO module_fileserver_users (id, name, sys_name) VALUES ";
  for (int u = 1; u <= 10; ++u)
    sql += (u > 1 ? ", (" : "(") + std::to_string(u) + ", 'U" + std::to_string(u) + "', 'user" +
           std::to_string(u) + "')";
  sql += ";\nINSERT INTO module_fileserver_shares "
         "(id, name, description, path, writable, guest_ok, valid_users) VALUES ";
  std::string links = "INSERT INTO module_fileserver_valid_users (sid, uid) VALUES ";
  *expected =
      "[global]\n\tusername map = /usr/local/etc/smbusers\n\tinterfaces = lo\n\tallow hosts = "
      "\n\n\n";
  for (int i = 1; i <= 1000; ++i) {
    const std::string n = std::to_string(i);
    const std::string name = "share" + n, path = "/srv/share" + n;
    if (i > 1)
      sql += ", ";
    if (i % 3 == 0) {
      sql += "(" + n + ", '" + name + "', 'Share " + n + "', '" + path +
             "', 'true', 'false', 'any')";
      *expected += "[" + name + "]\n\tpath = " + path +
                   "\n\twritable = yes\n\tguest ok = no\n\tcomment = Share " + n + "\n\n";
    } else if (i % 3 == 1) {
      const int a = 1 + i % 9;
      sql += "(" + n + ", '" + name + "', NULL, '" + path + "', 'false', 'false', 'select')";
      links += std::string(i > 1 ? ", " : "") + "(" + n + ", " + std::to_string(a) + "), (" + n +
               ", " + std::to_string(a + 1) + ")";
      *expected += "[" + name + "]\n\tpath = " + path +
                   "\n\twritable = no\n\tguest ok = no\n\tvalid users = user" +
                   std::to_string(a) + " user" + std::to_string(a + 1) + "\n\n";
    } else {
      sql += "(" + n + ", '" + name + "', NULL, '" + path + "', 'true', 'true', 'select')";
      *expected += "[" + name + "]\n\tpath = " + path +
                   "\n\twritable = yes\n\tguest ok = yes\n\tguest only = yes\n\n";
    }
  }
  return sql + ";\n" + links + ";\n";
}

TEST_F(Generation, ThousandShares) {
  std::string expected;
  db_sql(thousand_shares_sql(&expected));
  run_result r = reconfigure();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TEXT_EQ(expected, read_file(include_path));

  run_result tp = testparm_installed();
  expect_testparm_accepts(tp);
  EXPECT_EQ(1001u, testparm_sections(tp.out).size());
}

// Runs at the same time each install a whole file: every run succeeds and
// the file holds exactly what one run writes.
TEST_F(Generation, ConcurrentRunsInstallWholeFiles) {
  std::string expected;
  db_sql(thousand_shares_sql(&expected));
  const std::string command =
      std::string("for i in 1 2 3 4 5 6; do ") + CIFSCTL_BIN +
      " --reconfigure-all -w >/dev/null 2>&1 & pids=\"$pids $!\"; done; "
      "for p in $pids; do wait $p; echo $?; done";
  for (int round = 0; round < 3; ++round) {
    int status = -1;
    std::string statuses = sh(command, &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ("0\n0\n0\n0\n0\n0\n", statuses) << "round " << round;
    EXPECT_TEXT_EQ(expected, read_file(include_path));
    EXPECT_FALSE(file_exists(tmp_path));
  }
}

}  // namespace
