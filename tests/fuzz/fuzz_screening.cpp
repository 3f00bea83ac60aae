// Fuzzes the reader model against what each answer promises: a value it
// calls exact, written as a line of smb.conf, can neither end the line
// early, nor join the next line to it, nor lose a blank; a share name it
// accepts opens a section of its own that is not Samba's global one; a list
// text it gives reads back as one item; the share key folds ASCII case;
// printable_value is one line and reversible. The input is one C string (up
// to its first NUL byte).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "samba/conf_reader.h"
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
  if (value.find('\n') != std::string::npos)
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

  if (conf_value_exact(value)) {
    if (!one_line(value))
      fail("conf_value_exact (line)", value);
    if (!value.empty() && (samba_space(value.front()) || samba_space(value.back())))
      fail("conf_value_exact (blanks at the ends)", value);
    for (size_t i = 1; i < value.size(); ++i)
      if (samba_space(value[i - 1]) && samba_space(value[i]))
        fail("conf_value_exact (run of blanks)", value);
  }

  if (conf_check_share_name(value) == conf_share_name::ok) {
    if (value.empty() || !one_line(value) || value.find(']') != std::string::npos)
      fail("conf_check_share_name (header)", value);
    const std::string f = folded(value);
    if (f == "global" || f == "globals" || f == "printers")
      fail("conf_check_share_name (Samba's own)", value);
  }

  if (std::optional<std::string> text = conf_list_text(value)) {
    std::optional<std::string> read = conf_read_value(*text);
    if (value.find('"') != std::string::npos || !read ||
        conf_list_items(*read) != std::vector<std::string>{value})
      fail("conf_list_text", value);
  }

  std::string lowered;
  for (char c : value)
    lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  if (conf_share_key(value) != conf_share_key(lowered))
    fail("conf_share_key (ASCII case)", value);

  const std::string shown = printable_value(v);
  for (unsigned char c : shown)
    if (control(c))
      fail("printable_value (control character)", value);
  std::string back;
  if (!unescape(shown, back) || back != value)
    fail("printable_value (not reversible)", value);
  return 0;
}
