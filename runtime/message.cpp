#include "runtime/message.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "runtime/spawn.h"

const char* program_path = nullptr;

namespace {

void write_report(FILE* stream, const char* text, size_t len) {
  if (program_path) {
    std::string_view name = program_name();
    std::fwrite(name.data(), 1, name.size(), stream);
    std::fputs(": ", stream);
  }
  std::fwrite(text, 1, len, stream);
  if (len == 0 || text[len - 1] != '\n')
    std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

std::string_view program_name() {
  if (!program_path)
    return {};
  // Computed in place, not by basename(3): POSIX lets that one modify its
  // argument, which is argv[0] here, and glibc's <string.h> variant keeps
  // trailing slashes ("cifsctl/" would give an empty name).
  std::string_view path(program_path);
  if (path.empty())
    return ".";
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos)
    return path.substr(0, 1);  // only slashes: "/"
  size_t start = path.find_last_of('/', end);
  start = start == std::string_view::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

void report_vmsg(int status, const char* format, va_list args) {
  errno_keeper keep;
  const int saved_errno = keep.saved;
  size_t size = text_size;
  char* buf = static_cast<char*>(std::malloc(size));
  if (!buf) {
    static const char fixed[] = "Can't allocate memory for error message";
    write_report(stderr, fixed, sizeof fixed - 1);
    write_report(stdout, fixed, sizeof fixed - 1);
    if (status != 0)
      exit_program(status);
    return;
  }

  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(buf, size, format, args);
  size_t len = n < 0 ? 0 : static_cast<size_t>(n);
  if (n < 0) {
    buf[0] = '\0';
  } else if (len >= size) {
    if (char* grown = static_cast<char*>(std::realloc(buf, len + 1))) {
      buf = grown;
      size = len + 1;
      std::vsnprintf(buf, size, format, again);
    } else {
      len = size - 1;  // what fitted: the first 4095 bytes
    }
  }
  va_end(again);

  if (saved_errno != 0) {
    char suffix[512];
    int m = std::snprintf(suffix, sizeof suffix, "\nSystem error %d: %s",
                          saved_errno, std::strerror(saved_errno));
    size_t slen = m < 0 ? 0 : std::min(static_cast<size_t>(m), sizeof suffix - 1);
    if (len + slen + 1 > size) {
      if (char* grown = static_cast<char*>(std::realloc(buf, len + slen + 1))) {
        buf = grown;
        size = len + slen + 1;
      }
    }
    if (len + slen + 1 <= size) {
      std::memcpy(buf + len, suffix, slen);
      len += slen;
      buf[len] = '\0';
    }
  }

  write_report(stderr, buf, len);
  write_report(stdout, buf, len);
  std::free(buf);
  if (status != 0)
    exit_program(status);
}

void report_msg(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  report_vmsg(status, format, args);
  va_end(args);
}

void fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  report_vmsg(1, format, args);
  va_end(args);
  exit_program(1);  // not reached: status 1 ends the process
}

void report_notice(const char* format, ...) {
  errno_keeper keep;
  errno = 0;
  va_list args;
  va_start(args, format);
  report_vmsg(0, format, args);
  va_end(args);
}

void direct_msg(const char* format, ...) {
  errno_keeper keep;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}

void child_msg(int fd, const char* format, ...) {
  if (fd < 0)
    return;
  errno_keeper keep;
  char buf[2 * text_size];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  size_t len = std::min(static_cast<size_t>(std::max(n, 0)), sizeof buf - 1);
  write_all_no_sigpipe(fd, buf, len);
}

void assertion_failed(const char* unit, int line, const char* condition) {
  // Worded like glibc's assert, which names the program by its base name;
  // without a program path there is no name, as in every other report.
  std::string_view name = program_name();
  std::fflush(stdout);
  std::fprintf(stderr, "%.*s%s%s:%d: Assertion `%s' failed.\n", static_cast<int>(name.size()),
               name.data(), name.empty() ? "" : ": ", unit, line, condition);
  std::fflush(stderr);
  std::abort();
}

char* alloc_vprintf(const char* format, va_list args) {
  char* text = nullptr;
  if (vasprintf(&text, format, args) < 0)
    fatal("Cannot allocate memory: %s", std::strerror(errno));
  return text;
}

char* alloc_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = alloc_vprintf(format, args);
  va_end(args);
  return text;
}

void* mem_alloc(size_t size) {
  void* p = std::malloc(size);
  if (!p)
    fatal("alloc(%d)", static_cast<int>(size));
  return p;
}

void* mem_realloc(void* ptr, size_t size) {
  void* p = std::realloc(ptr, size);
  if (!p)
    fatal("alloc(%d)", static_cast<int>(size));
  return p;
}

void exit_program(int status) {
  std::exit(status);
}

int random_below(int n) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return static_cast<int>(static_cast<double>(n) * std::rand() / 2147483648.0);
}

std::string printable_value(const char* value) {
  std::string shown;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != '\0'; ++p) {
    switch (*p) {
      case '\n':
        shown += "\\n";
        break;
      case '\r':
        shown += "\\r";
        break;
      case '\t':
        shown += "\\t";
        break;
      case '\\':
        shown += "\\\\";
        break;
      default:
        if (*p < 0x20 || *p == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", *p);
          shown += hex;
        } else {
          shown += static_cast<char>(*p);
        }
    }
  }
  return shown;
}
