// Server reports and package state: --usage-status against a real smbd and a
// fake status tool, --check-packages against a private MariaDB with the real
// compctl installed where the panel keeps it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "samba/reports.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

constexpr char smb_conf[] = "/usr/local/etc/smb.conf";
constexpr char smbd_path[] = "/usr/local/sbin/smbd";
constexpr char include_line[] = "include = /usr/local/etc/smb.conf.include\n";
const std::string dirty_flag = std::string(test_product_root) + "/var/components.dirty";

mode_t mode_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(UsageStatus, PassesARealReportThroughUnchanged) {
  write_product_conf();
  setup_samba();
  start_smbd();
  run_result direct = run_program({"/usr/local/bin/smbstatus"});
  ASSERT_NE("", direct.out);
  run_result r = run_cifsctl({"--usage-status"});
  EXPECT_EQ(direct.status, r.status);
  EXPECT_TEXT_EQ(direct.out, r.out);
  stop_smbd();
}

TEST(UsageStatus, ExitStatusAndOutputOfTheToolAsTheyAre) {
  write_product_conf();
  write_file("/usr/local/bin/smbstatus",
             "#!/bin/sh\n[ $# = 0 ] || exit 9\nprintf 'Samba version x\\n\\npartial'\nexit 2\n",
             0755);
  run_result r = run_cifsctl({"--usage-status"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("Samba version x\n\npartial", r.out);  // no newline added
  EXPECT_EQ("", r.err);

  write_file("/usr/local/bin/smbstatus", "#!/bin/sh\nexit 0\n", 0755);
  r = run_cifsctl({"--usage-status"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
}

class CheckPackages : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    // The real compctl, where the panel keeps its utilities.
    write_file(std::string(test_product_root) + "/admin/bin/compctl",
               read_file(std::string(BUILD_DIR) + "/compctl"), 0755);
    start_mariadb();
  }

  static void record(const std::string& version) {
    db_sql("DELETE FROM Components WHERE name = 'samba';"
           "INSERT INTO Components (name, version) VALUES ('samba', '" + version + "');");
  }
  static void daemon_present(bool present) {
    // Never written through: the name may be a link to the real daemon.
    unlink(smbd_path);
    if (present)
      write_file(smbd_path, "#!/bin/sh\n", 0755);
  }
};

TEST_F(CheckPackages, FourCombinationsOfDiskAndRecord) {
  struct combination {
    bool present;
    const char* version;
    const char* out;
    bool dirty;
  };
  const combination cases[] = {
      {true, "4.17.12", "0\n", false},
      {true, "not_installed", "0\n", true},
      {false, "4.17.12", "1\n", true},
      {false, "not_installed", "1\n", false},
      // Only the exact text means not installed.
      {false, "not_installed-2", "1\n", true},
  };
  const std::string original = "[global]\n   workgroup = W\n";
  for (const combination& c : cases) {
    SCOPED_TRACE(std::string(c.present ? "present " : "absent ") + c.version);
    daemon_present(c.present);
    record(c.version);
    unlink(dirty_flag.c_str());
    write_file(smb_conf, original, 0600);

    run_result r = run_cifsctl({"--check-packages"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(c.dirty, file_exists(dirty_flag));
    if (c.present) {
      EXPECT_EQ(original + include_line, read_file(smb_conf));
      EXPECT_EQ(0644u, mode_of(smb_conf));
    } else {
      EXPECT_EQ(original, read_file(smb_conf));
      EXPECT_EQ(0600u, mode_of(smb_conf));
    }
  }
}

// Whatever copies the file held, one plain include line stays, at the end.
TEST_F(CheckPackages, IndentedAndCommentedCopiesLeaveOneLineAtTheEnd) {
  daemon_present(true);
  record("4.17.12");
  write_file(smb_conf,
             "[global]\n"
             "\tinclude = /usr/local/etc/smb.conf.include\n"
             "   workgroup = W\n"
             "; include = /usr/local/etc/smb.conf.include\n"
             "include = /usr/local/etc/smb.conf.include\n"
             "include = /usr/local/etc/smb.conf.include.old\n"
             "# keep me\n",
             0640);
  run_result r = run_cifsctl({"--check-packages"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("0\n", r.out);
  EXPECT_TEXT_EQ(
      "[global]\n"
      "   workgroup = W\n"
      "include = /usr/local/etc/smb.conf.include.old\n"
      "# keep me\n"
      "include = /usr/local/etc/smb.conf.include\n",
      read_file(smb_conf));
  EXPECT_EQ(0644u, mode_of(smb_conf));

  // A second run changes nothing.
  EXPECT_EQ(0, run_cifsctl({"--check-packages"}).status);
  EXPECT_EQ(1u, [] {
    std::string text = read_file(smb_conf);
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(include_line, pos)) != std::string::npos; ++pos)
      ++n;
    return n;
  }());
}

TEST_F(CheckPackages, AMissingMainFileIsCreatedWithTheLine) {
  daemon_present(true);
  record("4.17.12");
  unlink(smb_conf);
  run_result r = run_cifsctl({"--check-packages"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(include_line, read_file(smb_conf));
  EXPECT_EQ(0644u, mode_of(smb_conf));
}

// Database problems end the run before anything but the report is printed,
// and before compctl or smb.conf are touched.
TEST_F(CheckPackages, BadRecordsEndTheRun) {
  write_file(smb_conf, "[global]\n", 0600);
  struct bad {
    const char* sql;
    const char* message;
  };
  const bad cases[] = {
      {"", "Package 'samba' is not found in Components table"},
      {"INSERT INTO Components (name, version) VALUES ('samba', '1'), ('samba', '1');",
       "Duplicate record in Components table for package samba"},
      {"INSERT INTO Components (name, version) VALUES ('samba', NULL);",
       "NULL version for package 'samba' in database"},
      {"DROP TABLE Components;",
       "Error during mysql_query: Table 'tav.Components' doesn't exist"},
  };
  for (const bad& c : cases) {
    db_sql(std::string("DELETE FROM Components;") + c.sql);
    // With the daemon there too: no look-up of it may leave a stale errno.
    for (bool present : {false, true}) {
      SCOPED_TRACE(std::string(c.message) + (present ? ", daemon present" : ""));
      daemon_present(present);
      run_result r = run_cifsctl({"--check-packages"});
      EXPECT_EQ(1, r.status);
      EXPECT_EQ(std::string("cifsctl: ") + c.message + "\n", r.out);
      EXPECT_EQ(r.out, r.err);
      EXPECT_FALSE(file_exists(dirty_flag));
      EXPECT_EQ("[global]\n", read_file(smb_conf));
    }
  }
}

// No server: the same failure reads the same from both actions that meet
// it. Each ends with its own verdict after db_open's report of the reason,
// and the verdict carries the same system-error line as that report.
TEST_F(CheckPackages, NoDatabaseEndsTheRun) {
  stop_mariadb();
  const struct {
    std::vector<std::string> args;
    std::string verdict;
  } actions[] = {
      {{"--check-packages"}, "cifsctl: Unable to connect to the Tavra database\n"},
      {{"--reconfigure-all", "-w"}, "cifsctl: Unable to connect to the mysql database\n\n"},
  };
  const std::string reason = "cifsctl: db_connect: failed to connect to database: Error: ";
  for (const auto& action : actions) {
    SCOPED_TRACE(action.args[0]);
    run_result r = run_cifsctl(action.args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(r.out, r.err);
    size_t at = r.out.find(action.verdict);
    ASSERT_NE(std::string::npos, at) << r.out;
    ASSERT_EQ(0u, r.out.find(reason)) << r.out;
    size_t line = r.out.rfind("\nSystem error ", at);
    ASSERT_NE(std::string::npos, line) << r.out;
    std::string system_error = r.out.substr(line + 1, at - line - 1);
    EXPECT_EQ(system_error, r.out.substr(at + action.verdict.size())) << r.out;
  }
}

// The library forms: versions cut to the caller's buffer, and the quiet
// question, whose package name is escaped like any other.
TEST_F(CheckPackages, ComponentVersionAndTheQuietQuestion) {
  program_path = "cifsctl";
  db_sql(
      "INSERT INTO Components (name, version) VALUES ('samba', '4.17.12'), "
      "('o''neil', '1.0'), ('gone', 'not_installed'), ('gone2', 'not_installed_2'), "
      "('twice', '1'), ('twice', '1'), ('nullish', NULL), ('back\\\\slash', '2');");
  char version[5] = "";
  get_component_version("samba", version, sizeof version);
  EXPECT_STREQ("4.17", version);
  get_component_version("o'neil", version, sizeof version);
  EXPECT_STREQ("1.0", version);

  run_result r = run_in_child([] {
    bool answers[] = {
        is_package_installed_quiet("samba"),    is_package_installed_quiet("o'neil"),
        is_package_installed_quiet("back\\slash"), is_package_installed_quiet("gone"),
        is_package_installed_quiet("gone2"),    is_package_installed_quiet("twice"),
        is_package_installed_quiet("nullish"),  is_package_installed_quiet("missing"),
        is_package_installed_quiet("x' OR '1'='1"),
    };
    for (bool a : answers)
      std::fputs(a ? "1" : "0", stdout);
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("111000000", r.out);

  // is_package_installed differs from the quiet form for versions that only
  // begin with the marker.
  EXPECT_TRUE(is_package_installed("gone2"));
  EXPECT_FALSE(is_package_installed("gone"));
}

}  // namespace
