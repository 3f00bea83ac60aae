// Messages and exit: the one reporter and its small companions.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// argv[0] of this run; its last path component prefixes every report.
// Null until the front end sets it.
extern const char* program_path;

// The basename of program_path as POSIX defines it: trailing slashes do not
// count ("cifsctl/" gives "cifsctl", "a//b//" gives "b"), a path of slashes
// only gives "/" and an empty one ".". Empty while program_path is null.
// argv[0] itself is never changed.
std::string_view program_name();

// Formats a message and writes it to standard error, then standard output,
// each as "<program>: <text>\n" and flushed, followed by the line
// "System error N: <strerror>" when errno is non-zero at the call, whatever
// earlier call set it. The reporter never clears errno.
// Status 0 returns; any other status ends the process with that status.
[[gnu::format(printf, 2, 3)]] void report_msg(int status, const char* format, ...);
[[gnu::format(printf, 2, 0)]] void report_vmsg(int status, const char* format, va_list args);

// report_msg with status 1: the one form for a failure after which nothing
// sensible can follow. Never returns.
[[noreturn, gnu::format(printf, 1, 2)]] void fatal(const char* format, ...);

// report_msg with status 0, for this program's own notices (a value left
// out, a name refused) that no failed call caused: the report carries no
// "System error" line, and errno is left as it was for the reports after it.
[[gnu::format(printf, 1, 2)]] void report_notice(const char* format, ...);

// A text from the command line, the environment or the database as a report
// shows it: control characters as \n, \r, \t or \xHH and backslashes
// doubled, so that a report stays one line per message whatever the text
// holds, and the text can still be read back exactly.
std::string printable_value(const char* value);

// Gives errno back its value at construction when the scope ends. For calls
// that tell a failure only through errno (strtol's ERANGE, readdir's end):
// errno is cleared to ask them, and what later reports show must not change
// because a caller asked.
struct errno_keeper {
  int saved = errno;
  errno_keeper() = default;
  errno_keeper(const errno_keeper&) = delete;
  errno_keeper& operator=(const errno_keeper&) = delete;
  ~errno_keeper() { errno = saved; }
};

// Formatted text in new heap memory (malloc), owned by the caller (free).
// Never returns null: exhausted memory ends the process.
[[gnu::format(printf, 1, 2)]] char* alloc_printf(const char* format, ...);
[[gnu::format(printf, 1, 0)]] char* alloc_vprintf(const char* format, va_list args);

// malloc and realloc that end the process with "alloc(%d)" on failure.
void* mem_alloc(size_t size);
void* mem_realloc(void* ptr, size_t size);

// Ends the process through exit(3), flushing buffered output.
[[noreturn]] void exit_program(int status);

// Seeds rand() with the current second and returns a value in [0, n).
int random_below(int n);
