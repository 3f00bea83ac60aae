// Round trip through Samba's own parser: a database of hostile and
// legitimate values goes through `cifsctl --reconfigure-all`, and
// `testparm -s` reads the result back. Every share written must come back
// with exactly its stored values and nothing else, in a section of its own;
// every share left out must have been reported (or be one the generator
// skips by rule) and must be one Samba would not read back exactly when
// written alone; no parameter may appear that the database did not hold.
// The settings rounds do the same for [global]: every file must load whole
// in testparm and start a real smbd that lists a share, and every setting
// left out must be one Samba would not take written alone. The default
// size keeps the suite fast; CIFSCTL_FULL=1 runs 10,000 shares, 1,000 users
// and 1,000 settings rounds.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "samba/conf_reader.h"
#include "samba/generation.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

using field = std::optional<std::string>;  // none: NULL

struct share_row {
  int id;
  field name, description, path, writable, guest_ok, valid_users;
  std::vector<int> users;  // ids linked in the valid-users table
};

struct user_row {
  int id;
  field sys_name;
};

std::string hex_literal(const field& value) {
  if (!value)
    return "NULL";
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "X'";
  for (unsigned char c : *value) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out + "'";
}

// Text that breaks the file's syntax, Samba's macros and list rules, or its
// reserved names; valid UTF-8 throughout, as the database stores it.
const std::vector<std::string> hostile_fragments = {"ctl\x01x",
                                                    "nl\n\tguest ok = yes",
                                                    "cr\r\n[global]",
                                                    "tab\tx",
                                                    "bs\\",
                                                    "bs\\  ",
                                                    "a[b",
                                                    "a]b",
                                                    "[homes]",
                                                    "%U %m %S",
                                                    "q\"uo'te",
                                                    "a=b",
                                                    "#hash",
                                                    " ;semi",
                                                    "d\xc3\xa9j\xc3\xa0 vu",
                                                    "\xe2\x80\x8b",
                                                    "C:\\",
                                                    "in\\side",
                                                    "x\\\t",
                                                    "\"quoted\"",
                                                    "\xf0\x9f\x98\x80",
                                                    "\xf0\x90\x90\x80",
                                                    "tab\t blank",
                                                    " lead",
                                                    "trail ",
                                                    "two  blanks",
                                                    "   ",
                                                    "del\x7f"};

const std::vector<std::string> reserved_names = {
    "global", "GLOBALS", "Glo bal", "homes", "HOMES",  "Homes ", "ho mes", "printers", "print ers",
    "IPC$",   "ipc$",    " IPC$",   "print$", "ADMIN$", "",       "%U",     "a\\b",      "a/b"};

// Letters that differ only in case, for Samba or for the library's tables:
// each row's name takes one of a pair, so that twins meet.
const std::vector<std::string> case_pairs = {
    "\xce\xa9",         "\xcf\x89",          // Omega omega
    "\xcf\x83",         "\xcf\x82",          // sigma, final sigma
    "\xc3\x9f",         "\xe1\xba\x9e",      // sharp s, capital sharp s
    "\xc2\xb5",         "\xce\xbc",          // micro sign, mu
    "\xe2\x84\xaa",     "k",                 // Kelvin sign, k
    "\xc4\xb0",         "i",                 // capital I with dot, i
    "\xc8\xba",         "\xe2\xb1\xa5",      // A with stroke, a with stroke
    "\xef\xbc\xa1",     "\xef\xbd\x81",      // fullwidth A, a
    "\xc3\x84",         "\xc3\xa4",          // A, a with diaeresis
    "\xf0\x90\x90\x80", "\xf0\x90\x90\xa8"};  // Deseret capital and small long I

const std::vector<std::string> hostile_accounts = {
    "x y",  "x,y",    "x;y",      "x\ty", "@staff", "+staff", "&staff",        "%U",
    "DOM\\x", "x\n",   "x\"q",     "x'q",  "",       "x$",     "\xc3\xbcser", "@realm.example",
    "x  y", " lead", "S-1-5-32-544", "\xf0\x9f\x98\x80", "trail\\"};

struct generated {
  std::vector<share_row> shares;
  std::vector<user_row> users;
};

generated generate(int share_count, int user_count) {
  std::mt19937 rng(20240601);
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  auto pick = [&](const std::vector<std::string>& pool) { return pool[rng() % pool.size()]; };
  auto long_text = [&](size_t n) {
    std::string s;
    while (s.size() < n)
      s += static_cast<char>(' ' + rng() % 95);
    // Keep its end harmless, so that only its length is on trial.
    s.back() = 'z';
    return s;
  };

  generated g;
  for (int id = 1; id <= user_count; ++id) {
    user_row u{id, "u" + std::to_string(id)};
    if (chance(2))
      u.sys_name.reset();
    else if (chance(8))
      u.sys_name = pick(hostile_accounts);
    else if (chance(8))
      u.sys_name = *u.sys_name + pick(hostile_accounts);
    g.users.push_back(u);
  }

  const std::vector<std::string> flags = {"true", "false", "trueish", "TRUE", ""};
  const std::vector<std::string> modes = {"any", "select", "selected", "anything", "users", ""};
  for (int id = 1; id <= share_count; ++id) {
    share_row s{id, {}, {}, {}, {}, {}, {}, {}};
    const std::string base = "s" + std::to_string(id);
    s.name = base;
    s.description = "Share " + std::to_string(id);
    s.path = "/srv/" + base;
    if (chance(25)) {
      switch (rng() % 6) {
        case 0:
          s.name = *s.name + pick(hostile_fragments);
          break;
        case 1:
          s.name = pick(reserved_names);
          break;
        case 2:
          s.name = chance(30) ? (chance(50) ? "Dup" : "DUP")
                              : "pair" + std::to_string(rng() % 3) + pick(case_pairs);
          break;
        case 3:
          // Up to 255 characters, the column's limit, and past 255 bytes.
          s.name = base + "_" + long_text(200);
          for (int n = chance(50) ? 40 : 0; n > 0; --n)
            *s.name += "\xc3\xa9";
          break;
        case 4:
          s.name.reset();
          break;
        default:
          s.name = "Sh" + base;
          break;
      }
    }
    if (chance(25)) {
      switch (rng() % 5) {
        case 0:
          s.description = pick(hostile_fragments);
          break;
        case 1:
          s.description = long_text(4000);
          break;
        case 2:
          s.description.reset();
          break;
        case 3:
          s.description = "";
          break;
        default:
          s.description = "x" + pick(hostile_fragments) + "y";
          break;
      }
    }
    if (chance(20)) {
      switch (rng() % 5) {
        case 0:
          s.path = *s.path + pick(hostile_fragments);
          break;
        case 1:
          s.path = "/" + long_text(3990);
          break;
        case 2:
          s.path.reset();
          break;
        case 3:
          s.path = "";
          break;
        default:
          s.path = "/srv/%U/" + base;
          break;
      }
    }
    s.writable = chance(3) ? field() : field(pick(flags));
    s.guest_ok = chance(3) ? field() : field(pick(flags));
    s.valid_users = chance(3) ? field() : field(pick(modes));
    if (user_count > 0 && !chance(10)) {
      std::set<int> linked;
      for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n)
        linked.insert(1 + static_cast<int>(rng() % user_count));
      s.users.assign(linked.begin(), linked.end());
    }
    g.shares.push_back(s);
  }
  return g;
}

void load(const generated& g) {
  const size_t batch = 250;
  for (size_t i = 0; i < g.users.size(); i += batch) {
    std::string sql = "INSERT INTO module_fileserver_users (id, name, sys_name) VALUES ";
    for (size_t j = i; j < std::min(i + batch, g.users.size()); ++j)
      sql += (j > i ? "," : "") + std::string("(") + std::to_string(g.users[j].id) + ", 'user', " +
             hex_literal(g.users[j].sys_name) + ")";
    db_sql(sql + ";\n");
  }
  for (size_t i = 0; i < g.shares.size(); i += batch) {
    std::string sql =
        "INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, "
        "valid_users) VALUES ";
    std::string links;
    for (size_t j = i; j < std::min(i + batch, g.shares.size()); ++j) {
      const share_row& s = g.shares[j];
      sql += (j > i ? "," : "") + std::string("(") + std::to_string(s.id) + ", " +
             hex_literal(s.name) + ", " + hex_literal(s.description) + ", " + hex_literal(s.path) +
             ", " + hex_literal(s.writable) + ", " + hex_literal(s.guest_ok) + ", " +
             hex_literal(s.valid_users) + ")";
      for (int uid : s.users)
        links += (links.empty() ? "" : ",") + std::string("(") + std::to_string(s.id) + "," +
                 std::to_string(uid) + ")";
    }
    db_sql(sql + ";\n");
    if (!links.empty())
      db_sql("INSERT INTO module_fileserver_valid_users (sid, uid) VALUES " + links + ";\n");
  }
}

struct section {
  std::string name;
  std::map<std::string, std::string> params;
};

std::vector<section> sections_of(const std::string& view) {
  std::vector<section> sections;
  std::istringstream in(view);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections.push_back({line.substr(1, line.size() - 2), {}});
    } else if (!line.empty() && line[0] == '\t' && !sections.empty()) {
      size_t eq = line.find(" = ");
      if (eq == std::string::npos)
        sections.back().params[line.substr(1)] = "";
      else
        sections.back().params[line.substr(1, eq - 1)] = line.substr(eq + 3);
    }
  }
  return sections;
}

// The items of a list as testparm prints it: separated by one blank, in
// double quotes when they hold one. Sorted.
std::vector<std::string> printed_items(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false, any = false;
  for (char c : list) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      items.push_back(item);
      item.clear();
      any = false;
    } else {
      item += c;
      any = true;
    }
  }
  if (any || !item.empty())
    items.push_back(item);
  std::sort(items.begin(), items.end());
  return items;
}

bool starts_true(const field& f) {
  return f && f->compare(0, 4, "true") == 0;
}

// Samba's own case mappings and comparison, from its library: the judge of
// which names are one share to Samba.
struct samba_case {
  void* lib = dlopen("libsamba-util.so.0", RTLD_NOW);
  uint32_t (*upper)(uint32_t) = lib ? reinterpret_cast<uint32_t (*)(uint32_t)>(dlsym(lib, "toupper_m")) : nullptr;
  uint32_t (*lower)(uint32_t) = lib ? reinterpret_cast<uint32_t (*)(uint32_t)>(dlsym(lib, "tolower_m")) : nullptr;

  static std::vector<uint32_t> code_points(const std::string& s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
      unsigned char c = s[i];
      int n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
      uint32_t v = n == 1 ? c : c & (0x3f >> (n - 1));
      for (int k = 1; k < n && i + k < s.size(); ++k)
        v = v << 6 | (s[i + k] & 0x3f);
      out.push_back(v);
      i += n;
    }
    return out;
  }
  // Loaded as one section (tolower_m) or one hiding the other when a
  // client asks (toupper_m).
  bool same_share(const std::string& a, const std::string& b) const {
    std::vector<uint32_t> x = code_points(a), y = code_points(b);
    if (x.size() != y.size())
      return false;
    bool by_lower = true, by_upper = true;
    for (size_t i = 0; i < x.size(); ++i) {
      by_lower = by_lower && lower(x[i]) == lower(y[i]);
      by_upper = by_upper && upper(x[i]) == upper(y[i]);
    }
    return by_lower || by_upper;
  }
};

struct figures {
  int tried = 0, written = 0, refused = 0, skipped = 0;
  int smuggled = 0, phantoms = 0, merged = 0, mismatches = 0, silent = 0, needless = 0;
  int case_over_refusals = 0, by_smbd_rules = 0, descriptions_left_out = 0;
};

// The section the generator would write for s, whatever the model says
// (valid users in the model's list text where it has one).
std::string raw_section(const share_row& s, const std::vector<std::string>& users) {
  std::string text = "[" + *s.name + "]\n\tpath = " + *s.path + "\n\twritable = " +
                     (starts_true(s.writable) ? "yes" : "no") + "\n\tguest ok = " +
                     (starts_true(s.guest_ok) ? "yes" : "no") + "\n";
  if (s.description)
    text += "\tcomment = " + *s.description + "\n";
  if (!users.empty()) {
    text += "\tvalid users =";
    for (const std::string& u : users)
      text += " " + conf_list_text(u).value_or(u);
    text += "\n";
  }
  // A line that runs on takes this one and leaves the next section whole.
  return text + "\tbrowseable = yes\n";
}

// What a row's section must read as: its parameters as testparm prints
// them, valid users apart.
std::map<std::string, std::string> expected_params(const share_row& s, bool empty_selection,
                                                   bool with_comment) {
  std::map<std::string, std::string> expected;
  expected["path"] = *s.path;
  if (starts_true(s.writable))
    expected["read only"] = "No";
  if (starts_true(s.guest_ok))
    expected["guest ok"] = "Yes";
  if (empty_selection)
    expected["guest only"] = "Yes";
  if (with_comment && !s.description->empty())
    expected["comment"] = *s.description;
  return expected;
}

// The kinds of difference between what a section should and does read.
void compare_section(const std::map<std::string, std::string>& expected,
                     std::map<std::string, std::string> got, const std::string& label,
                     const std::function<void(const std::string&, const std::string&)>& fault) {
  for (const auto& [key, value] : expected) {
    auto it = got.find(key);
    if (it == got.end() || it->second != value)
      fault(key, label + ": " + key + " reads '" +
                     printable_value(it == got.end() ? "(none)" : it->second.c_str()).substr(0, 80) +
                     "', stored '" + printable_value(value.c_str()).substr(0, 80) + "'");
    if (it != got.end())
      got.erase(it);
  }
  for (const auto& [key, value] : got)
    fault("smuggled", label + ": gained " + key + " = " + printable_value(value.c_str()).substr(0, 80));
}

using fault_fn = std::function<void(int&, const std::string&, const std::string&)>;
struct refused_row {
  const share_row* first;
  std::vector<std::string> second;  // its valid users, when it lists them
  bool lists_users;
};

bool without_blanks_is(const std::string& name, const char* own) {
  std::string bare;
  for (char c : name)
    if (!std::isspace(static_cast<unsigned char>(c)))
      bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return bare == own;
}

// smbd's own rules, each shown with smbd and smbclient elsewhere: the
// names it keeps for itself or cannot find a share under, and the valid
// users it reads as something other than one account.
bool refused_by_smbd_rules(const refused_row& row, const samba_case& samba) {
  const std::string& name = *row.first->name;
  auto macro = [](const std::string& s) {
    for (size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i] == '%' && (std::isalpha(static_cast<unsigned char>(s[i + 1])) || s[i + 1] == '$'))
        return true;
    return false;
  };
  bool utf8 = true;
  for (uint32_t c : samba_case::code_points(name))
    utf8 = utf8 && c != 0 && c < 0x110000;
  if (samba.same_share(name, "homes") || samba.same_share(name, "IPC$") ||
      without_blanks_is(name, "global") || without_blanks_is(name, "globals") ||
      without_blanks_is(name, "printers") || name.size() > 255 ||
      name.find('\\') != std::string::npos || macro(name) ||
      conf_share_key(name).size() != name.size() || !utf8)
    return true;
  // An empty list admits every account.
  if (row.lists_users && row.second.empty())
    return true;
  for (const std::string& user : row.second)
    if (user.empty() || user[0] == '@' || user[0] == '+' || user[0] == '&' || macro(user) ||
        ((user[0] == 'S' || user[0] == 's') && user.size() > 2 && user[1] == '-' &&
         std::isdigit(static_cast<unsigned char>(user[2]))))
      return true;
  return false;
}

// Every refused row must be one Samba would not read back exactly: a twin
// of an earlier written share, refused by smbd's rules, or one whose
// section testparm reads otherwise when it is written alone (rows tried in
// batches of distinct names; a batch that fails to load is tried row by
// row).
void judge_refusals(const std::vector<refused_row>& refused,
                    const std::vector<const share_row*>& written, const samba_case& samba,
                    figures& f, const fault_fn& fault) {
  std::multimap<std::string, const share_row*> written_by_key;
  for (const share_row* w : written)
    written_by_key.emplace(conf_share_key(*w->name), w);
  std::vector<std::vector<const refused_row*>> batches;
  std::vector<std::set<std::string>> batch_keys;
  std::set<const refused_row*> apart_twins;
  for (const refused_row& row : refused) {
    const std::string key = conf_share_key(*row.first->name);
    // A twin: refused for an earlier share of its key, rightly when Samba
    // takes it for one of them.
    bool earlier = false, joined = false;
    for (auto [it, end] = written_by_key.equal_range(key); it != end; ++it)
      if (it->second->id < row.first->id) {
        earlier = true;
        joined |= samba.same_share(*it->second->name, *row.first->name);
      }
    if (joined)
      continue;
    // Beside earlier shares Samba keeps apart, a row may still be refused
    // for a reason of its own: it is judged as any other.
    if (earlier)
      apart_twins.insert(&row);
    if (refused_by_smbd_rules(row, samba)) {
      ++f.by_smbd_rules;
      continue;
    }
    size_t b = 0;
    while (b < batches.size() && batch_keys[b].count(key))
      ++b;
    if (b == batches.size()) {
      batches.emplace_back();
      batch_keys.emplace_back();
    }
    batches[b].push_back(&row);
    batch_keys[b].insert(key);
  }
  std::function<void(const std::vector<const refused_row*>&)> judge =
      [&](const std::vector<const refused_row*>& batch) {
        std::string text;
        for (const refused_row* row : batch)
          text += raw_section(*row->first, row->second);
        write_file("/tmp/alone.conf", text);
        run_result tp = run_program({"/usr/bin/testparm", "-s", "/tmp/alone.conf"});
        if (tp.err.find("Loaded services file OK.") == std::string::npos) {
          if (batch.size() > 1)
            for (const refused_row* row : batch)
              judge({row});
          return;
        }
        std::map<std::string, section> read;
        for (section& s : sections_of(tp.out))
          read.emplace(s.name, std::move(s));
        for (const refused_row* row : batch) {
          const share_row& s = *row->first;
          auto it = read.find(*s.name);
          if (it == read.end())
            continue;
          std::map<std::string, std::string> got = it->second.params;
          got.erase("comment");
          got.erase("browseable");
          const bool users_exact = printed_items(got["valid users"]) == row->second;
          got.erase("valid users");
          std::map<std::string, std::string> want = expected_params(s, false, false);
          want.erase("guest only");
          const bool twin = apart_twins.count(row) != 0;
          if (users_exact && got == want)
            fault(twin ? f.case_over_refusals : f.needless, twin ? "case-pair" : "needless",
                  "share id " + std::to_string(s.id) + " '" + printable_value(s.name->c_str()) +
                      "' is refused but Samba reads it back exactly");
        }
      };
  for (const auto& batch : batches)
    judge(batch);
}

void run_round_trip(int share_count, int user_count) {
  write_product_conf();
  make_dirs("/usr/local/etc");
  // Twins whose keys collide are put to Samba's own testparm.
  make_dirs("/usr/local/bin");
  ASSERT_EQ(0, symlink("/usr/bin/testparm", "/usr/local/bin/testparm"));
  start_mariadb();
  // Global settings and hosts get their share of hostile values: the
  // refused ones must be reported and add nothing to [global].
  db_sql(
      "INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'TEAM'),"
      " ('security', 'user'), ('description', CONCAT('srv', CHAR(10), 'guest account = root')),"
      " ('guest_account', 'nobody\\\\'), ('interfaces', CONCAT('eth0', CHAR(13)));\n"
      "INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1'),"
      " (CONCAT('10.0.0.0/8', CHAR(10), '[evil]')), (NULL), ('192.168.1.'), ('10.1.0.0/16 EXCEPT"
      " 10.1.1.1'), ('a\"b');\n");
  const generated g = generate(share_count, user_count);
  load(g);

  run_result r = run_cifsctl({"--reconfigure-all", "-w"});
  ASSERT_EQ(0, r.status) << r.err.substr(0, 4000);
  write_file("/usr/local/etc/smb.conf", "include = /usr/local/etc/smb.conf.include\n");
  run_result tp = run_program({"/usr/bin/testparm", "-s", "/usr/local/etc/smb.conf"});
  EXPECT_NE(std::string::npos, tp.err.find("Loaded services file OK.")) << tp.err.substr(0, 4000);

  // Which ids were reported as left out, whole or their description.
  std::set<int> reported, descriptions_reported;
  int global_refusals = 0;
  {
    std::istringstream in(r.err);
    std::string line;
    while (std::getline(in, line)) {
      size_t at = line.find("' (id ");
      if (line.rfind("cifsctl: Share '", 0) == 0 && at != std::string::npos)
        reported.insert(std::atoi(line.c_str() + at + 6));
      else if (line.rfind("cifsctl: The description of share '", 0) == 0 && at != std::string::npos)
        descriptions_reported.insert(std::atoi(line.c_str() + at + 6));
      else if (line.rfind("cifsctl: Setting ", 0) == 0 || line.rfind("cifsctl: Host ", 0) == 0)
        ++global_refusals;
      else
        ADD_FAILURE() << "unexpected report: " << line;
    }
  }

  std::map<int, const user_row*> users;
  for (const user_row& u : g.users)
    users[u.id] = &u;
  const samba_case samba;
  ASSERT_TRUE(samba.upper && samba.lower) << dlerror();

  figures f;
  std::vector<std::string> faults;
  std::map<std::string, int> kinds;  // faults by kind, for the report
  auto fault = [&](int& counter, const std::string& kind, const std::string& what) {
    ++counter;
    if (++kinds[kind] <= 4)
      faults.push_back(what);
  };

  std::vector<section> sections = sections_of(tp.out);
  const std::set<std::string> global_allowed = {"username map", "workgroup",
                                                "security",     "interfaces",
                                                "hosts allow",  "idmap config * : backend",
                                                "include"};
  EXPECT_EQ(6, global_refusals) << r.err.substr(0, 2000);
  std::map<std::string, const section*> by_name;
  for (const section& s : sections) {
    if (s.name == "global") {
      auto hosts = s.params.find("hosts allow");
      EXPECT_EQ("127.0.0.1 192.168.1. 10.1.0.0/16 EXCEPT 10.1.1.1",
                hosts != s.params.end() ? hosts->second : "");
      for (const auto& [key, value] : s.params)
        if (!global_allowed.count(key))
          fault(f.smuggled, "smuggled", "[global] gained " + key + " = " + value);
      continue;
    }
    by_name[s.name] = &s;
  }

  std::set<std::string> claimed;
  std::vector<const share_row*> written_rows;
  std::vector<refused_row> refused_rows;
  for (const share_row& s : g.shares) {
    ++f.tried;
    const std::string label = "share id " + std::to_string(s.id) + " '" +
                              printable_value(s.name.value_or("").c_str()) + "'";
    const bool any = s.valid_users && *s.valid_users == "any";
    const bool select = s.valid_users && s.valid_users->compare(0, 4, "select", 4) == 0;
    const bool empty_selection = select && s.users.empty();
    std::vector<std::string> listed;
    if (!any && !empty_selection)
      for (int uid : s.users)
        if (users.at(uid)->sys_name)
          listed.push_back(*users.at(uid)->sys_name);
    std::sort(listed.begin(), listed.end());

    if (!s.name || !s.path || (empty_selection && !starts_true(s.guest_ok))) {
      EXPECT_FALSE(reported.count(s.id)) << label;
      ++f.skipped;
      continue;
    }
    if (reported.count(s.id)) {
      ++f.refused;
      refused_rows.push_back({&s, listed, !any && !empty_selection});
      continue;
    }
    auto found = by_name.find(*s.name);
    if (found == by_name.end()) {
      bool merged = false;
      for (const share_row* w : written_rows)
        merged |= samba.same_share(*w->name, *s.name);
      fault(merged ? f.merged : f.silent, merged ? "merged" : "silent",
            label + (merged ? " is merged into an earlier share" : " is neither written nor reported"));
      continue;
    }
    claimed.insert(*s.name);
    written_rows.push_back(&s);
    ++f.written;

    const bool with_comment = s.description && !descriptions_reported.count(s.id);
    if (s.description && !with_comment)
      ++f.descriptions_left_out;
    std::map<std::string, std::string> got = found->second->params;
    if (!any && !empty_selection) {
      if (listed.empty() || printed_items(got["valid users"]) != listed)
        fault(f.mismatches, "valid users",
              label + ": valid users '" + printable_value(got["valid users"].c_str()) + "'");
      got.erase("valid users");
    }
    compare_section(expected_params(s, empty_selection, with_comment), got, label,
                    [&](const std::string& kind, const std::string& what) {
                      fault(kind == "smuggled" ? f.smuggled : f.mismatches, kind, what);
                    });
  }
  for (const auto& [name, s] : by_name)
    if (!claimed.count(name))
      fault(f.phantoms, "phantom", "section [" + printable_value(name.c_str()) + "] matches no row");

  judge_refusals(refused_rows, written_rows, samba, f, fault);

  std::string summary =
      "rows tried " + std::to_string(f.tried) + ", written " + std::to_string(f.written) +
      " (descriptions left out " + std::to_string(f.descriptions_left_out) + "), refused " +
      std::to_string(f.refused) + " (by smbd's rules " + std::to_string(f.by_smbd_rules) +
      ", case-pair over-refusals " + std::to_string(f.case_over_refusals) + "), skipped by rule " +
      std::to_string(f.skipped) + "; parameters smuggled " + std::to_string(f.smuggled) +
      ", phantom sections " + std::to_string(f.phantoms) + ", shares merged " +
      std::to_string(f.merged) + ", mismatches " + std::to_string(f.mismatches) +
      ", silent losses " + std::to_string(f.silent) + ", needless refusals " +
      std::to_string(f.needless);
  std::printf("round trip: %s\n", summary.c_str());
  std::string listing;
  for (const auto& [kind, count] : kinds)
    listing += "  " + std::to_string(count) + " x " + kind + "\n";
  for (const std::string& what : faults)
    listing += "  " + what + "\n";
  EXPECT_EQ(0, f.smuggled + f.phantoms + f.merged + f.mismatches + f.silent + f.needless +
                   f.case_over_refusals)
      << summary << "\n" << listing;
  EXPECT_EQ(share_count, f.written + f.refused + f.skipped);
  // The generated rows must really exercise both sides.
  EXPECT_GT(f.refused, share_count / 20);
  EXPECT_GT(f.written, share_count / 3);
}

bool full_run() {
  return std::getenv("CIFSCTL_FULL") && std::string(std::getenv("CIFSCTL_FULL")) == "1";
}

TEST(RoundTrip, HostileDatabaseThroughTestparm) {
  run_round_trip(full_run() ? 10000 : 1500, full_run() ? 1000 : 150);
}

// Settings rounds: legitimate and hostile [global] values and hosts rows, as
// a panel stores them, through cifsctl, testparm and a real smbd. Each
// value is tried in several spellings; "guest1" exists, "ghost" does not.
const std::vector<std::pair<std::string, std::vector<std::string>>> setting_pools = {
    {"workgroup", {"TEAM", "team", "my group", "x\ny", "W\\"}},
    {"description", {"File server", "%h at %L", "srv\n\tguest account = root", "a\\"}},
    {"encrypt_passwords", {"yes", "No", "TRUE", "false", "on", "OFF", "1", "0", "y es", "maybe",
                           "2", "yess", "enabled", "yes\n[x]"}},
    {"guest_account", {"nobody", "NOBODY", "Nobody", "guest1", "GUEST1", "ghost", "nob ody",
                       "root", "%U", "nobody\\"}},
    {"password_server", {"*", "dc1.example.com", "dc1 dc2"}},
    {"security", {"user", "USER", "User", "u ser", "auto", "AUTO", "domain", "Domain", "ads",
                  "ADS", "share", "SHARE", "server", "users", "usr", "user domain",
                  "user\n\tguest ok = yes"}},
    {"interfaces", {"eth0", "127.0.0.1/8", "10.0.0.5 eth1", "eth0\r", "a\nb"}},
};
const std::vector<std::string> host_pool = {
    "127.0.0.1", "10.0.0.0/255.0.0.0 EXCEPT 10.0.0.13", "10.1.1.1 10.1.1.2", "ALL", "LOCAL",
    "a.example, b.example", "192.168.1.", "  ", "", "x\ny", "bs\\", "q\"uote", "10.2.0.0/16\t"};

// The parameter a settings key writes.
std::string parameter_of(const std::string& key) {
  return key == "description"         ? "server string"
         : key == "encrypt_passwords" ? "encrypt passwords"
         : key == "guest_account"     ? "guest account"
         : key == "password_server"   ? "password server"
                                      : key;
}

// Whether testparm loads file whole: no value refused, no load error.
bool testparm_loads(const std::string& file, std::string* out = nullptr) {
  run_result tp = run_program({"/usr/bin/testparm", "-s", file});
  if (out)
    *out = tp.out;
  return tp.err.find("Loaded services file OK.") != std::string::npos &&
         tp.err.find("Error loading services") == std::string::npos &&
         tp.err.find("Ignoring invalid value") == std::string::npos;
}

// Whether a real smbd starts with the configuration and a client lists the
// share "pub"; the daemons are stopped again.
std::string last_listing;
bool smbd_serves() {
  int status = 0;
  last_listing.clear();
  sh("/usr/local/sbin/smbd -D </dev/null >/dev/null 2>&1", &status);
  bool listed = false;
  // smbd that refuses to start never accepts: 5 s bound.
  for (int i = 0; status == 0 && !listed && i < 250; ++i) {
    if (accepts_on_445()) {
      run_result r = run_program(
          {"/usr/bin/smbclient", "-s", "/tmp/client.conf", "-L", "127.0.0.1", "-N"});
      listed = r.out.find("\tpub ") != std::string::npos;
      last_listing = r.out + r.err;
    }
    if (!listed)
      usleep(20000);
  }
  if (!listed)
    last_listing += "smbd -D status " + std::to_string(status) + "; log: " +
                    read_file(std::string(samba_test_dir) + "/log/log.smbd").substr(0, 800);
  stop_smbd();
  return listed;
}

const std::string include_file = "/usr/local/etc/smb.conf.include";
const std::string pub_section = "[pub]\n\tpath = /opt/pub\n\twritable = no\n\tguest ok = yes\n\n";

// testparm's [global] value of parameter in the installed configuration.
std::string printed_value(const std::string& parameter) {
  run_result r = run_program({"/usr/bin/testparm", "-s", "--section-name=global",
                              "--parameter-name=" + parameter, "/usr/local/etc/smb.conf"});
  return r.out.substr(0, r.out.find('\n'));
}

bool same_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// A refused setting is needless when Samba takes it written alone: the
// loader accepts it, the file reads exactly as the file with the value
// testparm makes of it (no line or section gained), a text or list reads
// back as stored (a workgroup in any case), and smbd starts with it.
bool accepted_alone(const std::string& key, const std::string& value) {
  const std::string parameter = parameter_of(key);
  const std::string line = key == "interfaces" ? "lo " + value : value;
  auto file_with = [&](const std::string& text) {
    write_file(include_file, "[global]\n\t" + parameter + " = " + text + "\n\n" + pub_section);
  };
  file_with(line);
  std::string as_stored, as_read;
  if (!testparm_loads("/usr/local/etc/smb.conf", &as_stored))
    return false;
  const std::string read = printed_value(parameter);
  const bool typed = key == "encrypt_passwords" || key == "security";
  if (!typed && !(key == "workgroup" ? same_ignoring_case(read, line) : read == line))
    return false;
  file_with(read);
  if (!testparm_loads("/usr/local/etc/smb.conf", &as_read) || as_read != as_stored)
    return false;
  file_with(line);
  return key != "guest_account" || smbd_serves();
}

TEST(RoundTrip, SettingsThroughTestparmAndSmbd) {
  write_product_conf();
  setup_samba();
  add_system_user("guest1");
  make_dirs("/opt/pub");
  write_file("/tmp/client.conf", "[global]\n\tworkgroup = CLIENTSIDE\n");
  start_mariadb();
  db_sql("INSERT INTO module_fileserver_shares (id, name, path, writable, guest_ok, valid_users) "
         "VALUES (1, 'pub', '/opt/pub', 'false', 'true', 'any');\n");

  const int rounds = full_run() ? 1000 : 30;
  // The judge itself: a spelling Samba takes, a value it refuses.
  EXPECT_TRUE(accepted_alone("security", "u ser"));
  EXPECT_FALSE(accepted_alone("security", "share"));
  std::mt19937 rng(20261210);
  int runs = 0, failed_as_told = 0, files_refused = 0, smbd_failures = 0, smbd_starts = 0;
  int refusals = 0, needless = 0, mismatches = 0;
  std::set<std::string> served, judged;
  std::vector<std::string> faults;
  for (int round = 0; round < rounds; ++round) {
    std::string sql = "DELETE FROM module_fileserver_params; DELETE FROM module_fileserver_hosts;\n";
    std::map<std::string, std::string> stored;
    for (const auto& [key, pool] : setting_pools)
      if (rng() % 100 < 70) {
        stored[key] = pool[rng() % pool.size()];
        sql += "INSERT INTO module_fileserver_params (param, val) VALUES ('" + key + "', " +
               hex_literal(stored[key]) + ");\n";
      }
    std::vector<std::string> hosts;
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) {
      hosts.push_back(host_pool[rng() % host_pool.size()]);
      sql += "INSERT INTO module_fileserver_hosts (name) VALUES (" + hex_literal(hosts.back()) +
             ");\n";
    }
    db_sql(sql);
    run_result r = run_cifsctl({"--reconfigure-all", "-w"});
    const std::string include = read_file(include_file);
    std::set<std::string> refused_keys;
    int hosts_refused = 0;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("cifsctl: Setting ", 0) == 0)
        refused_keys.insert(line.substr(17, line.find(' ', 17) - 17));
      else if (line.rfind("cifsctl: Host ", 0) == 0)
        ++hosts_refused;
    }
    if (hosts_refused == static_cast<int>(hosts.size())) {
      // Every row refused: the run fails rather than open Samba up.
      failed_as_told += r.status == 1;
      if (r.status != 1)
        faults.push_back("round " + std::to_string(round) + ": an empty host list was written");
      continue;
    }
    ++runs;
    if (r.status != 0) {
      faults.push_back("round " + std::to_string(round) + ": " + r.err.substr(0, 400));
      continue;
    }
    if (!testparm_loads("/usr/local/etc/smb.conf")) {
      ++files_refused;
      faults.push_back("round " + std::to_string(round) + ": testparm refuses:\n" + include);
    }
    // Every value taken is written exactly as stored.
    for (const auto& [key, value] : stored) {
      const std::string line = "\t" + parameter_of(key) + " = " +
                               (key == "interfaces" ? "lo " : "") + value + "\n";
      const bool written = include.find(line) != std::string::npos;
      if (written == (refused_keys.count(key) > 0)) {
        ++mismatches;
        faults.push_back("round " + std::to_string(round) + ": " + key + " = '" +
                         printable_value(value.c_str()) + "' written " + (written ? "and" : "nor") +
                         " reported");
      }
      if (refused_keys.count(key)) {
        ++refusals;
        if (judged.insert(key + "=" + value).second && accepted_alone(key, value)) {
          ++needless;
          faults.push_back("needless refusal: " + key + " = '" + printable_value(value.c_str()) + "'");
        }
      }
    }
    const std::string global = include.substr(0, include.find("[pub]"));
    if (served.insert(global).second) {
      write_file(include_file, include);
      ++smbd_starts;
      if (!smbd_serves()) {
        ++smbd_failures;
        faults.push_back("round " + std::to_string(round) + ": smbd does not serve with:\n" + global +
                         "smbclient -L: " + last_listing.substr(0, 1500));
      }
    }
  }
  std::string listing;
  for (size_t i = 0; i < faults.size() && i < 12; ++i)
    listing += "  " + faults[i] + "\n";
  std::printf("settings rounds %d: runs %d (and %d failed as they must, every host refused); files "
              "Samba refuses %d; smbd starts %d, start failures %d; settings refused %d, needless "
              "refusals %d; mismatches %d\n",
              rounds, runs, failed_as_told, files_refused, smbd_starts, smbd_failures, refusals,
              needless, mismatches);
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults:\n" << listing;
  EXPECT_EQ(0, files_refused + smbd_failures + needless + mismatches);
  EXPECT_GT(refusals, rounds / 4);
}

}  // namespace
