#include "samba/conf_reader.h"

#include <unicase.h>
#include <unistr.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>

namespace {

// Samba's parser tests blanks with isspace() in the C locale.
bool samba_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The separators of Samba's list reader.
bool list_separator(unsigned char c) {
  return c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\n' || c == '\r';
}

struct logical_line {
  std::string text;
  size_t used = 0;       // bytes of the input it took
  bool runs_on = false;  // the input ended inside the line
};

// One line as Samba's parser assembles it: blanks before the first
// character skipped, every run of blanks kept as its first blank only, and
// a line ending in a backslash, or in a backslash and one blank, joined to
// the next one without the backslash.
logical_line read_line(std::string_view in) {
  logical_line line;
  std::string& buf = line.text;
  size_t i = 0;
  while (i < in.size() && in[i] != '\n' && samba_space(in[i]))
    ++i;
  for (; i < in.size(); ++i) {
    const unsigned char c = in[i];
    if (c == '\n') {
      if (!buf.empty() && buf.back() == '\\') {
        buf.pop_back();
        continue;
      }
      if (buf.size() > 1 && buf[buf.size() - 2] == '\\' && samba_space(buf.back())) {
        buf.resize(buf.size() - 2);
        continue;
      }
      line.used = i + 1;
      return line;
    }
    if (!buf.empty() && samba_space(buf.back()) && samba_space(c))
      continue;
    buf += static_cast<char>(c);
  }
  line.used = i;
  line.runs_on = true;
  return line;
}

// A whole line of written text, or nullopt when Samba would end it early or
// join the line after it.
std::optional<std::string> whole_line(const std::string& text) {
  logical_line line = read_line(text);
  if (line.runs_on || line.used != text.size())
    return std::nullopt;
  return std::move(line.text);
}

// Samba drops one blank at each end of a parameter's name and value (runs
// are already single blanks).
std::string trim_one_blank(std::string s) {
  if (!s.empty() && samba_space(s.front()))
    s.erase(0, 1);
  if (!s.empty() && samba_space(s.back()))
    s.pop_back();
  return s;
}

std::string without_blanks(std::string_view s) {
  std::string out;
  for (char c : s)
    if (!samba_space(c))
      out += c;
  return out;
}

// A '%' followed by a letter or '$' is one of smbd's substitutions (the
// user's name, the client's, the date, an environment variable...),
// expanded per client in share names and valid users.
bool holds_macro(std::string_view s) {
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    const unsigned char next = s[i + 1];
    if (s[i] == '%' &&
        ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') || next == '$'))
      return true;
  }
  return false;
}

// Each code point of the Basic Multilingual Plane mapped to the smallest
// code point of its case class: the classes that libunistring's upper,
// lower and title case mappings join.
const std::array<uint16_t, 0x10000>& case_classes() {
  static const std::array<uint16_t, 0x10000> classes = [] {
    std::array<uint16_t, 0x10000> parent;
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](uint32_t c) {
      while (parent[c] != c)
        c = parent[c] = parent[parent[c]];
      return c;
    };
    for (uint32_t c = 0; c < 0x10000; ++c) {
      if (c >= 0xd800 && c < 0xe000)
        continue;
      for (ucs4_t mapped : {uc_toupper(c), uc_tolower(c), uc_totitle(c)}) {
        if (mapped >= 0x10000 || mapped == c)
          continue;
        uint32_t a = root(c), b = root(mapped);
        if (a != b)
          parent[std::max(a, b)] = static_cast<uint16_t>(std::min(a, b));
      }
    }
    for (uint32_t c = 0; c < 0x10000; ++c)
      parent[c] = static_cast<uint16_t>(root(c));
    return parent;
  }();
  return classes;
}

bool valid_utf8(std::string_view s) {
  return u8_check(reinterpret_cast<const uint8_t*>(s.data()), s.size()) == nullptr;
}

}  // namespace

std::optional<std::string> conf_read_value(std::string_view value) {
  std::optional<std::string> line = whole_line("\tx = " + std::string(value) + "\n");
  if (!line)
    return std::nullopt;
  return trim_one_blank(line->substr(line->find('=') + 1));
}

std::optional<std::string> conf_read_section(std::string_view name) {
  std::optional<std::string> line = whole_line("[" + std::string(name) + "]\n");
  if (!line)
    return std::nullopt;
  // The name ends at the first ']'; a header without one fails the load.
  size_t end = line->find(']');
  if (end == std::string::npos)
    return std::nullopt;
  return line->substr(1, end - 1);
}

bool conf_value_exact(std::string_view value) {
  std::optional<std::string> read = conf_read_value(value);
  return read && *read == value;
}

std::vector<std::string> conf_list_items(std::string_view value) {
  std::vector<std::string> items;
  size_t i = 0;
  for (;;) {
    while (i < value.size() && list_separator(value[i]))
      ++i;
    if (i == value.size())
      return items;
    // Double quotes keep separators inside an item and are dropped.
    std::string item;
    for (bool quoted = false; i < value.size() && (quoted || !list_separator(value[i])); ++i) {
      if (value[i] == '"')
        quoted = !quoted;
      else
        item += value[i];
    }
    items.push_back(std::move(item));
  }
}

std::optional<std::string> conf_list_text(std::string_view item) {
  // The list reader has no way to write a double quote itself.
  if (item.find('"') != std::string_view::npos)
    return std::nullopt;
  // Bare where that reads back; in quotes where the item holds a separator
  // or ends in a backslash (which would join the next line).
  for (std::string text : {std::string(item), "\"" + std::string(item) + "\""}) {
    std::optional<std::string> read = conf_read_value(text);
    if (read && conf_list_items(*read) == std::vector<std::string>{std::string(item)})
      return text;
  }
  return std::nullopt;
}

conf_account conf_account_kind(std::string_view name) {
  if (name.empty())
    return conf_account::nobody;
  if (name[0] == '@' || name[0] == '+' || name[0] == '&')
    return conf_account::group;
  if (name.size() > 2 && (name[0] == 'S' || name[0] == 's') && name[1] == '-' && name[2] >= '0' &&
      name[2] <= '9')
    return conf_account::sid;
  if (holds_macro(name))
    return conf_account::macro;
  return conf_account::user;
}

conf_share_name conf_check_share_name(std::string_view name) {
  std::optional<std::string> read = conf_read_section(name);
  if (name.empty() || !read || *read != name)
    return conf_share_name::not_read_back;
  // The global section and the printer template are recognised with every
  // blank ignored; the home template and the IPC service by name.
  const std::string bare = conf_share_key(without_blanks(name));
  const std::string key = conf_share_key(name);
  for (const char* own : {"global", "globals", "printers"})
    if (bare == conf_share_key(own))
      return conf_share_name::samba_own;
  for (const char* own : {"homes", "IPC$"})
    if (key == conf_share_key(own))
      return conf_share_name::samba_own;
  // smbd compares names of 255 bytes at most, turns a backslash in a
  // requested name into '/', expands macros in the names it compares, and
  // cannot compare names that are not UTF-8.
  if (name.size() > 255 || name.find('\\') != std::string_view::npos || holds_macro(name) ||
      !valid_utf8(name))
    return conf_share_name::unreachable;
  return conf_share_name::ok;
}

std::string conf_share_key(std::string_view name) {
  const auto& classes = case_classes();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(name.data());
  const uint8_t* end = p + name.size();
  std::string key;
  while (p < end) {
    ucs4_t c;
    int n = u8_mbtouc(&c, p, end - p);
    if (n <= 0)
      n = 1;
    if (c == 0xfffd && !(end - p >= 3 && p[0] == 0xef && p[1] == 0xbf && p[2] == 0xbd)) {
      // Not UTF-8: the byte stands for itself.
      key += static_cast<char>(*p);
      p += 1;
      continue;
    }
    if (c < 0x10000)
      c = classes[c];
    uint8_t buf[6];
    int len = u8_uctomb(buf, c, sizeof buf);
    key.append(reinterpret_cast<const char*>(buf), len > 0 ? len : 0);
    p += n;
  }
  return key;
}

namespace {

// Samba's strwicmp: blanks anywhere are skipped and letters compared by
// upper case, byte by byte (a byte above 127 never equals an ASCII letter).
bool samba_word_equal(std::string_view value, std::string_view word) {
  size_t i = 0, j = 0;
  for (;;) {
    while (i < value.size() && samba_space(value[i]))
      ++i;
    while (j < word.size() && samba_space(word[j]))
      ++j;
    if (i == value.size() || j == word.size())
      return i == value.size() && j == word.size();
    auto upper = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
    if (upper(value[i]) != upper(word[j]))
      return false;
    ++i;
    ++j;
  }
}

constexpr const char* const security_values[] = {"auto", "user", "domain", "ads", nullptr};
constexpr const char* const boolean_values[] = {"yes", "true", "on", "1",
                                                "no",  "false", "off", "0", nullptr};

// Types from Samba's parameter table (docs-xml/smbdotconf, lib/param):
// workgroup is a ustring, server string, guest account and password server
// strings, encrypt passwords a boolean, security the enumeration
// enum_security, interfaces and hosts allow cmdlists.
constexpr conf_param written_params[] = {
    {"workgroup", conf_type::upper_text, nullptr, false},
    {"server string", conf_type::text, nullptr, false},
    {"encrypt passwords", conf_type::boolean, boolean_values, false},
    {"guest account", conf_type::text, nullptr, true},
    {"password server", conf_type::text, nullptr, false},
    {"security", conf_type::enumeration, security_values, false},
    {"interfaces", conf_type::list, nullptr, false},
    {"allow hosts", conf_type::list, nullptr, false},
};

// Samba's per-character case change over the Basic Multilingual Plane;
// nullopt for text that is not UTF-8, which its conversion refuses.
std::optional<std::string> change_case(std::string_view s, bool upper) {
  if (!valid_utf8(s))
    return std::nullopt;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
  const uint8_t* end = p + s.size();
  std::string out;
  while (p < end) {
    ucs4_t c;
    int n = u8_mbtouc(&c, p, end - p);
    if (n <= 0)
      return std::nullopt;
    if (c < 0x10000) {
      ucs4_t mapped = upper ? uc_toupper(c) : uc_tolower(c);
      if (mapped < 0x10000)
        c = mapped;
    }
    uint8_t buf[6];
    int len = u8_uctomb(buf, c, sizeof buf);
    out.append(reinterpret_cast<const char*>(buf), len > 0 ? len : 0);
    p += n;
  }
  return out;
}

}  // namespace

const conf_param* conf_find_param(std::string_view name) {
  for (const conf_param& p : written_params)
    if (name == p.name)
      return &p;
  return nullptr;
}

std::string conf_value_refusal(const conf_param& param, std::string_view value) {
  if (param.type != conf_type::boolean && param.type != conf_type::enumeration)
    return "";
  std::string names;
  for (const char* const* v = param.values; *v != nullptr; ++v) {
    if (samba_word_equal(value, *v))
      return "";
    names += names.empty() ? "" : v[1] == nullptr ? " or " : ", ";
    names += *v;
  }
  return "Samba would refuse its value and load no share (it takes " + names + ")";
}

std::vector<std::string> conf_account_spellings(std::string_view name) {
  std::vector<std::string> names;
  // smbd cases a copy cut to 255 bytes; a copy it cannot case is looked up
  // under no name at all.
  const std::string_view cut = name.substr(0, 255);
  std::optional<std::string> lower = change_case(cut, false);
  std::optional<std::string> upper = change_case(cut, true);
  if (!lower || !upper || name.empty())
    return names;
  for (std::string spelled : {*lower, std::string(name), *upper})
    if (std::find(names.begin(), names.end(), spelled) == names.end())
      names.push_back(std::move(spelled));
  return names;
}
