// Samba user accounts against Debian's real smbpasswd and pdbedit in the
// sandbox, with small fake tools where a failure has to be provoked.
#include <crypt.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "runtime/paths.h"
#include "samba/users.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

const std::string map_path = paths::smbusers;
const std::string record_dir = "/tmp/fake-smbpasswd";

struct op_result {
  int result;       // the operation's result (0, -1), or 1000 + exit status
  std::string out;  // what the operation wrote on standard output
  std::string err;  // ... and on standard error
};

// Runs op in a child process: the reports go to captured streams, and the
// environment and the password caches stay the child's.
op_result run_op(const std::function<int()>& op) {
  run_result r = run_in_child([&] {
    // As the program runs: the harness ignores SIGPIPE for its own pipes.
    signal(SIGPIPE, SIG_DFL);
    int v = op();
    std::fflush(nullptr);
    _exit(v == 0 ? 0 : v == -1 ? 100 : 101);
  });
  int result = r.status == 0 ? 0 : r.status == 100 ? -1 : 1000 + r.status;
  return {result, r.out, r.err};
}

// A fake smbpasswd that records its arguments, environment and, for -s, its
// standard input, then exits with status.
void install_recording_smbpasswd(int status = 0) {
  make_dirs(record_dir);
  write_file(paths::smbpasswd,
             "#!/bin/sh\n"
             "printf '%s\\n' \"$@\" > " + record_dir + "/args\n"
             "env > " + record_dir + "/env\n"
             "if [ \"$1\" = -s ]; then cat > " + record_dir + "/stdin; fi\n"
             "exit " + std::to_string(status) + "\n",
             0755);
}

bool fake_ran() { return file_exists(record_dir + "/args"); }

class Users : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    setup_samba();
    add_system_user("john");
  }
};

TEST_F(Users, AddPutsAccountInPasswdDbAndOneRecordAtTheEndOfTheMap) {
  write_file(map_path, "john = jsmith\nmary = mmiller\n");

  op_result r = run_op([] { return add_smbuser("jsmith", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("john\n", pdbedit_users());
  // Account disabled until a password is set: no NT hash yet.
  EXPECT_EQ(0u, pdbedit_nt_hash("john").rfind("NO PASSWORD", 0)) << pdbedit_nt_hash("john");
  EXPECT_TEXT_EQ("mary = mmiller\njohn = jsmith\n", read_file(map_path));

  r = run_op([] { return add_smbuser("jsmith", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_TEXT_EQ("mary = mmiller\njohn = jsmith\n", read_file(map_path));
}

TEST_F(Users, AddWithEqualNamesLeavesTheMapAlone) {
  op_result r = run_op([] { return add_smbuser("john", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("john\n", pdbedit_users());
  EXPECT_FALSE(file_exists(map_path));
}

TEST_F(Users, AddWithoutMapReportsTheRemovalAndCreatesTheMap) {
  op_result r = run_op([] { return add_smbuser("jsmith", "john"); });
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("Unable to remove record for 'john' from '/usr/local/etc/smbusers' file\n"
            "System error 2: No such file or directory\n", r.err);
  EXPECT_TEXT_EQ("john = jsmith\n", read_file(map_path));
}

TEST_F(Users, AddOfAnUnknownSystemUserFailsAndLeavesTheMap) {
  write_file(map_path, "mary = mmiller\n");
  op_result r = run_op([] { return add_smbuser("ghostly", "ghost"); });
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.err.find("/usr/local/bin/smbpasswd execution failed"));
  EXPECT_NE(std::string::npos,
            r.err.find("Error during execute '/usr/local/bin/smbpasswd -a -n ghost'"))
      << r.err;
  EXPECT_EQ("", pdbedit_users());
  EXPECT_TEXT_EQ("mary = mmiller\n", read_file(map_path));
}

TEST_F(Users, DeleteRemovesAccountAndRecordOnly) {
  ASSERT_EQ(0, run_op([] { return add_smbuser("jsmith", "john"); }).result);
  write_file(map_path, "mary = mmiller\njohn = jsmith\njohn = jsmith2\n");

  op_result r = run_op([] { return del_smbuser("jsmith", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("", pdbedit_users());
  EXPECT_TEXT_EQ("mary = mmiller\njohn = jsmith2\n", read_file(map_path));
}

TEST_F(Users, DeleteWhoseSmbpasswdFailsKeepsTheRecord) {
  write_file(map_path, "john = jsmith\n");
  // john is a system user but not in the password database: -x exits 1.
  op_result r = run_op([] { return del_smbuser("jsmith", "john"); });
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.err.find("Error during execute '/usr/local/bin/smbpasswd -x john'"))
      << r.err;
  EXPECT_TEXT_EQ("john = jsmith\n", read_file(map_path));
}

TEST_F(Users, RenameTouchesOnlyTheMap) {
  ASSERT_EQ(0, run_op([] { return add_smbuser("john", "john"); }).result);
  install_recording_smbpasswd();
  write_file(map_path, "john = old\nmary = mmiller\n");

  op_result r = run_op([] { return rename_smbuser("old", "new", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_TEXT_EQ("mary = mmiller\njohn = new\n", read_file(map_path));
  EXPECT_FALSE(fake_ran());

  // Back to the account's own name: the record goes, none is written.
  r = run_op([] { return rename_smbuser("new", "john", "john"); });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_TEXT_EQ("mary = mmiller\n", read_file(map_path));
}

TEST_F(Users, PasswordFromTheEnvironmentIsTheOneSambaStores) {
  ASSERT_EQ(0, run_op([] { return add_smbuser("john", "john"); }).result);
  // Quotes, blanks, shell syntax and non-ASCII reach the tool as they are;
  // 254 bytes is the longest password smbpasswd reads whole.
  for (std::string password : {std::string("p'a;ss $(touch /tmp/x) \"\xc3\xa9\\"),
                               std::string(254, 'z')}) {
    op_result r = run_op([&] {
      setenv("TAV_PASSWORD", password.c_str(), 1);
      int result = set_smbuser_password("ignored", "john");
      // Gone from the environment before the tool ran, and still gone.
      return result == 0 && std::getenv("TAV_PASSWORD") ? 2 : result;
    });
    EXPECT_EQ(0, r.result) << r.err;
    EXPECT_EQ(nt_hash(password), pdbedit_nt_hash("john")) << password;
  }
  EXPECT_FALSE(file_exists("/tmp/x"));
}

TEST_F(Users, UnsetPasswordSetsTheEmptyOne) {
  ASSERT_EQ(0, run_op([] { return add_smbuser("john", "john"); }).result);
  op_result r = run_op([] {
    unsetenv("TAV_PASSWORD");
    return set_smbuser_password("john", "john");
  });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ(nt_hash(""), pdbedit_nt_hash("john"));
}

TEST_F(Users, PasswordReachesTheToolOnlyThroughItsInput) {
  install_recording_smbpasswd();
  const char* account = "o'brien;touch /tmp/pwned";
  op_result r = run_op([&] {
    setenv("TAV_PASSWORD", "s3cret", 1);
    return set_smbuser_password("x", account);
  });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("-s\n" + std::string(account) + "\n", read_file(record_dir + "/args"));
  EXPECT_EQ("s3cret\ns3cret\n", read_file(record_dir + "/stdin"));
  EXPECT_EQ(std::string::npos, read_file(record_dir + "/env").find("TAV_PASSWORD"));
  EXPECT_FALSE(file_exists("/tmp/pwned"));

  // Unset: two empty lines.
  r = run_op([] {
    unsetenv("TAV_PASSWORD");
    return set_smbuser_password("john", "john");
  });
  EXPECT_EQ(0, r.result) << r.err;
  EXPECT_EQ("\n\n", read_file(record_dir + "/stdin"));

  // Nor does the password reach the tool when it comes with another action.
  for (auto op : {+[] { return add_smbuser("jsmith", "john"); },
                  +[] { return del_smbuser("jsmith", "john"); }}) {
    unlink((record_dir + "/env").c_str());
    r = run_op([&] {
      setenv("TAV_PASSWORD", "s3cret", 1);
      return op();
    });
    EXPECT_EQ(0, r.result) << r.err;
    std::string env = read_file(record_dir + "/env");
    EXPECT_NE(std::string::npos, env.find("PATH="));
    EXPECT_EQ(std::string::npos, env.find("TAV_PASSWORD"));
  }
}

TEST_F(Users, FailingPasswordToolIsReportedAsFailure) {
  install_recording_smbpasswd(1);
  op_result r = run_op([] {
    setenv("TAV_PASSWORD", "pw", 1);
    return set_smbuser_password("john", "john");
  });
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("Error during execute '/usr/local/bin/smbpasswd -s john'\n", r.err);

  // Real smbpasswd on an account missing from the password database.
  setup_samba();
  r = run_op([] {
    setenv("TAV_PASSWORD", "pw", 1);
    return set_smbuser_password("john", "john");
  });
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.err.find("Error during execute '/usr/local/bin/smbpasswd -s john'"));
}

TEST_F(Users, ToolThatExitsWithoutReadingDoesNotKillTheCaller) {
  // The tool is gone before (or while) the password is written: the write
  // fails with EPIPE instead of a SIGPIPE. Repeated, as the order of the
  // two is up to the scheduler; every outcome must be a returned result.
  write_file(paths::smbpasswd, "#!/bin/sh\nexec 0<&-\nexit 0\n", 0755);
  for (int i = 0; i < 20; ++i) {
    op_result r = run_op([] {
      setenv("TAV_PASSWORD", "pw", 1);
      return set_smbuser_password("john", "john");
    });
    EXPECT_TRUE(r.result == 0 || r.result == -1) << "result " << r.result << ": " << r.err;
  }
  // A tool that does not exist.
  unlink(paths::smbpasswd);
  op_result r = run_op([] { return set_smbuser_password("john", "john"); });
  EXPECT_EQ(-1, r.result);
  // The report names why it did not run, whatever the scheduler did.
  EXPECT_EQ("fork_execv: execv(\"/usr/local/bin/smbpasswd\") failed: No such file or directory\n"
            "Error during execute '/usr/local/bin/smbpasswd -s john'\n"
            "System error 2: No such file or directory\n",
            r.err);
}

TEST_F(Users, PasswordsTheToolCannotReadWholeAreRefused) {
  install_recording_smbpasswd();
  const std::string invalid = "Invalid password in TAV_PASSWORD: it ";
  const std::string line_break = invalid + "holds a carriage return or newline, which "
                                 "/usr/local/bin/smbpasswd would take as the end of the password\n";
  const std::string too_long = " bytes long, /usr/local/bin/smbpasswd reads at most 254\n";
  // The password is read into a text buffer, so it is cut to 4095 bytes first.
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"a\nroot", line_break}, {"ab\r", line_break},
           {std::string(255, 'p'), invalid + "is 255" + too_long},
           {std::string(5000, 'p'), invalid + "is 4095" + too_long}}) {
    const std::string& password = text;  // a name the lambda can capture
    op_result r = run_op([&] {
      setenv("TAV_PASSWORD", password.c_str(), 1);
      return set_smbuser_password("john", "john");
    });
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ(message, r.err);
  }
  EXPECT_FALSE(fake_ran());
}

TEST_F(Users, NamesReadAsOptionsAreRefusedBeforeAnythingRuns) {
  install_recording_smbpasswd();
  write_file(map_path, "mary = mmiller\n");
  const char* evil = "-c/tmp/evil.conf";
  EXPECT_EQ(-1, run_op([&] { return add_smbuser("jsmith", evil); }).result);
  EXPECT_EQ(-1, run_op([&] { return add_smbuser(evil, evil); }).result);
  EXPECT_EQ(-1, run_op([&] { return del_smbuser("jsmith", evil); }).result);
  op_result r = run_op([&] { return set_smbuser_password("x", evil); });
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("Invalid user name '-c/tmp/evil.conf': /usr/local/bin/smbpasswd would read a name "
            "beginning with '-' as an option\n",
            r.err);
  EXPECT_FALSE(fake_ran());
  EXPECT_TEXT_EQ("mary = mmiller\n", read_file(map_path));
}

TEST_F(Users, NamesTheMapCannotHoldLiterallyAreRefusedBeforeAnythingChanges) {
  install_recording_smbpasswd();
  const std::string map = "john = jsmith\nmary = mmiller\n";
  write_file(map_path, map);
  const std::pair<std::vector<std::string>, std::string> bad_logins[] = {
      {{"x\nroot = *", "x\rroot"}, "it holds a line break"},
      {{"*", "a=b", "a,b", "a;b", "q\"uote", "back\\"},
       "it holds one of the characters = * \" , ; \\"},
      {{"@staff", "+staff", "&staff", "#x", ";x", "!x"},
       "its first character is a comment, group or control mark of the map"},
      {{"two words", "tab\there"}, "it holds a blank or control character"},
      {{""}, "it is empty"},
      {{std::string(600, 'l')}, ""}};
  const std::map<char, std::string> escaped = {
      {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}, {'\\', "\\\\"}};
  for (const auto& [logins, fault] : bad_logins)
    for (const std::string& login : logins) {
      op_result r = run_op([&] { return add_smbuser(login.c_str(), "john"); });
      EXPECT_EQ(-1, r.result) << login;
      std::string shown;  // as the report shows a name: control characters escaped
      for (char c : login) shown += escaped.count(c) ? escaped.at(c) : std::string(1, c);
      EXPECT_EQ(fault.empty()
                    ? "Record for 'john' is too long for '" + map_path +
                          "' file: 607 bytes, at most 510\n"
                    : "Invalid name '" + shown + "' for '" + map_path + "' file: " + fault + "\n",
                r.err);
      r = run_op([&] { return rename_smbuser("jsmith", login.c_str(), "john"); });
      EXPECT_EQ(-1, r.result) << login;
    }
  op_result r = run_op([] { return add_smbuser("x", "john\nroot"); });
  EXPECT_EQ(-1, r.result);
  // Shown escaped: a name cannot add a line of its own to the report.
  EXPECT_EQ("Invalid name 'john\\nroot' for '/usr/local/etc/smbusers' file: it holds a line break\n",
            r.err);
  // Removal only: a line break would remove the line before it.
  EXPECT_EQ(-1, run_op([] { return del_smbuser("jsmith\nmary = mmiller", "john"); }).result);
  EXPECT_EQ(-1, run_op([] { return rename_smbuser("jsmith\nx", "new", "john"); }).result);

  EXPECT_FALSE(fake_ran());
  EXPECT_TEXT_EQ(map, read_file(map_path));
  // The longest record Samba reads as one line is still written.
  std::string login(510 - 7, 'l');
  EXPECT_EQ(0, run_op([&] { return rename_smbuser("jsmith", login.c_str(), "john"); }).result);
  EXPECT_TEXT_EQ("mary = mmiller\njohn = " + login + "\n", read_file(map_path));
}

TEST_F(Users, MappedLoginAuthenticatesAgainstSmbd) {
  write_file("/usr/local/etc/smb.conf.include",
             "[global]\n   username map = /usr/local/etc/smbusers\n"
             "[data]\n   path = /tmp\n   read only = yes\n");
  ASSERT_EQ(0, run_op([] { return add_smbuser("jsmith", "john"); }).result);
  ASSERT_EQ(0, run_op([] {
              setenv("TAV_PASSWORD", "Secret-1", 1);
              return set_smbuser_password("jsmith", "john");
            }).result);
  start_smbd();
  run_result good = run_program(
      {"/usr/bin/smbclient", "//127.0.0.1/data", "-U", "jsmith%Secret-1", "-c", "ls"});
  EXPECT_EQ(0, good.status) << good.out << good.err;
  run_result bad = run_program(
      {"/usr/bin/smbclient", "//127.0.0.1/data", "-U", "jsmith%Secret-2", "-c", "ls"});
  EXPECT_NE(0, bad.status);
  EXPECT_NE(std::string::npos, (bad.out + bad.err).find("NT_STATUS_LOGON_FAILURE"));
  stop_smbd();
}

// crypt(3) forms of the password.
std::string crypt_of(const std::string& plain, const std::string& setting) {
  const char* c = crypt(plain.c_str(), setting.c_str());
  return c ? c : "";
}

TEST(UsersCrypted, PlainPasswordIsCryptedWithAFreshMd5Salt) {
  // The salt is drawn after seeding with the current second: reproduce it
  // for a run that started and ended within one second.
  for (int attempt = 0; attempt < 5; ++attempt) {
    run_result r = run_in_child([] {
      setenv("TAV_PASSWORD", "secret", 1);
      setenv("TAV_CRYPTED_PASSWORD", "$1$given$", 1);
      take_env_secrets();  // as the front end does first: the kept copies count
      std::time_t before = std::time(nullptr);
      std::string c = get_env_crypted_password();
      std::time_t after = std::time(nullptr);
      bool gone = !std::getenv("TAV_PASSWORD") && !std::getenv("TAV_CRYPTED_PASSWORD");
      std::printf("%s %lld %lld %d\n", c.c_str(), static_cast<long long>(before),
                  static_cast<long long>(after), gone ? 1 : 0);
    });
    std::string hashed;
    long long before = 0, after = 0;
    int gone = 0;
    char buf[256] = {};
    ASSERT_EQ(4, std::sscanf(r.out.c_str(), "%255s %lld %lld %d", buf, &before, &after, &gone));
    hashed = buf;
    EXPECT_EQ(1, gone);
    ASSERT_EQ(0u, hashed.rfind("$1$", 0)) << hashed;
    EXPECT_EQ(hashed, crypt_of("secret", hashed));
    if (before != after)
      continue;
    std::srand(static_cast<unsigned>(before));
    std::string salt = "$1$";
    const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < 8; ++i)
      salt += alphabet[(static_cast<int>(64.0 * std::rand() / 2147483648.0) + 1) % 64];
    EXPECT_EQ(salt, hashed.substr(0, 11));
    // An independent implementation agrees on the hash.
    EXPECT_EQ(hashed + "\n",
              sh("openssl passwd -1 -salt '" + hashed.substr(3, 8) + "' secret"));
    return;
  }
  FAIL() << "no run within one second";
}

TEST(UsersCrypted, GivenCryptedPasswordIsKeptAndCached) {
  run_result r = run_in_child([] {
    unsetenv("TAV_PASSWORD");
    setenv("TAV_CRYPTED_PASSWORD", "$1$abcdefgh$0123456789abcdefghijkl", 1);
    std::string first = get_env_crypted_password();
    setenv("TAV_CRYPTED_PASSWORD", "$1$other$", 1);
    std::string second = get_env_crypted_password();
    std::printf("%s|%s", first.c_str(), second.c_str());
  });
  EXPECT_EQ("$1$abcdefgh$0123456789abcdefghijkl|$1$abcdefgh$0123456789abcdefghijkl", r.out);
}

TEST(UsersCrypted, NothingGivenCryptsTheEmptyText) {
  run_result r = run_in_child([] {
    unsetenv("TAV_PASSWORD");
    setenv("TAV_CRYPTED_PASSWORD", "", 1);
    std::printf("%s", get_env_crypted_password());
  });
  ASSERT_EQ(0u, r.out.rfind("$1$", 0)) << r.out;
  EXPECT_EQ(r.out, crypt_of("", r.out));
}

TEST(UsersEnvPassword, CopyIsCutAt4095BytesAndTheVariableRemoved) {
  run_result r = run_in_child([] {
    setenv("TAV_PASSWORD", std::string(5000, 'q').c_str(), 1);
    size_t n = std::strlen(get_env_password());
    bool gone = !std::getenv("TAV_PASSWORD");
    setenv("TAV_PASSWORD", "later", 1);
    std::printf("%zu %d %zu", n, gone ? 1 : 0, std::strlen(get_env_password()));
  });
  EXPECT_EQ("4095 1 4095", r.out);
}

// Through the program, as the panel runs it.
class UsersCommand : public Users {};

TEST_F(UsersCommand, AddSetPasswordRenameDelete) {
  write_file(map_path, "mary = mmiller\n");
  run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=jsmith", "--user-name=john"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("john\n", pdbedit_users());
  EXPECT_TEXT_EQ("mary = mmiller\njohn = jsmith\n", read_file(map_path));

  r = run_cifsctl({"--set-smbuser-password", "--smbuser-name=jsmith", "--user-name=john"},
                  {"TAV_PASSWORD=Pass word'1"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(nt_hash("Pass word'1"), pdbedit_nt_hash("john"));

  // Rename and delete regenerate the configuration from the database.
  start_mariadb();
  r = run_cifsctl({"--rename-smbuser", "--old-smbuser-name=jsmith", "--new-smbuser-name=jdoe",
                   "--user-name=john", "-w"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TEXT_EQ("mary = mmiller\njohn = jdoe\n", read_file(map_path));
  EXPECT_EQ(nt_hash("Pass word'1"), pdbedit_nt_hash("john"));

  r = run_cifsctl({"--del-smbuser", "--smbuser-name=jdoe", "--user-name=john", "-w"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", pdbedit_users());
  EXPECT_TEXT_EQ("mary = mmiller\n", read_file(map_path));
}

TEST_F(UsersCommand, FailedToolGivesStatus255) {
  install_recording_smbpasswd(1);
  run_result r = run_cifsctl({"--add-smbuser", "--smbuser-name=jsmith", "--user-name=john"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: /usr/local/bin/smbpasswd execution failed (no output)\n"
            "cifsctl: Error during execute '/usr/local/bin/smbpasswd -a -n john'\n", r.err);
  EXPECT_FALSE(file_exists(map_path));

  r = run_cifsctl({"--set-smbuser-password", "--smbuser-name=john", "--user-name=john"},
                  {"TAV_PASSWORD=pw"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: Error during execute '/usr/local/bin/smbpasswd -s john'\n", r.err);
}

TEST_F(UsersCommand, InjectedNamesAreRefused) {
  install_recording_smbpasswd();
  run_result r = run_cifsctl(
      {"--add-smbuser", "--smbuser-name=x\nroot = *", "--user-name=john"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  EXPECT_EQ("cifsctl: Invalid name 'x\\nroot = *' for '/usr/local/etc/smbusers' file: it holds a "
            "line break\n", r.err);
  r = run_cifsctl({"--set-smbuser-password", "--smbuser-name=x", "--user-name=-c/tmp/evil.conf"},
                  {"TAV_PASSWORD=pw"});
  EXPECT_EQ(255, r.status);
  EXPECT_FALSE(fake_ran());
  EXPECT_FALSE(file_exists(map_path));
}

}  // namespace
