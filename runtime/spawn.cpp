// Starting a program in a child process, and watching for the child's end.
#include "runtime/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#if defined(__linux__) && !defined(CIFSCTL_POSIX_ONLY)
#include <sys/syscall.h>
#elif defined(__FreeBSD__) && !defined(CIFSCTL_POSIX_ONLY)
#include <sys/event.h>
#endif

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

namespace {

// ---------------------------------------------------------------------------
// Platform accelerations, each beside the plain POSIX way that does the same.

#if defined(__linux__) && !defined(CIFSCTL_POSIX_ONLY)

// close_range(2) by its number (glibc has a wrapper only from 2.34 on).
// False where the kernel has none (before 5.9): the caller closes one by one.
bool close_range_fast(int first, int last) {
#ifdef SYS_close_range
  unsigned end = last < 0 ? ~0U : static_cast<unsigned>(last);
  return ::syscall(SYS_close_range, static_cast<unsigned>(first), end, 0U) == 0;
#else
  (void)first;
  (void)last;
  return false;
#endif
}

// A pidfd (close-on-exec, readable once the process has ended) by the
// number of pidfd_open(2), which glibc wraps only from 2.36 on. -1 where the
// kernel has none (before 5.3): the caller takes the POSIX way.
int open_exit_fd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
#else
  (void)pid;
  return -1;
#endif
}

#elif defined(__FreeBSD__) && !defined(CIFSCTL_POSIX_ONLY)

bool close_range_fast(int first, int last) {
  unsigned end = last < 0 ? ~0U : static_cast<unsigned>(last);
  return ::close_range(static_cast<unsigned>(first), end, 0) == 0;
}

// A kqueue with a process filter for the child's exit; the kqueue itself
// polls readable once the event is there, and a fork never inherits it. A
// child that is already a zombie is either reported at once or refused with
// ESRCH (older kernels); -1 then sends the caller the POSIX way, which
// checks for an ended child first.
int open_exit_fd(pid_t pid) {
  int kq = ::kqueue();
  if (kq < 0)
    return -1;
  struct kevent change;
  EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
         nullptr);
  if (::kevent(kq, &change, 1, nullptr, 0, nullptr) < 0) {
    ::close(kq);
    return -1;
  }
  return kq;
}

#else

bool close_range_fast(int, int) {
  return false;
}

int open_exit_fd(pid_t) {
  return -1;
}

#endif

// ---------------------------------------------------------------------------
// The child. Between fork and exec only async-signal-safe calls are made;
// everything else was prepared by the parent.

struct child_setup {
  const spawn_plan* plan = nullptr;
  int report_fd = -1;  // write end of the failure pipe (close-on-exec)
  int null_fd = -1;    // /dev/null, or -1 with null_error
  int null_error = 0;
  int table_size = 0;  // descriptors below this are closed by close_others
  const char* const* shell_argv = nullptr;
};

int dup2_retry(int from, int to) {
  int r;
  do
    r = ::dup2(from, to);
  while (r < 0 && (errno == EINTR || errno == EBUSY));
  return r;
}

// Closes first to last (-1: to the end of the descriptor table).
void close_span(int first, int last, int table_size) {
  if (last >= 0 && first > last)
    return;
  if (close_range_fast(first, last))
    return;
  int end = last < 0 ? table_size : std::min(last + 1, table_size);
  for (int fd = first; fd < end; ++fd)
    ::close(fd);
}

[[noreturn]] void child_fail(const child_setup& s, spawn_step step, int error, int status) {
  spawn_failure failure;
  failure.step = step;
  failure.error = error;
  failure.stderr_open = ::fcntl(2, F_GETFD) != -1;
  // One write, far below PIPE_BUF: it arrives whole or not at all.
  ssize_t n = ::write(s.report_fd, &failure, sizeof failure);
  (void)n;
  ::_exit(status == exit_with_errno ? error : status);
}

// Puts one planned descriptor onto target. False with errno set when a step
// that must succeed fails.
bool place_fd(const child_setup& s, const fd_plan& p, int target) {
  switch (p.action) {
    case fd_action::inherit:
      return true;
    case fd_action::replace:
      ::close(target);
      dup2_retry(p.source, target);
      return true;
    case fd_action::null:
      if (s.null_fd < 0) {
        errno = s.null_error;
        return false;
      }
      return dup2_retry(s.null_fd, target) >= 0;
    case fd_action::move: {
      int r = dup2_retry(p.source, target);
      errno_keeper keep;
      ::close(p.source);
      return r >= 0;
    }
  }
  return true;
}

[[noreturn]] void run_child(const child_setup& s) {
  const spawn_plan& p = *s.plan;
  if (p.dir && ::chdir(p.dir) != 0)
    child_fail(s, spawn_step::dir, errno, p.dir_status);
  if (p.new_session && ::setsid() < 0)
    child_fail(s, spawn_step::session, errno, p.session_status);
  for (int target = 0; target < 3; ++target)
    if (!place_fd(s, p.fds[target], target))
      child_fail(s, spawn_step::fds, errno, p.fds_status);
  if (p.close_others) {
    // The failure pipe stays open until exec closes it.
    close_span(3, s.report_fd - 1, s.table_size);
    close_span(s.report_fd + 1, -1, s.table_size);
  }
  ::execv(p.path, const_cast<char* const*>(p.argv));
  if (errno == ENOEXEC && s.shell_argv)
    ::execv(paths::sh, const_cast<char* const*>(s.shell_argv));
  child_fail(s, spawn_step::exec, errno, p.exec_status);
}

// ---------------------------------------------------------------------------
// The parent's preparations.

// fd itself when it is at least low, else a close-on-exec copy at low or
// above (fd is closed either way). -1 with errno set on failure.
int move_up(int fd, int low) {
  if (fd < 0 || fd >= low)
    return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, low);
  errno_keeper keep;
  ::close(fd);
  return moved;
}

bool move_pipe_up(int fds[2], int low) {
  fds[0] = move_up(fds[0], low);
  fds[1] = move_up(fds[1], low);
  if (fds[0] >= 0 && fds[1] >= 0)
    return true;
  errno_keeper keep;
  for (int i = 0; i < 2; ++i)
    if (fds[i] >= 0)
      ::close(fds[i]);
  return false;
}

// The lowest number for the parent's own descriptors of a start: above 2,
// and above every source of the plan that is not open (its dup fails in the
// child), so that such a source can never name the failure pipe or
// /dev/null instead.
int lowest_own_fd(const spawn_plan& plan, int table_size) {
  int low = 3;
  for (const fd_plan& p : plan.fds) {
    bool dups = p.action == fd_action::move || p.action == fd_action::replace;
    if (dups && p.source >= low && p.source < table_size && ::fcntl(p.source, F_GETFD) < 0)
      low = p.source + 1;
  }
  return low;
}

bool needs_null(const spawn_plan& plan) {
  for (const fd_plan& p : plan.fds)
    if (p.action == fd_action::null)
      return true;
  return false;
}

void open_null(child_setup& s, int low) {
  int fd;
  do
    fd = ::open(paths::dev_null, O_RDWR | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  s.null_fd = move_up(fd, low);
  s.null_error = s.null_fd < 0 ? errno : 0;
}

// What execlp would run for a file without an interpreter line: /bin/sh with
// the file and the arguments after argv[0].
const char** make_shell_argv(const spawn_plan& plan) {
  size_t count = 0;
  while (plan.argv[count])
    ++count;
  auto** v = static_cast<const char**>(mem_alloc((count + 2) * sizeof(const char*)));
  v[0] = paths::sh;
  v[1] = plan.path;
  for (size_t i = 1; i <= count; ++i)
    v[i + 1] = plan.argv[i];
  return v;
}

// Reads the child's failure record; end of file means the program runs.
void read_failure(int fd, spawn_failure* failure) {
  spawn_failure got;
  ssize_t n;
  do
    n = ::read(fd, &got, sizeof got);
  while (n < 0 && errno == EINTR);
  *failure = n == static_cast<ssize_t>(sizeof got) ? got : spawn_failure{};
}

}  // namespace

// ---------------------------------------------------------------------------

bool make_pipe(int fds[2]) {
  return ::pipe2(fds, O_CLOEXEC) == 0 && move_pipe_up(fds, 3);
}

pid_t spawn_child(const spawn_plan& plan, spawn_failure* failure) {
  *failure = spawn_failure{};
  int table_size = ::getdtablesize();
  int low = lowest_own_fd(plan, table_size);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0 || !move_pipe_up(report, low))
    return -1;
  unique_fd report_read(report[0]);
  unique_fd report_write(report[1]);

  child_setup s;
  s.plan = &plan;
  s.report_fd = report_write.get();
  if (needs_null(plan))
    open_null(s, low);
  unique_fd null_owner(s.null_fd);
  s.table_size = table_size;
  std::unique_ptr<const char*[], free_deleter> shell_argv(
      plan.shell_fallback ? make_shell_argv(plan) : nullptr);
  s.shell_argv = shell_argv.get();

  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0)
    return -1;
  if (pid == 0)
    run_child(s);
  // Only the child may hold the write end, or end of file never comes.
  report_write.reset();
  read_failure(report_read.get(), failure);
  return pid;
}

bool set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool write_all_no_sigpipe(int fd, const char* text, size_t length) {
  // The signal is blocked around the write, and a SIGPIPE raised by it is
  // taken back before the mask returns.
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  sigprocmask(SIG_BLOCK, &pipe_set, &old_set);

  bool ok = true;
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ok = false;
      break;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }

  if (!was_pending) {
    errno_keeper keep;
    const timespec no_wait{};
    while (sigtimedwait(&pipe_set, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  return ok;
}

pid_t wait_child(pid_t pid, int* status, int options) {
  pid_t r;
  do
    r = ::waitpid(pid, status, options);
  while (r < 0 && errno == EINTR);
  return r;
}

bool child_ended(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  errno_keeper keep;
  int r;
  do
    r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  while (r < 0 && errno == EINTR);
  return r < 0 || info.si_pid != 0;
}

// ---------------------------------------------------------------------------
// The watch. The SIGCHLD way: the handler writes one byte into a pipe that
// is polled beside the child's own pipes, so no wake-up is lost between a
// check and the poll, and no timer is needed.

namespace {

volatile sig_atomic_t sigchld_fd = -1;  // write end of the open watch's pipe

extern "C" void note_sigchld(int) {
  errno_keeper keep;
  char byte = 0;
  ssize_t n = ::write(sigchld_fd, &byte, 1);  // non-blocking: a full pipe is awake anyway
  (void)n;
}

void open_sigchld_watch(child_watch& watch, pid_t pid) {
  int fds[2];
  if (!make_pipe(fds))
    return;
  set_nonblocking(fds[0]);
  set_nonblocking(fds[1]);
  watch.fd = fds[0];
  watch.signal_fd = fds[1];
  sigchld_fd = fds[1];

  struct sigaction action {};
  action.sa_handler = note_sigchld;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  ::sigaction(SIGCHLD, &action, &watch.old_action);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_UNBLOCK, &chld, &watch.old_mask);
  // A child that ended before the handler was in place signalled the old one.
  if (child_ended(pid))
    note_sigchld(SIGCHLD);
}

}  // namespace

void watch_open(child_watch& watch, pid_t pid) {
  watch_close(watch);
  errno_keeper keep;
  watch.fd = open_exit_fd(pid);
  if (watch.fd < 0)
    open_sigchld_watch(watch, pid);
}

bool watch_ended(child_watch& watch, pid_t pid) {
  if (watch.signal_fd >= 0) {
    errno_keeper keep;
    char bytes[64];
    while (::read(watch.fd, bytes, sizeof bytes) > 0) {
    }
  }
  return child_ended(pid);
}

void watch_close(child_watch& watch) {
  errno_keeper keep;
  if (watch.signal_fd >= 0) {
    ::sigaction(SIGCHLD, &watch.old_action, nullptr);
    ::sigprocmask(SIG_SETMASK, &watch.old_mask, nullptr);
    sigchld_fd = -1;
    ::close(watch.signal_fd);
    watch.signal_fd = -1;
  }
  if (watch.fd >= 0)
    ::close(watch.fd);
  watch.fd = -1;
}

child_watch::~child_watch() {
  watch_close(*this);
}
