// The sibling utilities rcswitch and compctl, run as built.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/owners.h"
#include "tests/harness.h"

namespace {

const std::string rcswitch = std::string(BUILD_DIR) + "/rcswitch";
const std::string compctl = std::string(BUILD_DIR) + "/compctl";
constexpr char rc_conf_d[] = "/etc/rc.conf.d";

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  unique_dir d(opendir(dir.c_str()));
  while (d) {
    dirent* e = readdir(d.get());
    if (!e)
      break;
    std::string name = e->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  return names;
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

run_result switch_service(const std::string& service, const std::string& state) {
  return run_program({rcswitch, service, state});
}

TEST(Rcswitch, CreatesAndSwitchesTheSetting) {
  rmdir(rc_conf_d);
  run_result r = switch_service("samba", "on");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("samba_enable=\"YES\"\n", read_file("/etc/rc.conf.d/samba"));
  struct stat st = stat_of("/etc/rc.conf.d/samba");
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ(0u, st.st_uid);

  EXPECT_EQ(0, switch_service("samba", "off").status);
  EXPECT_EQ("samba_enable=\"NO\"\n", read_file("/etc/rc.conf.d/samba"));
  EXPECT_EQ(0, switch_service("samba", "off").status);
  EXPECT_EQ("samba_enable=\"NO\"\n", read_file("/etc/rc.conf.d/samba"));
  // Nothing but the service's file is left in the directory.
  EXPECT_EQ(std::vector<std::string>{"samba"}, entries(rc_conf_d));
}

// Other lines stay as they are; the first setting is replaced where it
// stands, repeated ones go; owner and mode are kept.
TEST(Rcswitch, KeepsTheRestOfTheFile) {
  write_file("/etc/rc.conf.d/samba",
             "# Samba\n"
             "samba_flags=\"-D\"\n"
             "  samba_enable=\"NO\"  # by hand\n"
             "samba_enable_extra=\"x\"\n"
             "samba_enable=\"MAYBE\"\n"
             "#samba_enable=\"YES\"\n"
             "last_line=\"no newline\"",
             0600);
  ASSERT_EQ(0, chown("/etc/rc.conf.d/samba", 12, 34));
  run_result r = switch_service("samba", "on");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TEXT_EQ(
      "# Samba\n"
      "samba_flags=\"-D\"\n"
      "samba_enable=\"YES\"\n"
      "samba_enable_extra=\"x\"\n"
      "#samba_enable=\"YES\"\n"
      "last_line=\"no newline\"\n",
      read_file("/etc/rc.conf.d/samba"));
  struct stat st = stat_of("/etc/rc.conf.d/samba");
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(12u, st.st_uid);
  EXPECT_EQ(34u, st.st_gid);
}

// rc sources the file: the variable must be a shell name.
TEST(Rcswitch, DashesBecomeUnderscoresInTheVariable) {
  EXPECT_EQ(0, switch_service("courier-imap_2", "on").status);
  EXPECT_EQ("courier_imap_2_enable=\"YES\"\n", read_file("/etc/rc.conf.d/courier-imap_2"));
  int status = 0;
  std::string out = sh(". /etc/rc.conf.d/courier-imap_2 && echo $courier_imap_2_enable", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("YES\n", out);
}

TEST(Rcswitch, MisuseIsAUsageError) {
  const std::string usage = golden("rcswitch_usage.txt");
  const std::string bad_name = "rcswitch: Invalid service name ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> misuse = {
      {{}, "rcswitch: Expected two arguments, got 0\n"},
      {{"samba"}, "rcswitch: Expected two arguments, got 1\n"},
      {{"samba", "on", "now"}, "rcswitch: Expected two arguments, got 3\n"},
      {{"samba", "ON"}, "rcswitch: Expected on or off, not 'ON'\n"},
      {{"samba", "yes"}, "rcswitch: Expected on or off, not 'yes'\n"},
      {{"", "on"}, bad_name + "''\n"},
      {{"../passwd", "on"}, bad_name + "'../passwd'\n"},
      {{"sam ba", "on"}, bad_name + "'sam ba'\n"},
      {{"samba;reboot", "on"}, bad_name + "'samba;reboot'\n"},
      {{"2samba", "on"}, bad_name + "'2samba'\n"},
      {{"-samba", "on"}, bad_name + "'-samba'\n"},
      {{std::string(129, 'a'), "on"}, bad_name + "'" + std::string(129, 'a') + "'\n"},
      {{"samba", "O\nN"}, "rcswitch: Expected on or off, not 'O\\nN'\n"},
  };
  for (const auto& [args, first_line] : misuse) {
    std::vector<std::string> argv{rcswitch};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_program(argv);
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(first_line + usage, r.err);
  }
  EXPECT_TRUE(entries(rc_conf_d).empty());

  run_result r = run_program({rcswitch, "--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(usage, r.out);
}

// A link or a directory where the file belongs is refused, not replaced.
TEST(Rcswitch, RefusesWhatIsNotARegularFile) {
  make_dirs(rc_conf_d);
  write_file("/etc/other.conf", "keep\n");
  ASSERT_EQ(0, symlink("/etc/other.conf", "/etc/rc.conf.d/samba"));
  run_result r = switch_service("samba", "on");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("rcswitch: Unable to open /etc/rc.conf.d/samba: Too many levels of symbolic links\n"
            "System error 40: Too many levels of symbolic links\n", r.err);
  EXPECT_TRUE(S_ISLNK(stat_of("/etc/rc.conf.d/samba").st_mode));
  EXPECT_EQ("keep\n", read_file("/etc/other.conf"));

  make_dirs("/etc/rc.conf.d/named");
  r = switch_service("named", "off");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("rcswitch: Not a regular file: '/etc/rc.conf.d/named'\n", r.err);
  EXPECT_EQ(2u, entries(rc_conf_d).size());
}

const std::string dirty_flag = std::string(test_product_root) + "/var/components.dirty";

TEST(Compctl, SetDirtyFlagRecordsTheTime) {
  write_product_conf();
  time_t before = time(nullptr);
  run_result r = run_program({compctl, "--set-dirty-flag"});
  time_t after = time(nullptr);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);

  std::string text = read_file(dirty_flag);
  char* end = nullptr;
  long long seconds = std::strtoll(text.c_str(), &end, 10);
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  char iso[32];
  strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &utc);
  EXPECT_EQ(std::to_string(seconds) + " " + iso + "\n", text);
  EXPECT_EQ(0644u, stat_of(dirty_flag).st_mode & 07777);

  // A later request renews the time; no temporary file stays.
  write_file(dirty_flag, "1 1970-01-01T00:00:01Z\n");
  EXPECT_EQ(0, run_program({compctl, "--set-dirty-flag"}).status);
  EXPECT_GE(std::strtoll(read_file(dirty_flag).c_str(), nullptr, 10), before);
  for (const std::string& name : entries(std::string(test_product_root) + "/var"))
    EXPECT_EQ(std::string::npos, name.find("components.dirty.")) << name;

  // A replacement that cannot be renamed into place takes its temporary
  // file away.
  unlink(dirty_flag.c_str());
  make_dirs(dirty_flag + "/x");
  r = run_program({compctl, "--set-dirty-flag"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("compctl: Unable to write " + dirty_flag + ": Is a directory\nSystem error 21: Is a directory\n",
            r.err);
  for (const std::string& name : entries(std::string(test_product_root) + "/var"))
    EXPECT_EQ(std::string::npos, name.find("components.dirty.")) << name;
}

TEST(Compctl, MisuseIsAUsageError) {
  write_product_conf();
  const std::string usage = golden("compctl_usage.txt");
  // A value shown in the report cannot forge a line of its own.
  for (const auto& [args, first_line] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, "compctl: Expected one option, got 0 arguments\n"},
           {{"--set-dirty"}, "compctl: Unknown option '--set-dirty'\n"},
           {{"--set-dirty-flag", "now"}, "compctl: Expected one option, got 2 arguments\n"},
           {{"set-dirty-flag"}, "compctl: Unknown option 'set-dirty-flag'\n"},
           {{"x\ncompctl: y"}, "compctl: Unknown option 'x\\ncompctl: y'\n"}}) {
    std::vector<std::string> argv{compctl};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_program(argv);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(first_line + usage, r.err);
  }
  EXPECT_FALSE(file_exists(dirty_flag));

  run_result r = run_program({compctl, "--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(usage, r.out);
}

TEST(Compctl, NeedsTheProductConfiguration) {
  unlink("/etc/tav/tav.conf");
  run_result r = run_program({compctl, "--set-dirty-flag"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("compctl: Error: PRODUCT_ROOT_D not defined\n\nSystem error 2: No such file or directory\n",
            r.err);
}

}  // namespace
