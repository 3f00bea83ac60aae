// Fuzzes the locked line editor on a real file against a simple model of
// what the file must hold after each edit. Input: segments separated by the
// byte 0xff. The first is a flag byte (bit 0: the file exists) and the
// file's initial content; each further one is an edit: a mode byte, a
// variant byte (both taken modulo 4, so that unknown modes and variants
// occur too) and entries separated by 0xfe. Besides the content, each edit
// is checked for its result, for the owner and mode of a file that existed
// (kept) or was created (the process defaults), and for a temporary file
// left behind by a successful rewrite.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/file_str.h"
#include "runtime/product_conf.h"

namespace {

constexpr const char work_dir[] = "/tmp/fuzz_file_str";
constexpr const char root_dir[] = "/tmp/fuzz_file_str/root";
constexpr const char file_path[] = "/tmp/fuzz_file_str/edited";
constexpr const char tmp_path[] = "/tmp/fuzz_file_str/edited.tmp";
constexpr mode_t initial_mode = 0640;
// Another owner than the fuzzer's, where the fuzzer may give files away.
uid_t initial_uid = 1;
gid_t initial_gid = 1;
bool can_chown = false;
int dev_null = -1;

using content = std::optional<std::string>;  // none: the file does not exist

struct model_result {
  int status;
  content after;
};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos)
      return parts;
    start = end + 1;
  }
}

// The file's lines, each with its newline; the last one may lack it.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string entries_text(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& e : entries) {
    text += e;
    if (e.empty() || e.back() != '\n')
      text += '\n';
  }
  return text;
}

std::string chomp(const std::string& s) {
  return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

bool dropped(const std::string& line, const std::vector<std::string>& entries, int mode,
             int variant) {
  const std::string text = chomp(line);
  for (const std::string& e : entries) {
    if (mode == FILE_STR_REMOVE_LINE) {
      if (text == e.substr(0, e.find('\n')))
        return true;
      continue;
    }
    const std::string pattern = chomp(e);
    if (variant == FILE_STR_PREFIX && text.compare(0, pattern.size(), pattern) == 0 &&
        pattern.size() <= text.size())
      return true;
    if (variant == FILE_STR_SUFFIX && pattern.size() <= text.size() &&
        text.compare(text.size() - pattern.size(), pattern.size(), pattern) == 0)
      return true;
    if (variant == FILE_STR_SUBSTRING && line.find(e) != std::string::npos)
      return true;
  }
  return false;
}

model_result model(const content& before, const std::vector<std::string>& entries, int mode,
                   int variant) {
  switch (mode) {
    case FILE_STR_ADD:
      if (variant == FILE_STR_AT_END) {
        if (entries.empty())
          return {0, before ? before : content("")};
        std::string text = before.value_or("");
        // A last line without its newline is ended before the new lines.
        if (!text.empty() && text.back() != '\n')
          text += '\n';
        return {0, text + entries_text(entries)};
      }
      if (variant == FILE_STR_AT_BEGINNING) {
        if (!before)
          return {1, before};
        return {0, entries_text(entries) + *before};
      }
      return {0, before};
    case FILE_STR_REMOVE_LINE:
    case FILE_STR_REMOVE_MATCH: {
      if (!before)
        return {1, before};
      std::string text;
      for (const std::string& line : lines_of(*before))
        if (!dropped(line, entries, mode, variant))
          text += line;
      return {0, text};
    }
    default:
      return {0, before};
  }
}

content read_content() {
  int fd = open(file_path, O_RDONLY);
  if (fd < 0)
    return std::nullopt;
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

[[noreturn]] void fail(const char* what, int mode, int variant) {
  std::fprintf(stderr, "file_str mode %d variant %d: %s\n", mode, variant, what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umask(022);
  mkdir(work_dir, 0755);
  std::string locks = std::string(root_dir) + "/var/lock/files";
  for (std::string dir : {std::string(root_dir), std::string(root_dir) + "/var",
                          std::string(root_dir) + "/var/lock", locks})
    mkdir(dir.c_str(), 0755);
  // The lock files live under this product root; with the record filled,
  // no configuration file is read.
  static std::string root = root_dir;
  product_conf.product_root_d = root.c_str();
  dev_null = open("/dev/null", O_WRONLY);
  // Root may give the file away, which shows that the owner is restored.
  int fd = open(file_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  can_chown = fd >= 0 && fchown(fd, initial_uid, initial_gid) == 0;
  if (!can_chown) {
    initial_uid = geteuid();
    initial_gid = getegid();
  }
  close(fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  std::vector<std::string> segments =
      split(std::string(reinterpret_cast<const char*>(data), size), '\xff');
  if (segments.size() > 9)
    segments.resize(9);

  content current;
  if (!segments[0].empty() && (segments[0][0] & 1))
    current = segments[0].substr(1);
  unlink(file_path);
  unlink(tmp_path);
  if (current) {
    int fd = open(file_path, O_WRONLY | O_CREAT | O_TRUNC, initial_mode);
    if (fd < 0 || write(fd, current->data(), current->size()) != ssize_t(current->size()) ||
        fchmod(fd, initial_mode) != 0 || (can_chown && fchown(fd, initial_uid, initial_gid) != 0))
      std::abort();
    close(fd);
  }
  bool created = false;  // by an append to a missing file

  for (size_t i = 1; i < segments.size(); ++i) {
    const std::string& seg = segments[i];
    if (seg.size() < 2)
      continue;
    const int mode = static_cast<unsigned char>(seg[0]) % 4;
    const int variant = static_cast<unsigned char>(seg[1]) % 4;
    std::vector<std::string> entries;
    if (seg.size() > 2) {
      for (std::string e : split(seg.substr(2), '\xfe')) {
        // The list holds C strings: an entry ends at its first NUL.
        entries.push_back(e.substr(0, e.find('\0')));
        if (entries.size() == 8)
          break;
      }
    }
    std::vector<const char*> list;
    for (const std::string& e : entries)
      list.push_back(e.c_str());
    list.push_back(nullptr);

    const model_result expected = model(current, entries, mode, variant);
    const bool existed = current.has_value();
    if (!existed && expected.after)
      created = true;

    // Expected failures report; keep their messages out of the log.
    int saved_out = -1, saved_err = -1;
    if (expected.status != 0) {
      std::fflush(stdout);
      std::fflush(stderr);
      saved_out = dup(1);
      saved_err = dup(2);
      dup2(dev_null, 1);
      dup2(dev_null, 2);
    }
    const int status = file_str(file_path, list.data(), mode, variant);
    if (saved_out >= 0) {
      std::fflush(stdout);
      std::fflush(stderr);
      dup2(saved_out, 1);
      dup2(saved_err, 2);
      close(saved_out);
      close(saved_err);
    }

    if (status != expected.status)
      fail(status == 0 ? "succeeded where it must fail" : "failed where it must succeed", mode,
           variant);
    const content got = read_content();
    if (got != expected.after)
      fail("the file does not hold what the model holds", mode, variant);
    if (got) {
      struct stat st;
      if (stat(file_path, &st) != 0)
        std::abort();
      const bool fresh = created;
      const mode_t want_mode = fresh ? 0644 : initial_mode;
      const uid_t want_uid = fresh ? geteuid() : initial_uid;
      const gid_t want_gid = fresh ? getegid() : initial_gid;
      if ((st.st_mode & 07777) != want_mode || st.st_uid != want_uid || st.st_gid != want_gid)
        fail("owner or mode changed", mode, variant);
    }
    const bool rewrite = mode == FILE_STR_REMOVE_LINE || mode == FILE_STR_REMOVE_MATCH ||
                         (mode == FILE_STR_ADD && variant == FILE_STR_AT_BEGINNING);
    if (status == 0 && rewrite && access(tmp_path, F_OK) == 0)
      fail("a temporary file stayed after a rewrite", mode, variant);
    current = got;
  }
  return 0;
}
