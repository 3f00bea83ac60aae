// The spawn core on its own: children of a process that has a standard
// descriptor closed, a script without an interpreter line, every failed step
// of the child as the parent learns of it, and a write to a reader that has
// gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "runtime/spawn.h"
#include "tests/harness.h"

namespace {

// Writes to /tmp/fds the descriptors below 10 that the shell holds once
// executed (the core's own are closed on exec by then), and " null" when
// descriptor $1 is /dev/null; with $2 set, writes "piped" to descriptor $1.
constexpr char list_fds[] =
    "s=; for fd in 0 1 2 3 4 5 6 7 8 9; do [ -L /proc/$$/fd/$fd ] && s=$s$fd; done; "
    "[ /proc/$$/fd/$1 -ef /dev/null ] && s=\"$s null\"; "
    "echo \"$s\" >/tmp/fds; [ -z \"$2\" ] || echo piped >&$1";

struct outcome {
  spawn_failure failure;
  int status = -1;  // exit status, or 128 + signal number
};

outcome spawn_and_wait(const spawn_plan& plan) {
  outcome o;
  pid_t pid = spawn_child(plan, &o.failure);
  int status = pid > 0 ? wait_program(pid) : 0;
  o.status = pid <= 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return o;
}

// What the listing shell started by plan wrote, with target as $1 (and
// "piped" written there when pipe_it); "failed" when the start failed.
std::string listed(spawn_plan plan, int target, bool pipe_it = false) {
  const std::string which = std::to_string(target);
  const char* const argv[] = {"sh", "-c", list_fds, "sh", which.c_str(), pipe_it ? "y" : nullptr,
                              nullptr};
  plan.path = "/bin/sh";
  plan.argv = argv;
  plan.close_others = true;
  unlink("/tmp/fds");
  outcome o = spawn_and_wait(plan);
  return o.failure.step == spawn_step::none && o.status >= 0 ? read_file("/tmp/fds") : "failed\n";
}

}  // namespace

// With 0, 1 or 2 closed, the pipes a process makes keep off the closed
// number; a child inherits it closed, and /dev/null or a pipe end put there
// reaches the program.
TEST(Spawn, StandardDescriptorClosedInTheParent) {
  for (int closed = 0; closed < 3; ++closed) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    run_result r = run_in_child([closed] {
      int report = fcntl(1, F_DUPFD_CLOEXEC, 10);
      close(closed);
      int p[2];
      bool above = make_pipe(p) && p[0] > 2 && p[1] > 2;
      spawn_plan plan;
      std::string seen = listed(plan, closed);
      plan.fds[closed] = {fd_action::null, -1};
      seen += listed(plan, closed);
      plan.fds[closed] = {fd_action::move, p[1]};
      seen += listed(plan, closed, true);
      char got[16] = {};
      ssize_t n = read(p[0], got, sizeof got - 1);
      dprintf(report, "%d|%s|%s", above, seen.c_str(), n > 0 ? got : "");
    });
    std::string others = "012";
    others.erase(static_cast<size_t>(closed), 1);
    EXPECT_EQ("1|" + others + "\n012 null\n012\n|piped\n", r.out);
  }

  // A replacement from a closed descriptor leaves the target closed, also
  // when that number is the lowest free one, where the core's own pipe
  // would otherwise land and be put in its place.
  int lowest = open("/dev/null", O_RDONLY);
  close(lowest);
  spawn_plan plan;
  plan.fds[1] = {fd_action::replace, lowest};
  EXPECT_EQ("02\n", listed(plan, 1));
}

// A file without "#!" runs through /bin/sh only when the plan asks for it;
// otherwise its exec fails with ENOEXEC.
TEST(Spawn, ScriptWithoutAnInterpreterLine) {
  write_file("/tmp/plain", "echo \"ran $0 $1\" >/tmp/plain.out\n", 0755);
  const char* const argv[] = {"plain", "one", nullptr};
  spawn_plan plan;
  plan.path = "/tmp/plain";
  plan.argv = argv;
  plan.shell_fallback = true;
  outcome o = spawn_and_wait(plan);
  EXPECT_EQ(spawn_step::none, o.failure.step);
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("ran /tmp/plain one\n", read_file("/tmp/plain.out"));

  unlink("/tmp/plain.out");
  plan.shell_fallback = false;
  o = spawn_and_wait(plan);
  EXPECT_EQ(spawn_step::exec, o.failure.step);
  EXPECT_EQ(ENOEXEC, o.failure.error);
  EXPECT_EQ(255, o.status);
  EXPECT_FALSE(file_exists("/tmp/plain.out"));
}

// Each step that fails in the child reaches the parent as the step and the
// child's errno; the child ends with the plan's status for that step, or
// with the errno itself for exit_with_errno.
TEST(Spawn, FailedStepsReachTheParentWithTheChildsErrno) {
  write_file("/tmp/text", "plain text\n", 0644);
  const int closed = 200;  // open in no process of the test
  struct failure_case {
    const char* name;
    const char* path;
    const char* dir;
    fd_plan out, err;
    int exec_status;
    spawn_step step;
    int error;
    int status;
    bool stderr_open;
  };
  const failure_case cases[] = {
      {"missing program", "/no/such/tool", nullptr, {}, {}, 201, spawn_step::exec, ENOENT, 201,
       true},
      {"not executable", "/tmp/text", nullptr, {}, {}, exit_with_errno, spawn_step::exec, EACCES,
       EACCES, true},
      {"missing directory", "/bin/true", "/no/such/dir", {}, {}, 201, spawn_step::dir, ENOENT, 202,
       true},
      {"moved from a closed descriptor", "/bin/true", nullptr, {fd_action::move, closed}, {}, 201,
       spawn_step::fds, EBADF, EBADF, true},
      {"standard error replaced from a closed descriptor", "/no/such/tool", nullptr, {},
       {fd_action::replace, closed}, 201, spawn_step::exec, ENOENT, 201, false},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* const argv[] = {"tool", nullptr};
    spawn_plan plan;
    plan.path = c.path;
    plan.argv = argv;
    plan.dir = c.dir;
    plan.fds[1] = c.out;
    plan.fds[2] = c.err;
    plan.dir_status = 202;
    plan.fds_status = exit_with_errno;
    plan.exec_status = c.exec_status;
    outcome o = spawn_and_wait(plan);
    EXPECT_EQ(c.step, o.failure.step);
    EXPECT_EQ(c.error, o.failure.error);
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.stderr_open, o.failure.stderr_open);
  }
}

// Writing to a pipe whose reader has gone fails with EPIPE; the SIGPIPE it
// raises neither ends the process nor stays pending.
TEST(Spawn, WriteToAGoneReaderRaisesNoSignal) {
  run_result r = run_in_child([] {
    signal(SIGPIPE, SIG_DFL);  // the harness ignores it in the test process
    int p[2];
    if (!make_pipe(p))
      _exit(3);
    close(p[0]);
    bool written = write_all_no_sigpipe(p[1], "x", 1);
    int error = errno;
    sigset_t pending;
    sigpending(&pending);
    std::printf("%d %d %d\n", written, error == EPIPE, sigismember(&pending, SIGPIPE));
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("0 1 0\n", r.out);
}
