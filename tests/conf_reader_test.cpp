// The model of Samba's reader of smb.conf, checked against Samba's own
// parser: values, section names, accounts in lists, and the keys under which
// Samba finds a share, each case put to testparm (and, for the case tables,
// to Samba's own library) as the generator relies on it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "samba/conf_reader.h"
#include "samba/generation.h"
#include "samba/twin_probe.h"
#include "tests/harness.h"
#include "tests/samba_fixture.h"

namespace {

constexpr char testparm_bin[] = "/usr/bin/testparm";
constexpr char scratch_conf[] = "/tmp/testparm-scratch.conf";

// testparm -s on a configuration text; its view of it on standard output,
// its diagnostics on standard error.
run_result testparm_of(const std::string& text) {
  write_file(scratch_conf, text);
  return run_program({testparm_bin, "-s", scratch_conf});
}

// Each value is written as a comment between two other parameters; the
// model's reading of it must be testparm's, and a value the model calls
// exact must leave the other two parameters as they were.
TEST(ConfReader, ValuesAgreeWithSamba) {
  struct value_case {
    std::string value;
    bool exact;
  };
  const value_case cases[] = {
      {"Documents", true},
      {"x # not ; a comment", true},
      {"50% of %U", true},
      {"mid\\dle and \\ there", true},
      {"d\xc3\xa9j\xc3\xa0 vu", true},
      {"tab\there", true},
      {"bell\x07", true},
      {"del\x7f", true},
      {"cr\rin", true},
      {"C:\\dir\\x", true},
      {"", true},
      {"\xf0\x9f\x98\x80 emoji", true},
      {"bad \xff utf8", true},
      {"x\n\troot preexec = /bin/sh -c id", false},
      {"x\r\n\tguest ok = yes", false},
      {"x\\", false},
      {"x\\   ", false},
      {"C:\\", false},
      {"x\\\t", false},
      {"two  blanks", false},
      {"tab\t blank", false},
      {" lead", false},
      {"trail ", false},
      {"\t", false},
  };
  std::string raw;
  for (size_t i = 0; i < std::size(cases); ++i)
    raw += "[v" + std::to_string(i) + "]\n\tpath = /srv/v\n\tcomment = " + cases[i].value +
           "\n\tvalid users = alice\n";
  auto sections = testparm_sections(testparm_of(raw).out);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const value_case& c = cases[i];
    SCOPED_TRACE(printable_value(c.value.c_str()));
    EXPECT_EQ(c.exact, conf_value_exact(c.value));
    std::optional<std::string> read = conf_read_value(c.value);
    // testparm leaves out an empty comment, Samba's default.
    std::vector<std::string> intact = {"[v" + std::to_string(i) + "]",
                                       "\tcomment = " + read.value_or(""), "\tpath = /srv/v",
                                       "\tvalid users = alice"};
    if (read && read->empty())
      intact.erase(intact.begin() + 1);
    bool found = false;
    for (const auto& s : sections)
      found |= s == intact;
    // A value the model cannot read keeps Samba from reading the section
    // as written; every other one reads as the model says.
    EXPECT_EQ(read.has_value(), found);
  }
}

// Share names: what the model reads from "[name]" is the section testparm
// shows, and the model's verdict is right for Samba's own names.
TEST(ConfReader, ShareNamesAgreeWithSamba) {
  struct name_case {
    std::string name;
    conf_share_name verdict;
  };
  const name_case cases[] = {
      {"docs", conf_share_name::ok},
      {"My Documents", conf_share_name::ok},
      {" lead", conf_share_name::ok},
      {"trail ", conf_share_name::ok},
      {"a.b-c_d$", conf_share_name::ok},
      {"d\xc3\xa9j\xc3\xa0", conf_share_name::ok},
      {"100%", conf_share_name::ok},
      {"a=b", conf_share_name::ok},
      {"#hash", conf_share_name::ok},
      {";semi", conf_share_name::ok},
      {"a[b", conf_share_name::ok},
      {"tab\tx", conf_share_name::ok},
      {"ctl\x01x", conf_share_name::ok},
      {"a/b", conf_share_name::ok},
      {"print$", conf_share_name::ok},
      {"ADMIN$", conf_share_name::ok},
      {"\xf0\x9f\x98\x80", conf_share_name::ok},
      {"", conf_share_name::not_read_back},
      {"a  b", conf_share_name::not_read_back},
      {"a]b", conf_share_name::not_read_back},
      {"[x]", conf_share_name::not_read_back},
      {"a\n[global]", conf_share_name::not_read_back},
      {"global", conf_share_name::samba_own},
      {"GLOBAL", conf_share_name::samba_own},
      {"Globals", conf_share_name::samba_own},
      {"glo bal", conf_share_name::samba_own},
      {" global ", conf_share_name::samba_own},
      {"Printers", conf_share_name::samba_own},
      {"print ers", conf_share_name::samba_own},
      {"homes", conf_share_name::samba_own},
      {"HoMeS", conf_share_name::samba_own},
      {"IPC$", conf_share_name::samba_own},
      {"ipc$", conf_share_name::samba_own},
      {"%U", conf_share_name::unreachable},
      {"a\\b", conf_share_name::unreachable},
      {"a\xff", conf_share_name::unreachable},
      {std::string(256, 'x'), conf_share_name::unreachable},
  };
  std::string raw = "[first]\n\tpath = /srv/first\n";
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::optional<std::string> read = conf_read_section(cases[i].name);
    // A header without its ']', or with an empty name, fails the whole
    // load: tried on their own below.
    if (!read || read->empty())
      continue;
    raw += "[" + cases[i].name + "]\n\tpath = /srv/n" + std::to_string(i) + "\n";
    if (read && conf_check_share_name(cases[i].name) != conf_share_name::samba_own)
      expected.push_back("[" + *read + "] /srv/n" + std::to_string(i));
  }
  run_result r = testparm_of(raw);
  std::set<std::string> shown;
  for (const auto& s : testparm_sections(r.out))
    if (s.size() > 1)
      shown.insert(s[0] + " " + s.back().substr(s.back().find("= ") + 2));
  for (const std::string& e : expected)
    EXPECT_TRUE(shown.count(e)) << printable_value(e.c_str()) << "\n" << r.out;
  for (const name_case& c : cases) {
    SCOPED_TRACE(printable_value(c.name.c_str()));
    EXPECT_EQ(c.verdict, conf_check_share_name(c.name));
  }
  // The ']' keeps a final backslash from joining the next line; a newline
  // leaves a header without its ']', and an empty name a service without a
  // name: Samba refuses the whole file for either.
  EXPECT_EQ("ends\\", conf_read_section("ends\\"));
  EXPECT_EQ("a", conf_read_section("a\\\n]"));
  EXPECT_FALSE(conf_read_section("a\n[b]"));
  EXPECT_EQ("", conf_read_section(""));
  for (const char* header : {"[a\n[b]]", "[]"}) {
    r = testparm_of(std::string(header) + "\n\tpath = /x\n[ok]\n\tpath = /y\n");
    EXPECT_EQ(std::string::npos, r.err.find("Loaded services file OK.")) << header << r.err;
  }
}

// The printer template and the global section, as Samba loads them.
TEST(ConfReader, SambaOwnNamesAsSambaLoadsThem) {
  auto sections = testparm_sections(
      testparm_of("[print ers]\n\tpath = /p\n[g l o b a l]\n\tcomment = in global\n").out);
  ASSERT_EQ(2u, sections.size());
  EXPECT_EQ("\tcomment = in global", sections[0].back());
  EXPECT_EQ("[print ers]", sections[1][0]);
  EXPECT_NE(sections[1].end(), std::find(sections[1].begin(), sections[1].end(),
                                         std::string("\tprintable = Yes")));
}

// Accounts as valid users: the text the model writes for each is read by
// testparm as exactly that one name; the kinds follow smbd's reading.
TEST(ConfReader, AccountsAgreeWithSamba) {
  const std::string one_user[] = {"alice",     "john.doe", "HOST01$",   "\xc3\xbcser", "DOM\\bob",
                                  "carol@example.com", "x y", "x,y", "x;y", "x\ty",
                                  "#x", "50%", "a%1", "%", "trail\\"};
  std::string raw;
  for (size_t i = 0; i < std::size(one_user); ++i) {
    std::optional<std::string> text = conf_list_text(one_user[i]);
    ASSERT_TRUE(text) << one_user[i];
    EXPECT_EQ(conf_account::user, conf_account_kind(one_user[i])) << one_user[i];
    raw += "[u" + std::to_string(i) + "]\n\tpath = /u\n\tvalid users = " + *text + "\n";
  }
  auto sections = testparm_sections(testparm_of(raw).out);
  ASSERT_EQ(1 + std::size(one_user), sections.size());
  for (size_t i = 0; i < std::size(one_user); ++i) {
    // testparm quotes the items holding a blank.
    const std::string& name = one_user[i];
    const std::string shown = name.find(' ') != std::string::npos ? "\"" + name + "\"" : name;
    EXPECT_EQ("\tvalid users = " + shown, sections[i + 1].back());
  }
  // No text stands for these as one name.
  for (const char* name : {"a\"b", "\"a\"", "a  b", "a\nb", "a \tb"})
    EXPECT_FALSE(conf_list_text(name)) << printable_value(name);
  EXPECT_EQ((std::vector<std::string>{"a", "b c", "d", "e"}), conf_list_items("a,\"b c\";d\te"));
  EXPECT_EQ(conf_account::group, conf_account_kind("@staff"));
  EXPECT_EQ(conf_account::group, conf_account_kind("+staff"));
  EXPECT_EQ(conf_account::group, conf_account_kind("&staff"));
  EXPECT_EQ(conf_account::sid, conf_account_kind("S-1-5-32-544"));
  EXPECT_EQ(conf_account::macro, conf_account_kind("%U"));
  EXPECT_EQ(conf_account::macro, conf_account_kind("x%$(HOME)"));
  EXPECT_EQ(conf_account::nobody, conf_account_kind(""));
}

std::string utf8(uint32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xc0 | c >> 6);
    s += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    s += static_cast<char>(0xe0 | c >> 12);
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    s += static_cast<char>(0x80 | (c & 0x3f));
  }
  return s;
}

// Twins against Samba's own comparisons. Samba loads two sections as one
// when their names agree after its tolower_m, and a client asking for a
// share gets the last one whose name agrees with the request after its
// toupper_m. Both functions come from Samba's own library; testparm shows
// the first comparison for every letter with a case partner and
// `testparm --section-name` the second for a sample (all of them with
// CIFSCTL_FULL=1). No pair Samba joins may have different keys; the pairs
// with one key that Samba keeps apart are the documented over-refusals.
TEST(ConfReader, TwinsCoverSambasComparisons) {
  void* samba = dlopen("libsamba-util.so.0", RTLD_NOW);
  ASSERT_NE(nullptr, samba) << dlerror();
  using map_fn = uint32_t (*)(uint32_t);
  auto upper = reinterpret_cast<map_fn>(dlsym(samba, "toupper_m"));
  auto lower = reinterpret_cast<map_fn>(dlsym(samba, "tolower_m"));
  ASSERT_TRUE(upper && lower);

  std::map<std::string, std::vector<uint32_t>> classes;  // by key
  std::vector<uint32_t> root(0x10000);
  std::iota(root.begin(), root.end(), 0);
  auto find = [&](uint32_t c) {
    while (root[c] != c)
      c = root[c] = root[root[c]];
    return c;
  };
  int missed = 0;
  for (uint32_t c = 0; c < 0x10000; ++c) {
    if (c >= 0xd800 && c < 0xe000)
      continue;
    classes[conf_share_key(utf8(c))].push_back(c);
    for (uint32_t m : {upper(c), lower(c)}) {
      root[find(m)] = find(c);
      if (m < 0x10000 && conf_share_key(utf8(m)) != conf_share_key(utf8(c)) && ++missed <= 10)
        ADD_FAILURE() << "Samba joins U+" << std::hex << c << " and U+" << m;
    }
  }
  EXPECT_EQ(0, missed);

  std::vector<uint32_t> letters;
  std::string examples;
  int over_refused = 0;
  for (const auto& [key, members] : classes) {
    if (members.size() > 1)
      letters.insert(letters.end(), members.begin(), members.end());
    for (size_t i = 0; i < members.size(); ++i)
      for (size_t j = i + 1; j < members.size(); ++j)
        if (find(members[i]) != find(members[j]) && ++over_refused <= 12)
          examples += " " + utf8(members[i]) + "/" + utf8(members[j]);
  }
  std::printf("case twins: %zu letters with a case partner, %d pairs refused that Samba keeps "
              "apart, e.g.%s\n",
              letters.size(), over_refused, examples.c_str());
  std::sort(letters.begin(), letters.end());

  // The generator's own answer for each pair of letters of one key, the
  // earlier one written: with testparm (every pair with CIFSCTL_FULL=1, a
  // sample otherwise) and with a testparm that cannot run (every pair).
  const bool full = std::getenv("CIFSCTL_FULL") && std::string(std::getenv("CIFSCTL_FULL")) == "1";
  for (const char* testparm : {testparm_bin, "/nonexistent/testparm"}) {
    const bool present = testparm == testparm_bin;
    int joined_written = 0, apart_refused = 0, asked = 0, mismarked = 0;
    size_t sample = 0;
    for (const auto& [key, members] : classes)
      for (size_t i = 0; i < members.size(); ++i)
        for (size_t j = i + 1; j < members.size(); ++j) {
          if (present && !full && sample++ % 16 != 0)
            continue;
          twin_registry registry{testparm, "/tmp/twin-probe.conf", {}, {}, 0};
          twin_add(registry, {utf8(members[i]), "", ""});
          const std::optional<twin_share> twin = twin_of(registry, utf8(members[j]));
          const bool both = !twin;
          // Refused without Samba's answer only when testparm is missing.
          mismarked += twin && twin->unconfirmed == present;
          const bool joined = find(members[i]) == find(members[j]);
          joined_written += joined && both;
          apart_refused += !joined && !both;
          asked += registry.probes;
        }
    std::printf("generator, testparm %s: %d pairs written twice that Samba joins, %d pairs refused "
                "that Samba keeps apart (%d pairs asked)\n",
                present ? "present" : "missing", joined_written, apart_refused, asked);
    EXPECT_EQ(0, joined_written);
    EXPECT_EQ(present ? 0 : over_refused, apart_refused);
    EXPECT_EQ(0, mismarked);
  }

  // Loading: testparm keeps the first of each group of names that agree
  // after tolower_m.
  std::string raw;
  for (uint32_t c : letters)
    raw += "[" + utf8(c) + "]\n\tpath = /p\n";
  write_file(scratch_conf, raw);
  std::vector<std::string> loaded, predicted;
  for (const auto& s : testparm_sections(run_program({testparm_bin, "-s", scratch_conf}).out))
    if (s[0] != "[global]")
      loaded.push_back(s[0].substr(1, s[0].size() - 2));
  std::set<uint32_t> lowered;
  for (uint32_t c : letters)
    if (lowered.insert(lower(c)).second)
      predicted.push_back(utf8(c));
  EXPECT_EQ(predicted, loaded);

  // Looking up: the last share whose name agrees after toupper_m answers.
  // Asked within each class of the key on its own (Samba joins nothing
  // across classes, as checked above), for every letter with
  // CIFSCTL_FULL=1 and a sample otherwise.
  size_t sample = 0;
  for (const auto& [key, members] : classes) {
    if (members.size() < 2 || (!full && sample++ % 64 != 0))
      continue;
    std::string text;
    for (uint32_t c : members)
      text += "[" + utf8(c) + "]\n\tpath = /p\n";
    write_file(scratch_conf, text);
    std::vector<uint32_t> shares;  // the first of each group loaded as one
    for (uint32_t c : members) {
      bool joined = false;
      for (uint32_t s : shares)
        joined |= lower(s) == lower(c);
      if (!joined)
        shares.push_back(c);
    }
    for (uint32_t asked : members) {
      std::string want;
      for (uint32_t s : shares)
        if (upper(s) == upper(asked))
          want = "[" + utf8(s) + "]";
      run_result r =
          run_program({testparm_bin, "-s", "--section-name=" + utf8(asked), scratch_conf});
      auto found = testparm_sections(r.out);
      ASSERT_FALSE(found.empty()) << utf8(asked) << r.err;
      EXPECT_EQ(want, found[0][0]) << "asked for " << utf8(asked);
    }
  }
  dlclose(samba);
}

TEST(ConfReader, TwinsAndPrintableValues) {
  EXPECT_EQ(conf_share_key("Docs"), conf_share_key("DOCS"));
  EXPECT_NE(conf_share_key("docs"), conf_share_key("d ocs"));
  EXPECT_EQ(conf_share_key("\xce\xa9"), conf_share_key("\xcf\x89"));  // Omega, omega
  EXPECT_EQ(conf_share_key("\xcf\x83"), conf_share_key("\xcf\x82"));  // sigma, final sigma
  EXPECT_NE(conf_share_key("\xf0\x90\x90\x80"), conf_share_key("\xf0\x90\x90\xa8"));  // Deseret
  // Samba merges two sections whose names differ in case only.
  auto sections = testparm_sections(
      testparm_of("[docs]\n\tpath = /a\n\tvalid users = alice\n[DOCS]\n\tpath = /b\n").out);
  ASSERT_EQ(2u, sections.size());
  EXPECT_EQ((std::vector<std::string>{"[docs]", "\tpath = /b", "\tvalid users = alice"}),
            sections[1]);

  EXPECT_EQ("a\\nb\\r\\tc\\\\d\\x01\\x7f\xc3\xa9", printable_value("a\nb\r\tc\\d\x01\x7f\xc3\xa9"));
}

}  // namespace
