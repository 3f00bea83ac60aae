// Fuzzes the generator's value screening against what each check promises:
// whatever it accepts, written as a line of smb.conf, can neither end the
// line early, nor join the next line to it, nor open another section, nor
// name more than one user; printable_value is one line and reversible; the
// lookup key folds ASCII case only. The input is one C string (up to its
// first NUL byte).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "samba/generation.h"

namespace {

bool control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

// Samba's notion of white space when it trims a line before looking for a
// continuation backslash.
bool samba_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void fail(const char* check, const std::string& value) {
  std::fprintf(stderr, "%s broke its promise on '%s'\n", check,
               printable_value(value.c_str()).c_str());
  std::abort();
}

// The line "\tname = value\n" stays one line with one parameter.
bool one_line(const std::string& value) {
  for (unsigned char c : value)
    if (control(c))
      return false;
  const std::string line = "\tcomment = " + value;
  size_t end = line.size();
  while (end > 0 && samba_space(static_cast<unsigned char>(line[end - 1])))
    --end;
  return line[end - 1] != '\\';
}

std::string folded(const std::string& name) {
  std::string out;
  for (char c : name)
    if (c != ' ')
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

// Decodes printable_value's escapes; false for a malformed text.
bool unescape(const std::string& shown, std::string& out) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != '\\') {
      out += shown[i];
      continue;
    }
    if (++i >= shown.size())
      return false;
    switch (shown[i]) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x': {
        if (i + 2 >= shown.size())
          return false;
        int hi = hex(shown[i + 1]), lo = hex(shown[i + 2]);
        if (hi < 0 || lo < 0)
          return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string value = raw.substr(0, raw.find('\0'));
  const char* v = value.c_str();

  if (conf_value_ok(v) && !one_line(value))
    fail("conf_value_ok", value);

  if (share_name_ok(v)) {
    if (!conf_value_ok(v) || value.empty())
      fail("share_name_ok (value rule)", value);
    // A bracket would end the header early or open another one; a run of
    // blanks is folded by Samba into a different name.
    if (value.find_first_of("[]") != std::string::npos || value.find("  ") != std::string::npos)
      fail("share_name_ok (brackets, blanks)", value);
    const std::string f = folded(value);
    if (f == "global" || f == "globals")
      fail("share_name_ok (global section)", value);
  }

  if (account_name_ok(v)) {
    if (value.empty() || !one_line(value))
      fail("account_name_ok (value rule)", value);
    // Samba splits a user list on blanks and commas, takes @ + & in front
    // as a group, expands % and reads \ as a domain separator.
    if (value.find_first_of(" ,\t%\\\"'@+&=#;[]") != std::string::npos)
      fail("account_name_ok (list syntax)", value);
    for (size_t i = 0; i < value.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(value[i]);
      bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '_' || c == '-' || c >= 0x80;
      bool machine = c == '$' && i + 1 == value.size() && i > 0;
      if (!plain && !machine)
        fail("account_name_ok (characters)", value);
    }
  }

  const std::string key = share_name_key(v);
  if (key.size() != value.size())
    fail("share_name_key (length)", value);
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    char want = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (key[i] != want)
      fail("share_name_key (folding)", value);
  }

  const std::string shown = printable_value(v);
  for (unsigned char c : shown)
    if (control(c))
      fail("printable_value (control character)", value);
  std::string back;
  if (!unescape(shown, back) || back != value)
    fail("printable_value (not reversible)", value);
  return 0;
}
