#include "runtime/idn.h"

#include <idna.h>
#include <regex.h>

#include <cstdlib>
#include <cstring>

#include "runtime/message.h"
#include "runtime/owners.h"

int idn_last_error = 0;

namespace {


// Scheme with "://", user part ending in "@", host, rest (port, path, query).
// Case-sensitive on purpose: only lower-case schemes are recognised.
constexpr const char url_pattern[] = "^(ftp://|https?://)?([^@]+@)?([^/:]+)(.*)?$";

char url_buf[text_size];

size_t group_len(const regmatch_t& m) {
  return m.rm_so < 0 ? 0 : static_cast<size_t>(m.rm_eo - m.rm_so);
}

}  // namespace

char* idn_toascii(const char* text) {
  char* out = nullptr;
  int rc = idna_to_ascii_8z(text, &out, 0);
  if (rc == IDNA_MALLOC_ERROR)
    fatal("Allocation failed");
  if (rc == IDNA_SUCCESS)
    return out;
  idn_last_error = rc;
  std::free(out);
  return nullptr;
}

char* idn_toutf8(const char* text) {
  char* out = nullptr;
  int rc = idna_to_unicode_8z8z(text, &out, 0);
  if (rc == IDNA_MALLOC_ERROR)
    fatal("Allocation failed");
  if (rc != IDNA_SUCCESS)
    idn_last_error = rc;
  // The library hands back labels it cannot convert unchanged, so whatever
  // it produced is the answer, failure code or not.
  return out;
}

char* idn_toascii_safe(const char* text) {
  char* out = idn_toascii(text);
  if (!out)
    fatal("%s(%s) failed: %s", "idn_toascii_safe", text, idn_error_text(idn_last_error));
  return out;
}

char* idn_toutf8_safe(const char* text) {
  char* out = idn_toutf8(text);
  if (!out)
    fatal("%s(%s) failed: %s", "idn_toutf8_safe", text, idn_error_text(idn_last_error));
  return out;
}

const char* idn_error_text(int code) {
  switch (code) {
    case IDNA_SUCCESS: return "Success";
    case IDNA_STRINGPREP_ERROR: return "Stringprep error";
    case IDNA_PUNYCODE_ERROR: return "Punycode error";
    case IDNA_CONTAINS_NON_LDH: return "Contains non-LDH characters";
    case IDNA_CONTAINS_MINUS: return "Contains minus";
    case IDNA_INVALID_LENGTH: return "Invalid length";
    case IDNA_NO_ACE_PREFIX: return "ACE prefix not found";
    case IDNA_ROUNDTRIP_VERIFY_ERROR: return "Verify error";
    case IDNA_CONTAINS_ACE_PREFIX: return "ACE prefix found";
    case IDNA_ICONV_ERROR: return "Iconv error";
    case IDNA_MALLOC_ERROR: return "Cannot allocate buffer";
    default: return "Unknown error";
  }
}

char* url_host_to_ascii(const char* url) {
  url_buf[0] = '\0';
  char errbuf[text_size];

  regex_t re;
  int rc = regcomp(&re, url_pattern, REG_EXTENDED);
  if (rc != 0) {
    regerror(rc, &re, errbuf, sizeof errbuf);
    fatal("regcomp() failed: %s", errbuf);
  }
  regmatch_t m[5];
  rc = regexec(&re, url, 5, m, 0);
  if (rc != 0) {
    regerror(rc, &re, errbuf, sizeof errbuf);
    regfree(&re);
    report_msg(0, "regexec() failed: %s", errbuf);
    return nullptr;
  }
  regfree(&re);

  if (m[3].rm_so < 0) {
    report_msg(0, "no hostname found in URL");
    return nullptr;
  }

  // The host is copied whole: converting a cut host would name another one.
  unique_text host(alloc_printf("%.*s", static_cast<int>(group_len(m[3])), url + m[3].rm_so));
  unique_text ascii(idn_toascii(host.get()));
  if (!ascii) {
    report_msg(0, "idn_toascii() failed: %s", idn_error_text(idn_last_error));
    return nullptr;
  }

  // The ASCII form may be longer or shorter than the UTF-8 host, so the fit
  // is known only now. A cut URL would point somewhere else: refuse it.
  size_t ascii_len = std::strlen(ascii.get());
  size_t total = group_len(m[1]) + group_len(m[2]) + ascii_len + group_len(m[4]);
  if (total >= text_size) {
    report_msg(0, "url_host_to_ascii(): converted URL is longer than %d bytes", static_cast<int>(text_size - 1));
    return nullptr;
  }

  char* p = url_buf;
  auto append = [&p](const char* from, size_t len) {
    std::memcpy(p, from, len);
    p += len;
  };
  if (m[1].rm_so >= 0)
    append(url + m[1].rm_so, group_len(m[1]));
  if (m[2].rm_so >= 0)
    append(url + m[2].rm_so, group_len(m[2]));
  append(ascii.get(), ascii_len);
  if (m[4].rm_so >= 0)
    append(url + m[4].rm_so, group_len(m[4]));
  *p = '\0';
  return url_buf;
}
