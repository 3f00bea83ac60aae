#include <dlfcn.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "samba/conf_reader.h"
#include "samba/generation.h"
#include "samba/twin_probe.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

namespace {

constexpr char include_path[] = "/usr/local/etc/smb.conf.include";
constexpr char tmp_path[] = "/usr/local/etc/smb.conf.include.tmp";
constexpr char main_conf[] = "/usr/local/etc/smb.conf";
constexpr char smbusers[] = "/usr/local/etc/smbusers";
constexpr char testparm_bin[] = "/usr/bin/testparm";
constexpr char scratch_conf[] = "/tmp/testparm-scratch.conf";

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

// testparm -s on a configuration text; its view of it on standard output,
// its diagnostics on standard error.
run_result testparm_of(const std::string& text) {
  write_file(scratch_conf, text);
  return run_program({testparm_bin, "-s", scratch_conf});
}

// testparm -s on /usr/local/etc/smb.conf carrying the include line, as
// Samba reads the generated file in service.
run_result testparm_installed() {
  write_file(main_conf, std::string("include = ") + include_path + "\n");
  return run_program({testparm_bin, "-s", main_conf});
}

// The sections testparm prints, each as its lines ("[name]" first), blank
// lines dropped.
std::vector<std::vector<std::string>> sections_of(const std::string& view) {
  std::vector<std::vector<std::string>> sections;
  std::istringstream in(view);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line[0] == '[')
      sections.push_back({line});
    else if (!sections.empty())
      sections.back().push_back(line);
  }
  return sections;
}

// Every parameter name testparm shows, over all sections.
std::set<std::string> parameters_of(const std::string& view) {
  std::set<std::string> names;
  for (const auto& section : sections_of(view))
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

// --- The reader model, checked against Samba's own parser -------------------

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
  auto sections = sections_of(testparm_of(raw).out);
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
  for (const auto& s : sections_of(r.out))
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
  auto sections = sections_of(
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
  auto sections = sections_of(testparm_of(raw).out);
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
    int joined_written = 0, apart_refused = 0, asked = 0;
    size_t sample = 0;
    for (const auto& [key, members] : classes)
      for (size_t i = 0; i < members.size(); ++i)
        for (size_t j = i + 1; j < members.size(); ++j) {
          if (present && !full && sample++ % 16 != 0)
            continue;
          twin_registry registry{testparm, "/tmp/twin-probe.conf", {}, {}, 0};
          twin_add(registry, {utf8(members[i]), "", ""});
          const bool both = !twin_of(registry, utf8(members[j]));
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
  }

  // Loading: testparm keeps the first of each group of names that agree
  // after tolower_m.
  std::string raw;
  for (uint32_t c : letters)
    raw += "[" + utf8(c) + "]\n\tpath = /p\n";
  write_file(scratch_conf, raw);
  std::vector<std::string> loaded, predicted;
  for (const auto& s : sections_of(run_program({testparm_bin, "-s", scratch_conf}).out))
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
      auto found = sections_of(r.out);
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
  auto sections = sections_of(
      testparm_of("[docs]\n\tpath = /a\n\tvalid users = alice\n[DOCS]\n\tpath = /b\n").out);
  ASSERT_EQ(2u, sections.size());
  EXPECT_EQ((std::vector<std::string>{"[docs]", "\tpath = /b", "\tvalid users = alice"}),
            sections[1]);

  EXPECT_EQ("a\\nb\\r\\tc\\\\d\\x01\\x7f\xc3\xa9", printable_value("a\nb\r\tc\\d\x01\x7f\xc3\xa9"));
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
  auto sections = sections_of(tp.out);
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
  auto sections = sections_of(testparm_installed().out);
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
  auto sections = sections_of(tp.out);
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
  EXPECT_EQ(1001u, sections_of(tp.out).size());
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
