// The password handed over in TAV_PASSWORD reaches Samba's password
// database and nothing else (and TAV_CRYPTED_PASSWORD no program at all): no argument list or environment of any program
// the run starts (checked twice: by the tools themselves, which dump
// /proc/self/cmdline and environ, and by strace over every execve, which
// also covers ps, grep, awk and sh), no file written anywhere in the
// sandbox, and nothing the program prints, on every command that can start
// a program, on success and on failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/product_conf.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

constexpr char canary[] = "CanaryPw-5f1e2d-q";
constexpr char dump_dir[] = "/tmp/dumps";
constexpr char trace_dir[] = "/tmp/traces";
constexpr char strace_bin[] = "/usr/bin/strace";

// Shell lines that record how the script itself was started.
std::string dump_prelude() {
  return std::string("#!/bin/sh\nd=") + dump_dir +
         "/$(basename \"$0\").$$\n"
         "tr '\\0' ' ' < /proc/$$/cmdline > \"$d.cmdline\"\n"
         "tr '\\0' '\\n' < /proc/$$/environ > \"$d.environ\"\n";
}

// Puts the dump in front of a wrapper that setup_samba wrote.
void add_dump_to(const std::string& path) {
  std::string text = read_file(path);
  ASSERT_EQ(0u, text.rfind("#!/bin/sh\n", 0)) << path;
  write_file(path, dump_prelude() + text.substr(10), 0755);
}

TEST(Secrets, PasswordReachesOnlyThePasswordDatabase) {
  write_product_conf();
  load_product_conf();
  setup_samba();
  add_system_user("john");
  start_mariadb();
  db_sql(
      "INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1');\n"
      "INSERT INTO module_fileserver_shares (id, name, path, valid_users) "
      "VALUES (1, 'pub', '/srv/pub', 'any');\n");
  make_dirs(dump_dir);
  make_dirs(trace_dir);

  // Every program the commands start, at the paths where they run them.
  add_dump_to("/usr/local/bin/smbpasswd");
  add_dump_to("/usr/local/bin/smbstatus");
  write_file(product_conf.rcswitch_path, dump_prelude() + "exit 0\n", 0755);
  write_file(product_conf.compctl_path, dump_prelude() + "exit 0\n", 0755);
  write_file(std::string(product_conf.product_rc_d) + "/samba", dump_prelude() + "exit 0\n", 0755);
  // A running daemon, so that the kill and stop paths run too.
  start_smbd();

  const std::vector<std::vector<std::string>> commands = {
      {"--add-smbuser", "--smbuser-name=jsmith", "--user-name=john"},
      {"--set-smbuser-password", "--smbuser-name=jsmith", "--user-name=john"},
      {"--rename-smbuser", "--old-smbuser-name=jsmith", "--new-smbuser-name=jdoe",
       "--user-name=john"},
      {"--reconfigure-all"},
      {"--add-share", "--share-name=docs", "--path=/srv/docs"},
      {"--set-preferences", "--workgroup=TEAM", "--security=user"},
      {"--usage-status"},
      {"--check-packages"},
      {"--status"},
      {"--restart"},
      {"--stop"},
      {"--start"},
      {"--bogus"},
      {"--add-smbuser", "--user-name=john"},
      {"--help"},
  };
  std::vector<std::string> env = {std::string("TAV_PASSWORD=") + canary,
                                  std::string("TAV_CRYPTED_PASSWORD=$1$") + canary};
  int n = 0;
  auto run_traced = [&](const std::vector<std::string>& args, const std::vector<std::string>& e) {
    std::vector<std::string> argv = {
        strace_bin, "-f", "-qq",          "-v", "-s",
        "65536",    "-e", "trace=execve", "-o", std::string(trace_dir) + "/" + std::to_string(++n),
        CIFSCTL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, e);
  };
  auto expect_quiet = [&](const run_result& r, const std::string& what) {
    EXPECT_EQ(std::string::npos, r.out.find(canary)) << what << " printed it:\n" << r.out;
    EXPECT_EQ(std::string::npos, r.err.find(canary)) << what << " printed it:\n" << r.err;
  };

  for (const auto& args : commands)
    expect_quiet(run_traced(args, env), args[0]);
  // The password really went where it belongs.
  EXPECT_EQ(nt_hash(canary), pdbedit_nt_hash("john"));

  // Refused passwords are not echoed in the refusal.
  for (const std::string& bad : {std::string(canary) + "\nsecond", std::string(canary) + "\r",
                                 std::string(canary) + std::string(300, 'x')}) {
    run_result r = run_traced({"--set-smbuser-password", "--smbuser-name=jdoe", "--user-name=john"},
                              {"TAV_PASSWORD=" + bad});
    EXPECT_NE(0, r.status);
    expect_quiet(r, "a refused password");
  }
  // A tool that fails after reading the password.
  write_file("/usr/local/bin/smbpasswd",
             dump_prelude() + "cat >/dev/null; echo failed >&2; exit 1\n", 0755);
  expect_quiet(
      run_traced({"--set-smbuser-password", "--smbuser-name=jdoe", "--user-name=john"}, env),
      "a failing smbpasswd");
  stop_smbd();

  // Every execve but the first of each trace (cifsctl's own, which holds
  // the variable by design).
  int execs = 0;
  for (int i = 1; i <= n; ++i) {
    std::string trace = read_file(std::string(trace_dir) + "/" + std::to_string(i));
    size_t first_end = trace.find('\n');
    ASSERT_NE(std::string::npos, first_end) << "no trace " << i;
    std::string rest = trace.substr(first_end + 1);
    for (size_t p = 0; (p = rest.find("execve(", p)) != std::string::npos; ++p)
      ++execs;
    size_t at = rest.find(canary);
    EXPECT_EQ(std::string::npos, at) << "trace " << i << " shows it in a child's execve:\n"
                                     << rest.substr(rest.rfind('\n', at) + 1, 400);
    EXPECT_EQ(std::string::npos, rest.find("TAV_PASSWORD")) << "trace " << i;
    EXPECT_EQ(std::string::npos, rest.find("TAV_CRYPTED_PASSWORD")) << "trace " << i;
  }
  // Sanity: the commands did start their tools (smbpasswd, ps, rc, ...).
  EXPECT_GT(execs, 30);
  std::string dumps = sh(std::string("ls ") + dump_dir);
  for (const char* tool : {"smbpasswd", "smbstatus", "rcswitch", "samba"})
    EXPECT_NE(std::string::npos, dumps.find(tool)) << tool << " never ran:\n" << dumps;

  // No file anywhere that the sandbox let us write holds it: the upper
  // layers of every overlay and the private /tmp, less the traces (which
  // record cifsctl's own environment) and the checkout and build directory
  // that the sandbox binds in when they lie under /tmp (this source names
  // the canary). Samba's password database keeps a hash only, so it is
  // searched too.
  const std::string checkout = std::filesystem::path(TESTS_DIR).parent_path().string();
  std::string found = sh(std::string("find /mnt/upper /tmp -path ") + trace_dir +
                         " -prune -o -path '" + checkout + "' -prune -o -path '" + BUILD_DIR +
                         "' -prune -o -type f -exec grep -l -a -F -e '" + canary +
                         "' {} + 2>/dev/null");
  EXPECT_EQ("", found) << "files holding the password:\n" << found;
}

}  // namespace
