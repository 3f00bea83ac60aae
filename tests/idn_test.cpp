#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "runtime/idn.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "tests/harness.h"

namespace {

// U+FFFC (object replacement character) is prohibited by nameprep.
const std::string bad_name = "bad\xEF\xBF\xBC.com";
const std::string munich = "m\xC3\xBCnchen.de";
const std::string munich_ace = "xn--mnchen-3ya.de";
// "пример.испытание"
const std::string cyrillic =
    "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80."
    "\xD0\xB8\xD1\x81\xD0\xBF\xD1\x8B\xD1\x82\xD0\xB0\xD0\xBD\xD0\xB8\xD0\xB5";
const std::string cyrillic_ace = "xn--e1afmkfd.xn--80akhbyknj4f";

std::string take(char* text) {
  unique_text owner(text);
  return text ? std::string(text) : std::string("(null)");
}

// A report as the reporter writes it on each stream, with no errno line.
std::string report_line(const std::string& text) { return "cifsctl: " + text + "\n"; }

}  // namespace

TEST(IdnConvert, AsciiNameComesBackAsNewText) {
  const char name[] = "www.example-1.com";
  char* out = idn_toascii(name);
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, name);
  EXPECT_STREQ(out, name);
  std::free(out);
  EXPECT_EQ(take(idn_toutf8(name)), name);
}

TEST(IdnConvert, NameprepFoldsCaseOfInternationalLabels) {
  // Labels of plain ASCII skip nameprep in libidn and keep their case;
  // labels holding other letters are mapped, upper case folded.
  EXPECT_EQ(take(idn_toascii("M\xC3\x9CNCHEN.de")), munich_ace);
  EXPECT_EQ(take(idn_toascii("B\xC3\xBC" "cher.Example")), "xn--bcher-kva.Example");
  EXPECT_EQ(idn_last_error, 0);
}

TEST(IdnConvert, InternationalNameBothWays) {
  EXPECT_EQ(take(idn_toascii(munich.c_str())), munich_ace);
  EXPECT_EQ(take(idn_toutf8(munich_ace.c_str())), munich);
  EXPECT_EQ(take(idn_toascii(cyrillic.c_str())), cyrillic_ace);
  EXPECT_EQ(take(idn_toutf8(cyrillic_ace.c_str())), cyrillic);
  // Already ASCII form: ToASCII leaves it alone.
  EXPECT_EQ(take(idn_toascii(cyrillic_ace.c_str())), cyrillic_ace);
  EXPECT_EQ(take(idn_toascii_safe(munich.c_str())), munich_ace);
  EXPECT_EQ(take(idn_toutf8_safe(munich_ace.c_str())), munich);
  EXPECT_EQ(idn_last_error, 0);
}

TEST(IdnConvert, FailedConversionsKeepTheirCode) {
  EXPECT_EQ(idn_toascii(bad_name.c_str()), nullptr);
  EXPECT_EQ(idn_last_error, 1);
  // Later successes leave the code alone.
  EXPECT_EQ(take(idn_toascii(munich.c_str())), munich_ace);
  EXPECT_EQ(take(idn_toutf8(munich_ace.c_str())), munich);
  EXPECT_EQ(idn_last_error, 1);

  // A label longer than 63 bytes, and an empty label.
  std::string long_label = std::string(64, 'a') + ".com";
  EXPECT_EQ(idn_toascii(long_label.c_str()), nullptr);
  EXPECT_EQ(idn_last_error, 5);
  idn_last_error = 0;
  EXPECT_EQ(idn_toascii("a..b"), nullptr);
  EXPECT_EQ(idn_last_error, 5);

  // ToUnicode hands back what it cannot convert, but records the failure.
  idn_last_error = 0;
  EXPECT_EQ(take(idn_toutf8(bad_name.c_str())), bad_name);
  // Malformed UTF-8 gives no output at all.
  EXPECT_EQ(idn_toutf8("x\xFF.com"), nullptr);
  EXPECT_EQ(idn_last_error, 9);
}

TEST(IdnConvert, SafeFormsEndTheProcess) {
  run_result r = run_in_child([] {
    program_path = "/usr/local/tav/admin/sbin/cifsctl";
    idn_toascii_safe(bad_name.c_str());
    std::puts("not reached");
  });
  EXPECT_EQ(r.status, 1);
  std::string line = report_line("idn_toascii_safe(" + bad_name + ") failed: Stringprep error");
  EXPECT_TEXT_EQ(line, r.err);
  EXPECT_TEXT_EQ(line, r.out);

  r = run_in_child([] {
    program_path = "cifsctl";
    idn_toutf8_safe("x\xFF.com");
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report_line("idn_toutf8_safe(x\xFF.com) failed: Iconv error"), r.err);
}

TEST(IdnErrorText, NamesEveryCode) {
  const std::pair<int, const char*> table[] = {
      {0, "Success"},
      {1, "Stringprep error"},
      {2, "Punycode error"},
      {3, "Contains non-LDH characters"},
      {4, "Contains minus"},
      {5, "Invalid length"},
      {6, "ACE prefix not found"},
      {7, "Verify error"},
      {8, "ACE prefix found"},
      {9, "Iconv error"},
      {201, "Cannot allocate buffer"},
      {10, "Unknown error"},
      {202, "Unknown error"},
      {-1, "Unknown error"},
      {200, "Unknown error"},
  };
  for (const auto& [code, text] : table)
    EXPECT_STREQ(idn_error_text(code), text) << "code " << code;
}

TEST(UrlHostToAscii, ConvertsOnlyTheHost) {
  const std::string cases[][2] = {
      {"http://" + munich + "/index.html", "http://" + munich_ace + "/index.html"},
      {"https://" + munich + ":8443/a/b?q=" + munich, "https://" + munich_ace + ":8443/a/b?q=" + munich},
      {"ftp://M\xC3\xBCller:secret@" + munich + ":21/pub", "ftp://M\xC3\xBCller:secret@" + munich_ace + ":21/pub"},
      {munich, munich_ace},
      {munich + "/path", munich_ace + "/path"},
      {"user@" + cyrillic + ":80", "user@" + cyrillic_ace + ":80"},
      {"http://www.example.com", "http://www.example.com"},
  };
  for (const auto& [url, expected] : cases) {
    const char* out = url_host_to_ascii(url.c_str());
    ASSERT_NE(out, nullptr) << url;
    EXPECT_EQ(std::string(out), expected);
  }
}

TEST(UrlHostToAscii, UpperCaseSchemeIsTakenForTheHost) {
  // The scheme word becomes the host and "://..." the rest, copied as it is.
  const std::string url = "HTTP://" + munich + "/x";
  const char* out = url_host_to_ascii(url.c_str());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), url);

  // With a non-ASCII "scheme" the conversion shows that it was the host.
  const std::string odd = "H\xC3\x9CTP://example.com";
  out = url_host_to_ascii(odd.c_str());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), "xn--htp-hoa://example.com");
}

TEST(UrlHostToAscii, RefusesWhatItCannotConvert) {
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    if (url_host_to_ascii("/index.html") == nullptr)
      std::puts("null");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report_line("regexec() failed: No match"), r.err);
  EXPECT_TEXT_EQ(report_line("regexec() failed: No match") + "null\n", r.out);

  r = run_in_child([] {
    program_path = "cifsctl";
    std::string url = "https://" + bad_name + "/";
    if (url_host_to_ascii(url.c_str()) == nullptr)
      std::puts("null");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report_line("idn_toascii() failed: Stringprep error"), r.err);
  EXPECT_TEXT_EQ(report_line("idn_toascii() failed: Stringprep error") + "null\n", r.out);
}

TEST(UrlHostToAscii, ResultMustFitItsBuffer) {
  // A host of 60-letter labels, the URL filled with a path up to the limit.
  std::string host;
  while (host.size() < 3000)
    host += std::string(60, 'a') + ".";
  host += "com";
  std::string head = "http://" + host + "/";
  std::string fits = head + std::string(4095 - head.size(), 'p');
  const char* out = url_host_to_ascii(fits.c_str());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), fits);

  std::string too_long = fits + "p";
  run_result r = run_in_child([&] {
    program_path = "cifsctl";
    if (url_host_to_ascii(too_long.c_str()) == nullptr)
      std::puts("null");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report_line("url_host_to_ascii(): converted URL is longer than 4095 bytes"), r.err);
  EXPECT_NE(r.out.find("null\n"), std::string::npos);

  // A UTF-8 host whose ASCII form is longer than the URL itself: the URL
  // fits the buffer, its conversion does not.
  // "aü" takes 3 bytes, its ASCII form "xn--a-eha" 9.
  std::string wide;
  while (wide.size() < 2000)
    wide += "a\xC3\xBC.";
  wide += "de";
  ASSERT_LT(wide.size(), 4095u);
  ASSERT_EQ(take(idn_toascii("a\xC3\xBC")), "xn--a-eha");
  r = run_in_child([&] {
    program_path = "cifsctl";
    if (url_host_to_ascii(wide.c_str()) == nullptr)
      std::puts("null");
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report_line("url_host_to_ascii(): converted URL is longer than 4095 bytes"), r.err);
}
