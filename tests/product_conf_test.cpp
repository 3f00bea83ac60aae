// The product configuration file: its format, the 29 required keys and the
// paths derived from the product root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "runtime/product_conf.h"
#include "tests/harness.h"

namespace {

// The value of key in text, read by the same code that reads the file.
std::string lookup(const std::string& text, const char* key, bool* found = nullptr) {
  std::string buf = text + '\0';
  conf_prepare(buf.data(), text.size());
  const char* v = conf_find(buf.data(), text.size(), key);
  if (found)
    *found = v != nullptr;
  return v ? v : "<absent>";
}

std::string without_key(const std::string& text, const std::string& key) {
  size_t at = text.find(key + " ");
  size_t end = text.find('\n', at);
  return text.substr(0, at) + text.substr(end + 1);
}

}  // namespace

TEST(ProductConfFormat, WhitespaceAroundKeysAndValues) {
  EXPECT_EQ(lookup("  PRODUCT_ROOT_D \t /opt/panel  \r\n", "PRODUCT_ROOT_D"), "/opt/panel");
  EXPECT_EQ(lookup("\v\fWEB_STAT\f/usr/bin/x -a  -b\n", "WEB_STAT"), "/usr/bin/x -a  -b");
  EXPECT_EQ(lookup("K v # note\n", "K"), "v # note");
  EXPECT_EQ(lookup("A 1\nK first\nK second\n", "K"), "first");
  // The last line keeps its trailing blanks when it has no newline.
  EXPECT_EQ(lookup("A 1\nK v  ", "K"), "v  ");
  EXPECT_EQ(lookup("A 1\nK   ", "K"), "");
  // A NUL ends a line like a newline does.
  EXPECT_EQ(lookup(std::string("A 1\0K nul\n", 10), "K"), "nul");
  EXPECT_EQ(lookup(std::string("K a\0b\n", 6), "K"), "a");
  // Bytes >= 0x80 are not whitespace.
  EXPECT_EQ(lookup("K\xa0v\nK real\n", "K"), "real");
}

TEST(ProductConfFormat, LinesThatDoNotDefineTheKey) {
  for (const char* text : {"K\n", "K   \n", "K \t\r\n", "#K v\n", "k v\n", "KEY v\n", "XK v\n",
                           "", "\n\n\n", "K"}) {
    bool found = true;
    lookup(text, "K", &found);
    EXPECT_FALSE(found) << '"' << text << '"';
  }
}

TEST(ProductConf, MissingAndEmptyFilesDefineNothing) {
  EXPECT_EQ(get_conf_value("PRODUCT_ROOT_D"), nullptr);
  write_file("/etc/tav/tav.conf", "");
  EXPECT_EQ(get_conf_value("PRODUCT_ROOT_D"), nullptr);
  // A failed load is retried by the next lookup.
  write_file("/etc/tav/tav.conf", "PRODUCT_ROOT_D /r\n");
  ASSERT_NE(get_conf_value("PRODUCT_ROOT_D"), nullptr);
  EXPECT_STREQ(get_conf_value("PRODUCT_ROOT_D"), "/r");
}

TEST(ProductConf, LoadsOnceAndDerivesPaths) {
  write_product_conf("/opt/panel/");
  load_product_conf();
  const char* root = product_conf.product_root_d;
  EXPECT_STREQ(root, "/opt/panel/");
  EXPECT_STREQ(product_conf.product_rc_d, "/opt/panel//rc.d");
  EXPECT_STREQ(product_conf.settings_file, "/opt/panel//admin/conf/settings");
  EXPECT_STREQ(product_conf.rcswitch_path, "/opt/panel//admin/bin/rcswitch");
  EXPECT_STREQ(product_conf.compctl_path, "/opt/panel//admin/bin/compctl");
  EXPECT_STREQ(product_conf.certificates_d, "/opt/panel//var/certificates");
  EXPECT_STREQ(product_conf.awstats_tools_d, "/usr/local/www/awstats/tools");
  // Values point into the one cached copy of the file; a second load reads nothing.
  unlink("/etc/tav/tav.conf");
  load_product_conf();
  EXPECT_EQ(product_conf.product_root_d, root);
  EXPECT_EQ(get_conf_value("PRODUCT_ROOT_D"), root);
}

TEST(ProductConf, EachMissingKeyEndsTheRunWithItsWording) {
  struct {
    const char* key;
    const char* message;
  } cases[] = {
      {"PRODUCT_ROOT_D", "Error: PRODUCT_ROOT_D not defined\n"},
      {"HTTPD_LOG_D", "Error: HTTPD_LOG_D not defined\n"},
      {"FTPD_BIN_D", "Error: FTPD_BIN_D not defined in product config file\n"},
      {"PRODUCT_RC_D", "Error: PRODUCT_RC_D not defined\n"},
      {"AWSTATS_TOOLS_D", "Error: AWSTATS_TOOLS_D not defined\n"},
  };
  for (const auto& c : cases) {
    write_file("/etc/tav/tav.conf", without_key(product_conf_text(), c.key));
    run_result r = run_cifsctl({"--help"});
    EXPECT_EQ(r.status, 1) << c.key;
    EXPECT_EQ(r.out, std::string("cifsctl: ") + c.message) << c.key;
    EXPECT_EQ(r.err, r.out);
  }
  // An empty value counts as missing; the first missing key in table order is named.
  std::string text = without_key(without_key(product_conf_text(), "DUMP_D"), "WEB_STAT");
  write_file("/etc/tav/tav.conf", text + "DUMP_D \n");
  EXPECT_EQ(run_cifsctl({}).out, "cifsctl: Error: WEB_STAT not defined\n");
  write_file("/etc/tav/tav.conf", without_key(product_conf_text(), "DUMP_D") + "DUMP_D   ");
  EXPECT_EQ(run_cifsctl({}).out, "cifsctl: Error: DUMP_D not defined\n");
}

TEST(ProductConf, OverlongProductRootIsRefused) {
  std::string root = "/" + std::string(4075, 'r');  // 4076 + 20 > 4095
  write_file("/etc/tav/tav.conf", product_conf_text(root));
  run_result r = run_cifsctl({"--help"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("PRODUCT_ROOT_D is too long"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, r.out);
  // One byte shorter fits every derived path.
  root.pop_back();
  write_file("/etc/tav/tav.conf", product_conf_text(root));
  EXPECT_EQ(run_cifsctl({"--help"}).status, 0);
}
