#include "runtime/send_sig.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

namespace {


// Names go into the pipelines unquoted, inside grep patterns: only plain
// process names may, so that no caller's text is read by the shell or as a
// pattern.
bool plain_process_name(const char* name) {
  if (name[0] == '\0')
    return false;
  for (const char* p = name; *p; ++p) {
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.';
    if (!ok)
      return false;
  }
  return true;
}

// Runs a composed pipeline; output buffered so far goes out first, so that
// what the tools print keeps its place among our own lines.
int run_pipeline(const char* command) {
  std::fflush(stdout);
  std::fflush(stderr);
  return std::system(command);
}

// The end of the line that starts after line_begin (a newline, or the start
// of the text when it is the first line): the next newline, or null when the
// line is the last one without a newline.
const char* line_end_after(const char* line_begin) {
  return std::strchr(*line_begin == '\n' ? line_begin + 1 : line_begin, '\n');
}

// Reads the pid in the first column of the line that follows the newline at
// line_begin; blanks before it are skipped, but never a line break.
bool read_line_pid(const char* line_begin, pid_t* pid) {
  const char* p = line_begin + 1;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9')
    return false;
  errno_keeper keep;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(p, &end, 10);
  if (errno != 0 || value <= 0 || value > 0x7fffffffL)
    return false;
  *pid = static_cast<pid_t>(value);
  return true;
}

}  // namespace

int kill_by_name(const char* name, int sig) {
  if (!plain_process_name(name)) {
    report_notice("kill_by_name(): invalid process name '%s'", name);
    return -1;
  }
  char command[text_size];
  std::snprintf(command, sizeof command,
                "for pid in `%s axc -opid,command|%s -E \"[0-9] %s$\"|%s '{print $1}' -` ; do "
                "%s -%d $pid ; done",
                paths::ps, paths::grep, name, paths::awk, paths::kill, sig);
  return run_pipeline(command);
}

int send_sig_pid(const char* command, int pid, const char* user, int sig) {
  const passwd* pw = getpwnam(user);
  if (!pw) {
    report_msg(0, "send_sig_pid(): failed to define uid of the user %s", user);
    return -1;
  }
  // pid 0 and negative pids name process groups, never one process.
  if (pid <= 0 || !plain_process_name(command)) {
    report_msg(0, "send_sig_pid(): there is no process with pidnumber=%d, command=%s, user=%s\n",
                  pid, command, user);
    return -1;
  }
  // The pattern is anchored to whole columns: unanchored, pid 12 or uid 10
  // would also pass on the line of pid 112 or uid 100, and the signal would
  // reach a process that was never checked.
  char check[text_size];
  std::snprintf(check, sizeof check,
                "%s axc -opid,uid,command|%s -E "
                "\"^[[:space:]]*%d[[:space:]]+%d[[:space:]]+%s$\" >%s",
                paths::ps, paths::grep, pid, static_cast<int>(pw->pw_uid), command,
                paths::dev_null);
  if (run_pipeline(check) != 0) {
    report_msg(0, "send_sig_pid(): there is no process with pidnumber=%d, command=%s, user=%s\n",
                  pid, command, user);
    return -1;
  }
  if (kill(pid, sig) != 0) {
    report_msg(0, "send_sig_pid(): failed to send a signal %d to a process with pidnumber %d\n",
               sig, pid);
    return -1;
  }
  return 0;
}

int send_signal_field(const char* column, const char* pattern, int sig) {
  unique_text columns(alloc_printf("pid,%s", column));
  char* captured = nullptr;
  int result =
      fork_execl_getout(&captured, paths::ps, paths::ps, "-Aww", "-o", columns.get(), nullptr);
  unique_text output(captured);
  if (result != 0) {
    if (output) {
      std::fputs(output.get(), stderr);
      std::fputc('\n', stderr);
      std::fflush(stderr);
    }
    report_msg(0, "send_signal_field(): %s failed", paths::ps);
    return -1;
  }
  if (!output)
    return 0;

  const char* text = output.get();
  int count = 0;
  const char* position = text;
  while (position) {
    const char* match = std::strstr(position, pattern);
    if (!match)
      break;
    // The newline that ends the previous line; a match that starts on a
    // newline belongs to the line after it.
    const char* match_begin = match;
    while (match_begin > text && *match_begin != '\n') --match_begin;
    if (*match_begin != '\n') {
      // A match in the header line: it names no process.
      position = std::strchr(text, '\n');
      continue;
    }
    if (match_begin[1] == '\0')
      break;  // the empty rest after the listing's final newline
    const char* line_end = line_end_after(match_begin);
    // Always past match_begin, so the scan advances and each line counts
    // once.
    position = line_end;

    pid_t pid = 0;
    if (read_line_pid(match_begin, &pid)) {
      ++count;
      if (sig != 0 && kill(pid, sig) != 0)
        report_msg(0, "send_signal_field(): failed to kill %d: %s", static_cast<int>(pid),
                   std::strerror(errno));
    } else {
      int length = static_cast<int>(line_end ? line_end - match_begin
                                             : static_cast<long>(std::strlen(match_begin)));
      report_msg(0, "send_signal_field(): malformed ps output: %.*s", length, match_begin);
    }
  }
  return count;
}

int find_process(const char* name) {
  if (!plain_process_name(name)) {
    report_notice("find_process(): invalid process name '%s'", name);
    return -1;
  }
  char command[text_size];
  std::snprintf(command, sizeof command,
                "%s axww | %s -v grep | %s '{ print $5 }' | %s -E '((^|/)%s$)|([[(<]%s([)>]|])$)' "
                ">%s",
                paths::ps, paths::grep, paths::awk, paths::grep, name, name, paths::dev_null);
  return run_pipeline(command);
}

int hdv1_placeholder_present() {
  static int present = -1;
  if (present < 0) {
    struct stat st;
    present = stat(paths::dev_hdv1, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 ? 1 : 0;
  }
  return present;
}
