// Fuzzes the product configuration reader against a simple model: for each
// key, the value is what the first defining line holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/product_conf.h"

namespace {

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The model: split at NUL and newline, drop trailing whitespace of every
// line that ends in a newline, then look for "<ws>*KEY<ws>+value".
const char* model(const std::string& text, const std::string& key, std::string& value) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\n' && text[end] != '\0')
      ++end;
    std::string line = text.substr(start, end - start);
    if (end < text.size() && text[end] == '\n') {
      while (!line.empty() && space(line.back()))
        line.pop_back();
    }
    size_t p = 0;
    while (p < line.size() && space(line[p]))
      ++p;
    if (line.compare(p, key.size(), key) == 0 && p + key.size() < line.size() &&
        space(line[p + key.size()])) {
      p += key.size();
      while (p < line.size() && space(line[p]))
        ++p;
      value = line.substr(p);
      return value.c_str();
    }
    start = end + 1;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  // First byte picks the key length; the key is taken from the start of the text.
  size_t keylen = 1 + data[0] % 8;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string key;
  for (char c : text.substr(0, keylen))
    if (c != '\0' && c != '\n' && !space(c))
      key += c;
  if (key.empty())
    key = "K";

  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  conf_prepare(buf.data(), text.size());
  const char* got = conf_find(buf.data(), text.size(), key.c_str());
  std::string expected_value;
  const char* expected = model(text, key, expected_value);
  if ((got == nullptr) != (expected == nullptr))
    std::abort();
  if (got && std::strcmp(got, expected) != 0)
    std::abort();
  return 0;
}
