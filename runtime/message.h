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

// Paths, command lines, SQL statements and copied values live in buffers of
// this size; what is formatted or copied into them is cut at text_size - 1
// bytes. A report starts in a buffer of this size too.
inline constexpr size_t text_size = 4096;

// Formats a message and writes it to standard error, then standard output,
// each as "<program>: <text>\n" and flushed, followed by the line
// "System error N: <strerror>" when errno is non-zero at the call, whatever
// earlier call set it. The reporter never clears errno: it is as the call
// found it when the reporter returns.
// Status 0 returns; any other status ends the process with that status.
[[gnu::format(printf, 2, 3)]] void report_msg(int status, const char* format, ...);
[[gnu::format(printf, 2, 0)]] void report_vmsg(int status, const char* format, va_list args);

// report_msg with status 1: the one form for a failure after which nothing
// sensible can follow. Never returns.
[[noreturn, gnu::format(printf, 1, 2)]] void fatal(const char* format, ...);

// report_msg with status 0 for a refusal of the program's own, made before
// or instead of any call: a value left out of a generated file, a name or
// password refused (the caller then goes on without it or fails its
// operation). No call failed, so the report carries no "System error" line
// whatever errno holds, and errno is left as it was for the reports after it.
[[gnu::format(printf, 1, 2)]] void report_notice(const char* format, ...);

// A text from the command line, the environment or the database as a report
// shows it: control characters as \n, \r, \t or \xHH and backslashes
// doubled, so that a report stays one line per message whatever the text
// holds, and the text can still be read back exactly.
std::string printable_value(const char* value);

// Writes the text to standard error exactly as formatted and flushes it: no
// program name in front, no copy on standard output, no "System error"
// line; errno is left as it was. For the runtime's texts that go to
// standard error alone ("fork_exec*: read(pipe) failed: ...",
// "popen_exec: ...", "setsid() failed: ...", file_str's temporary file).
[[gnu::format(printf, 1, 2)]] void direct_msg(const char* format, ...);

// Writes the text exactly as formatted to descriptor fd, where the standard
// error of a child that failed before its program ran pointed: the message
// that child would have written itself. Nothing when fd is -1. errno is
// left as it was; a reader that has gone costs the message, never a SIGPIPE.
[[gnu::format(printf, 2, 3)]] void child_msg(int fd, const char* format, ...);

// Stops the process the way the platform's assert does: standard output is
// flushed, "<program>: <unit>:<line>: Assertion `<condition>' failed." goes
// to standard error (without "<program>: " while program_path is null),
// then abort(). Stays on in release builds.
[[noreturn]] void assertion_failed(const char* unit, int line, const char* condition);

// Gives errno back its value at construction when the scope ends: the one
// way errno is kept in this system. A call that succeeded, and a clean-up
// after a failure, must leave errno as the caller or the failure left it,
// for the "System error" line of the next report tells what failed. Also
// for calls that tell a failure only through errno (strtol's ERANGE,
// readdir's end): errno is cleared to ask them. release() gives up the
// keeping, so that the errno of a failure that the scope found stays.
struct errno_keeper {
  int saved = errno;
  bool keeping = true;
  errno_keeper() = default;
  errno_keeper(const errno_keeper&) = delete;
  errno_keeper& operator=(const errno_keeper&) = delete;
  ~errno_keeper() {
    if (keeping)
      errno = saved;
  }
  void release() { keeping = false; }
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
