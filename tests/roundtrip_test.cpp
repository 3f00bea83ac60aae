// Round trip through Samba's own parser: a database full of hostile values
// goes through `cifsctl --reconfigure-all`, and `testparm -s` reads the
// result back. Every share written must come back with exactly its stored
// values and nothing else, every share left out must have been reported
// (or be one the generator skips by rule), and no parameter may appear that
// the database did not hold. The default size keeps the suite fast;
// CIFSCTL_FULL=1 runs 10,000 shares and 1,000 users.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "samba/generation.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

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
                                                    " lead",
                                                    "trail ",
                                                    "two  blanks",
                                                    "   ",
                                                    "del\x7f"};

const std::vector<std::string> reserved_names = {"global",   "GLOBALS", "Glo bal", "homes",
                                                 "printers", "IPC$",    "print$",  ""};

const std::vector<std::string> hostile_accounts = {
    "x y", "x,y",  "@staff", "+staff", "&staff", "%U",         "DOM\\x",
    "x\n", "x\"q", "x'q",    "",       "x$",     "\xc3\xbcser"};

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
    else if (chance(15))
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
          s.name = chance(50) ? "Dup" : "DUP";
          break;
        case 3:
          s.name = base + "_" + long_text(200);
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

// value as Samba keeps it: blanks at both ends dropped, runs of blanks
// inside folded into one.
std::string folded_blanks(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ' ' && (out.empty() || out.back() == ' '))
      continue;
    out += c;
  }
  if (!out.empty() && out.back() == ' ')
    out.pop_back();
  return out;
}

bool starts_true(const field& f) {
  return f && f->compare(0, 4, "true") == 0;
}

struct figures {
  int tried = 0, written = 0, refused = 0, skipped = 0, mismatches = 0;
};

void run_round_trip(int share_count, int user_count) {
  write_product_conf();
  make_dirs("/usr/local/etc");
  start_mariadb();
  // Global settings and hosts get their share of hostile values: the
  // refused ones must be reported and add nothing to [global].
  db_sql(
      "INSERT INTO module_fileserver_params (param, val) VALUES ('workgroup', 'TEAM'),"
      " ('security', 'user'), ('description', CONCAT('srv', CHAR(10), 'guest account = root')),"
      " ('guest_account', 'nobody\\\\'), ('interfaces', CONCAT('eth0', CHAR(13)));\n"
      "INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1'),"
      " (CONCAT('10.0.0.0/8', CHAR(10), '[evil]')), (NULL), ('192.168.1.');\n");
  const generated g = generate(share_count, user_count);
  load(g);

  run_result r = run_cifsctl({"--reconfigure-all", "-w"});
  ASSERT_EQ(0, r.status) << r.err.substr(0, 4000);
  write_file("/usr/local/etc/smb.conf", "include = /usr/local/etc/smb.conf.include\n");
  run_result tp = run_program({"/usr/bin/testparm", "-s", "/usr/local/etc/smb.conf"});
  EXPECT_NE(std::string::npos, tp.err.find("Loaded services file OK.")) << tp.err.substr(0, 4000);

  // Which ids were reported as left out.
  std::set<int> reported;
  int global_refusals = 0;
  {
    std::istringstream in(without_system_errors(r.err));
    std::string line;
    while (std::getline(in, line)) {
      size_t at = line.find("' (id ");
      if (line.rfind("cifsctl: Share '", 0) == 0 && at != std::string::npos)
        reported.insert(std::atoi(line.c_str() + at + 6));
      else if (line.rfind("cifsctl: Setting ", 0) == 0 || line.rfind("cifsctl: Host ", 0) == 0)
        ++global_refusals;
      else
        ADD_FAILURE() << "unexpected report: " << line;
    }
  }

  std::map<int, const user_row*> users;
  for (const user_row& u : g.users)
    users[u.id] = &u;

  figures f;
  std::vector<std::string> faults;
  std::map<std::string, int> kinds;  // mismatches by kind, for the report
  auto mismatch = [&](const std::string& what, const std::string& kind = "other") {
    ++f.mismatches;
    // A few examples of each kind.
    if (++kinds[kind] <= 4)
      faults.push_back(what);
  };

  std::vector<section> sections = sections_of(tp.out);
  const std::set<std::string> global_allowed = {"username map", "workgroup",
                                                "security",     "interfaces",
                                                "hosts allow",  "idmap config * : backend",
                                                "include"};
  EXPECT_EQ(5, global_refusals) << r.err.substr(0, 2000);
  std::map<std::string, const section*> by_name;
  for (const section& s : sections) {
    if (s.name == "global") {
      auto hosts = s.params.find("hosts allow");
      EXPECT_EQ("127.0.0.1 192.168.1.", hosts != s.params.end() ? hosts->second : "");
      for (const auto& [key, value] : s.params)
        if (!global_allowed.count(key))
          mismatch("[global] gained " + key + " = " + value);
      continue;
    }
    if (by_name.count(s.name))
      mismatch("section [" + s.name + "] twice");
    by_name[s.name] = &s;
  }

  std::set<std::string> claimed;
  for (const share_row& s : g.shares) {
    ++f.tried;
    const std::string label = "share id " + std::to_string(s.id) + " '" +
                              printable_value(s.name.value_or("").c_str()) + "'";
    const bool any = s.valid_users && *s.valid_users == "any";
    const bool select = s.valid_users && s.valid_users->compare(0, 4, "select", 4) == 0;
    const bool guest = starts_true(s.guest_ok);
    std::vector<std::string> listed;
    for (int uid : s.users)
      if (users.at(uid)->sys_name)
        listed.push_back(*users.at(uid)->sys_name);
    const bool empty_selection = select && s.users.empty();

    if (reported.count(s.id)) {
      ++f.refused;
      continue;
    }
    if (!s.name || !s.path || (empty_selection && !guest)) {
      ++f.skipped;
      continue;
    }
    auto found = by_name.find(*s.name);
    if (found == by_name.end() || claimed.count(*s.name)) {
      mismatch(label + " is neither written nor reported");
      continue;
    }
    claimed.insert(*s.name);
    ++f.written;

    std::map<std::string, std::string> expected;
    if (!s.path->empty())
      expected["path"] = *s.path;
    if (starts_true(s.writable))
      expected["read only"] = "No";
    if (guest)
      expected["guest ok"] = "Yes";
    if (empty_selection)
      expected["guest only"] = "Yes";
    // A comment is display text: Samba folds its blanks, and that is fine.
    if (s.description && !folded_blanks(*s.description).empty())
      expected["comment"] = folded_blanks(*s.description);
    std::map<std::string, std::string> got = found->second->params;
    if (!any && !empty_selection) {
      std::sort(listed.begin(), listed.end());
      std::string want;
      for (const std::string& u : listed)
        want += (want.empty() ? "" : " ") + u;
      std::vector<std::string> seen;
      std::istringstream words(got["valid users"]);
      for (std::string w; words >> w;)
        seen.push_back(w);
      std::sort(seen.begin(), seen.end());
      std::string have;
      for (const std::string& u : seen)
        have += (have.empty() ? "" : " ") + u;
      if (want.empty() || want != have)
        mismatch(label + ": valid users '" + printable_value(have.c_str()) + "', stored '" +
                 printable_value(want.c_str()) + "'");
      got.erase("valid users");
    }
    for (const auto& [key, value] : expected) {
      auto it = got.find(key);
      if (it == got.end())
        mismatch(label + ": " + key + " missing, stored '" + printable_value(value.c_str()) + "'",
                 folded_blanks(value).empty() ? "blanks folded by Samba" : "other");
      else if (it->second != value)
        mismatch(label + ": " + key + " reads '" +
                     printable_value(it->second.c_str()).substr(0, 80) + "', stored '" +
                     printable_value(value.c_str()).substr(0, 80) + "'",
                 folded_blanks(value) == it->second ? "blanks folded by Samba" : "other");
      got.erase(key);
    }
    for (const auto& [key, value] : got)
      mismatch(label + ": gained " + key + " = " + printable_value(value.c_str()).substr(0, 80),
               "gained " + key + " = " + value);
  }
  for (const auto& [name, s] : by_name)
    if (!claimed.count(name))
      mismatch("section [" + printable_value(name.c_str()) + "] matches no written share");

  std::string summary = "rows tried " + std::to_string(f.tried) + ", written " +
                        std::to_string(f.written) + ", refused and reported " +
                        std::to_string(f.refused) + ", skipped by rule " +
                        std::to_string(f.skipped) + ", mismatches " + std::to_string(f.mismatches);
  std::printf("round trip: %s\n", summary.c_str());
  std::string listing;
  for (const auto& [kind, count] : kinds) {
    std::printf("  %d mismatches: %s\n", count, kind.c_str());
    listing += "  " + std::to_string(count) + " x " + kind + "\n";
  }
  for (const std::string& fault : faults)
    listing += "  " + fault + "\n";
  EXPECT_EQ(0, f.mismatches) << summary << "\nfirst mismatches:\n" << listing;
  EXPECT_EQ(share_count, f.written + f.refused + f.skipped);
  // The generated rows must really exercise both sides.
  EXPECT_GT(f.refused, share_count / 20);
  EXPECT_GT(f.written, share_count / 3);
}

TEST(RoundTrip, HostileDatabaseThroughTestparm) {
  const bool full = std::getenv("CIFSCTL_FULL") && std::string(std::getenv("CIFSCTL_FULL")) == "1";
  run_round_trip(full ? 10000 : 1500, full ? 1000 : 150);
}

}  // namespace
