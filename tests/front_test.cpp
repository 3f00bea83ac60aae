// The command line as the panel drives it: parsing, the order of the checks,
// the usage text and the exit statuses, through the shipped binary.
#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/front.h"
#include "tests/harness.h"

namespace {

std::string both(const std::string& line) {
  return "cifsctl: " + line;
}

command_line parsed(std::vector<std::string> args) {
  args.insert(args.begin(), "cifsctl");
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  command_line cl;
  parse_command_line(cl, static_cast<int>(args.size()), argv.data());
  return cl;
}

class Front : public ::testing::Test {
 protected:
  void SetUp() override { write_product_conf(); }
};

}  // namespace

TEST_F(Front, UsageTextExactOnStandardOutput) {
  for (auto args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {}, {"--he"}, {"-w", "--help"}}) {
    run_result r = run_cifsctl(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TEXT_EQ(golden("usage.txt"), r.out);
  }
}

TEST_F(Front, HelpDoesNotOverrideAnEarlierActionsRequiredValues) {
  run_result r = run_cifsctl({"--add-smbuser", "--help"});
  EXPECT_EQ(r.status, 1);
  std::string msg = both("Miss parameter 'smbuser-name' or previos parameter empty.\n");
  EXPECT_EQ(r.out, msg);
  EXPECT_EQ(r.err, msg);
}

TEST_F(Front, FirstActionWinsAndChecksRunInFixedOrder) {
  struct {
    std::vector<std::string> args;
    const char* missing;
  } cases[] = {
      {{"--del-share", "--add-smbuser", "--smbuser-name=a", "--user-name=b"}, "share-name"},
      {{"--rename-smbuser"}, "user-name"},
      {{"--rename-smbuser", "--user-name=u"}, "old-smbuser-name"},
      {{"--rename-smbuser", "--user-name=u", "--old-smbuser-name=o"}, "new-smbuser-name"},
      {{"--add-share", "--path=/p"}, "share-name"},
      {{"--update-share", "--share-name=s"}, "path"},
      {{"--rename-share", "--new-share-name=n"}, "old-share-name"},
      {{"--rename-share", "--old-share-name=o"}, "new-share-name"},
      {{"--set-preferences", "--security=user"}, "workgroup"},
      {{"--set-preferences", "--workgroup=w"}, "security"},
      {{"--set-smbuser-password", "--smbuser-name=s", "--user-name="}, "user-name"},
      // Abbreviations: --del-smb is del-smbuser, --smbuser is smbuser-name.
      {{"--del-smb", "--smbuser=a"}, "user-name"},
      // An action after help is ignored: help is already selected.
      {{"--help", "--del-share"}, nullptr},
  };
  for (const auto& c : cases) {
    run_result r = run_cifsctl(c.args);
    if (!c.missing) {
      EXPECT_EQ(r.status, 0);
      continue;
    }
    std::string msg = both(std::string("Miss parameter '") + c.missing +
                           "' or previos parameter empty.\n");
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.out, msg) << c.args[0];
    EXPECT_EQ(r.err, msg) << c.args[0];
  }
}

TEST_F(Front, UnknownAmbiguousAndMissingArgumentOptions) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"-x"}, {"--re"}, {"--user-name"}, {"--help=yes"}}) {
    run_result r = run_cifsctl(args);
    EXPECT_EQ(r.status, 1) << args[0];
    std::string msg = both("Unknown option in command string, see log for details\n");
    EXPECT_EQ(r.out, msg) << args[0];
    // getopt_long's own diagnostic comes first on standard error.
    ASSERT_GT(r.err.size(), msg.size()) << args[0];
    EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg) << args[0];
  }
  EXPECT_NE(run_cifsctl({"--re"}).err.find("ambiguous"), std::string::npos);
}

TEST_F(Front, LeftoverWordsEndTheRunBeforeAnything) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--reconfigure-all", "now"}, {"stray", "--help"}, {"--", "--help"}}) {
    run_result r = run_cifsctl(args);
    std::string msg =
        both("Some parameters in command string leave unprocessed. Check parameters please.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, msg);
    EXPECT_EQ(r.err, msg);
  }
}

TEST_F(Front, MissingConfigurationCarriesTheSystemError) {
  unlink("/etc/tav/tav.conf");
  std::string msg = both("Error: PRODUCT_ROOT_D not defined\n\nSystem error 2: No such file or directory\n");
  for (auto args : std::vector<std::vector<std::string>>{{"--help"}, {"--status"}, {}}) {
    run_result r = run_cifsctl(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, msg);
    EXPECT_EQ(r.err, msg);
  }
}

TEST(FrontParse, ValuesLastWinsAndAreCutAt4095Bytes) {
  std::string big(5000, 'u');
  command_line cl = parsed({"--user-name", "first", "--user-name=" + big, "--share-name", "s1",
                            "--share-name=s2", "--description", "two words"});
  EXPECT_EQ(cl.values[slot_user_name], big.substr(0, 4095));
  EXPECT_EQ(cl.values[slot_share_name], "s2");
  EXPECT_EQ(cl.values[slot_description], "two words");
}

TEST(FrontParse, ActionsFlagsAndPermutation) {
  command_line cl = parsed({"--add-share", "word", "--del-smbuser", "-sw", "--restart", "--star"});
  EXPECT_EQ(cl.selected, action_add_share);
  EXPECT_TRUE(cl.required[slot_share_name]);
  EXPECT_TRUE(cl.required[slot_path]);
  EXPECT_FALSE(cl.required[slot_smbuser_name]);  // the ignored action sets nothing
  EXPECT_TRUE(cl.status);
  EXPECT_TRUE(cl.without_restart);
  EXPECT_TRUE(cl.restart);
  EXPECT_TRUE(cl.start);
  EXPECT_FALSE(cl.stop);
  // The word was moved behind the options, where the leftover check finds it.
  EXPECT_EQ(optind, 6);
}

TEST(ManualPage, NamesEveryOptionOfTheUsageText) {
  std::string usage = golden("usage.txt");
  std::string page = read_file(std::string(TESTS_DIR) + "/../cifsctl.8");
  ASSERT_FALSE(page.empty());
  size_t count = 0;
  for (size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
    size_t end = usage.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
    std::string name = usage.substr(at + 2, end - at - 2);
    EXPECT_NE(page.find("\\-" + name), std::string::npos) << "--" << name;
    ++count;
  }
  EXPECT_GT(count, 37u);
  for (char c : std::string("whposr"))
    EXPECT_NE(page.find(std::string("Fl ") + c), std::string::npos) << '-' << c;
}
