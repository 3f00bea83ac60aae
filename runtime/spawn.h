// Starting a program in a child process, and watching for the child's end:
// the one core under the runners, the rc-script start and the password feed.
//
// Everything the child needs is prepared by the parent before the fork (the
// argument vectors, /dev/null, the size of the descriptor table, a pipe for
// failures). The child then only duplicates and closes descriptors, changes
// directory, starts a session and executes: async-signal-safe calls alone.
// When one of those steps fails, the child sends the step and its errno back
// in one write over the close-on-exec failure pipe and ends with the plan's
// status; the parent, which read the pipe until exec closed it, formats the
// message with strerror. The child must be waited for in both cases.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>

// What one of the child's descriptors 0, 1 and 2 becomes.
enum class fd_action : unsigned char {
  inherit,  // stays as inherited
  move,     // source dup'ed onto it, then closed; a failure ends the child
  null,     // /dev/null (read-write) dup'ed onto it; a failure ends the child
  replace,  // closed, then source dup'ed onto it; a failure leaves it closed
};

struct fd_plan {
  fd_action action = fd_action::inherit;
  int source = -1;  // for move and replace
};

// An exit status that stands for "the errno of the failed step".
inline constexpr int exit_with_errno = -1;

struct spawn_plan {
  const char* path = nullptr;               // executed with execv
  const char* const* argv = nullptr;        // argv[0] first, null-terminated
  fd_plan fds[3];                           // the child's 0, 1 and 2
  const char* dir = nullptr;                // changed to first, when set
  bool new_session = false;                 // setsid, after the directory
  bool close_others = false;                // close every descriptor from 3 up
  bool shell_fallback = false;              // a file without "#!" runs through /bin/sh
  int dir_status = 1;                       // exit status when chdir fails
  int session_status = 3;                   // exit status when setsid fails
  int fds_status = 255;                     // exit status when a descriptor step fails
  int exec_status = 255;                    // exit status when execv fails
};

// The step that failed in the child, or none when the program was executed.
enum class spawn_step : unsigned char { none, fds, dir, session, exec };

struct spawn_failure {
  spawn_step step = spawn_step::none;
  int error = 0;             // errno of the failed step
  bool stderr_open = false;  // the child's descriptor 2 was open at that moment
};

// Forks and runs plan in the child. Returns the child's id with *failure
// filled in (before return the program has been executed or the child has
// failed), or -1 with errno set when no child could be started. Output
// buffered by stdio is flushed first, so that a child never writes it again.
pid_t spawn_child(const spawn_plan& plan, spawn_failure* failure);

// A close-on-exec pipe whose ends are never 0, 1 or 2: when the program was
// started with a standard descriptor closed, a pipe end landing there would
// be taken for the child's own stream. False with errno set on failure.
bool make_pipe(int fds[2]);

// Sets O_NONBLOCK on fd. False with errno set on failure.
bool set_nonblocking(int fd);

// Writes all of text to fd (a pipe to a child, or where a child's stream
// points). A reader that has gone gives false with EPIPE, never a SIGPIPE
// that would end this process.
bool write_all_no_sigpipe(int fd, const char* text, size_t length);

// waitpid, retried on EINTR.
pid_t wait_child(pid_t pid, int* status, int options);

// Whether pid has ended, without collecting it. An error (no such child)
// counts as ended: there is nothing left to wait for either.
bool child_ended(pid_t pid);

// Watching a started child for its end without collecting it: fd becomes
// readable once the child has ended, so that it can be polled beside the
// child's pipes. A Linux pidfd where there is one, a kqueue process filter
// on FreeBSD, otherwise a pipe written by a SIGCHLD handler, installed only
// while the watch is open (the previous handler and signal mask come back
// when it closes). fd stays -1 when no watch could be set up.
struct child_watch {
  int fd = -1;
  int signal_fd = -1;  // the SIGCHLD pipe's write end, while that is the watch
  struct sigaction old_action {};
  sigset_t old_mask {};
  child_watch() = default;
  child_watch(const child_watch&) = delete;
  child_watch& operator=(const child_watch&) = delete;
  ~child_watch();
};

// Starts watching pid (a child of this process).
void watch_open(child_watch& watch, pid_t pid);
// After poll found watch.fd readable: true when pid has ended (a SIGCHLD of
// another child wakes the watch too).
bool watch_ended(child_watch& watch, pid_t pid);
// Stops watching; also done on destruction.
void watch_close(child_watch& watch);
