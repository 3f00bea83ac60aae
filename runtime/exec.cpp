// Program execution: running other programs by path.
#include "runtime/exec.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"
#include "runtime/product_conf.h"
#include "runtime/spawn.h"

namespace {

constexpr int fixed_argv_size = 101; // argv[0], up to 99 arguments, null

// Output buffered by stdio before a fork would otherwise be written twice
// when a child ends through exit(3).
void flush_streams() {
  std::fflush(nullptr);
}

// Waits for pid and turns its end into a runner result: the exit status, or
// -1 when it was ended by a signal or could not be collected. Like every
// check of the child in the capture loop, the wait starts with errno
// cleared; after a normal end errno is clear again, also when an
// interrupted wait was retried.
int collect_child(pid_t pid) {
  int status = 0;
  errno = 0;
  if (wait_child(pid, &status, 0) < 0)
    return -1;
  errno = 0;
  if (WIFSIGNALED(status))
    return -1;
  return WEXITSTATUS(status);
}

// ---------------------------------------------------------------------------
// The pump: reads the read ends of a child's pipes until each reaches end of
// file, or until the child has ended and what it left in the pipes has been
// read. The second way out matters when a grandchild keeps a write end open:
// its output is not the child's, and waiting for it could take forever.

enum class sink_kind {
  text,   // appended to a heap text
  relay,  // each chunk reported as a message
};

enum class read_fault {
  pipe_message,    // "fork_exec*: read(pipe) failed" on standard error
  capture_report,  // "Cannot read child output" through the reporter
  quiet,           // reading just stops
};

struct pipe_sink {
  int fd = -1;  // read end; -1 once closed
  sink_kind kind = sink_kind::text;
  read_fault fault = read_fault::quiet;
  char* text = nullptr;  // sink_kind::text: null until the first byte
  size_t size = 0;
  size_t length = 0;
  bool failed = false;  // reading stopped on an error
};

void close_sink(pipe_sink& sink) {
  if (sink.fd >= 0) {
    errno_keeper keep;
    ::close(sink.fd);
  }
  sink.fd = -1;
}

void sink_failed(pipe_sink& sink, int error) {
  close_sink(sink);
  sink.failed = true;
  switch (sink.fault) {
    case read_fault::pipe_message:
      direct_msg("fork_exec*: read(pipe) failed: %s\n", std::strerror(error));
      errno = 0;
      break;
    case read_fault::capture_report:
      errno = error;
      report_msg(0, "Cannot read child output:\n%s", std::strerror(error));
      break;
    case read_fault::quiet:
      break;
  }
}

void grow_text(pipe_sink& sink) {
  size_t size = sink.size + text_size;
  char* grown = static_cast<char*>(std::realloc(sink.text, size));
  if (!grown)
    fatal("Cannot allocate memory");
  sink.text = grown;
  sink.size = size;
}

// Reads once, at most limit bytes. Returns the count read; 0 at end of file
// or after a failure (the sink is then closed) and -1 when nothing is there
// yet.
ssize_t read_sink(pipe_sink& sink, size_t limit) {
  char chunk[text_size];
  char* into;
  size_t room;
  if (sink.kind == sink_kind::relay || !sink.text) {
    // A text stays null until a byte arrives, so the first read goes to the
    // stack; relayed chunks are at most 4095 bytes and are reported whole.
    into = chunk;
    room = sizeof chunk - 1;
  } else {
    if (sink.length >= sink.size - 1)
      grow_text(sink);
    into = sink.text + sink.length;
    room = sink.size - sink.length - 1;
  }
  room = std::min(room, limit);

  ssize_t n;
  int error = 0;
  {
    errno_keeper keep;
    do
      n = ::read(sink.fd, into, room);
    while (n < 0 && errno == EINTR);
    if (n < 0)
      error = errno;
  }
  if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK))
    return -1;  // an empty non-blocking pipe is no failure
  if (n < 0) {
    errno = error;
    sink_failed(sink, error);
    return 0;
  }
  if (n == 0) {
    close_sink(sink);
    return 0;
  }

  size_t got = static_cast<size_t>(n);
  if (sink.kind == sink_kind::relay) {
    chunk[got] = '\0';
    report_msg(0, "%s", chunk);
    std::fflush(stderr);
  } else if (into == chunk) {
    grow_text(sink);
    std::memcpy(sink.text, chunk, got);
    sink.length = got;
  } else {
    sink.length += got;
  }
  return n;
}

// Reads what the pipe holds now and no more: a grandchild that goes on
// writing does not keep the runner.
void drain_sink(pipe_sink& sink) {
  int pending = 0;
  if (::ioctl(sink.fd, FIONREAD, &pending) < 0)
    pending = 0;
  size_t left = static_cast<size_t>(std::max(pending, 0));
  while (sink.fd >= 0 && left > 0) {
    ssize_t n = read_sink(sink, left);
    if (n <= 0)
      break;
    left -= static_cast<size_t>(n);
  }
}

void pump(pid_t pid, pipe_sink* sinks, int count) {
  // The child's end shows on a descriptor polled beside its pipes: no timer.
  child_watch watch;
  watch_open(watch, pid);
  for (;;) {
    pollfd fds[3];
    pipe_sink* polled[2];
    int n = 0;
    for (int i = 0; i < count; ++i) {
      if (sinks[i].fd >= 0) {
        fds[n] = {sinks[i].fd, POLLIN, 0};
        polled[n++] = &sinks[i];
      }
    }
    if (n == 0)
      break;  // every pipe at end of file: the caller waits for the child
    int watched = n;
    if (watch.fd >= 0)
      fds[watched++] = {watch.fd, POLLIN, 0};

    int ready = ::poll(fds, static_cast<nfds_t>(watched), -1);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      int error = errno;
      for (int i = 0; i < n; ++i)
        sink_failed(*polled[i], error);
      break;
    }
    for (int i = 0; i < n; ++i)
      if (fds[i].revents && polled[i]->fd >= 0)
        read_sink(*polled[i], SIZE_MAX);
    if (watched > n && fds[n].revents && watch_ended(watch, pid)) {
      for (int i = 0; i < count; ++i)
        if (sinks[i].fd >= 0)
          drain_sink(sinks[i]);
      break;
    }
  }
  for (int i = 0; i < count; ++i)
    close_sink(sinks[i]);
}

// Hands a captured text to the caller, terminated (a null text stays null).
char* finish_text(pipe_sink& sink) {
  if (sink.text)
    sink.text[sink.length] = '\0';
  return sink.text;
}

// ---------------------------------------------------------------------------
// Argument vectors.

struct vector_free {
  void operator()(const char** v) const { std::free(v); }
};
using heap_argv = std::unique_ptr<const char*[], vector_free>;

// A vector of the texts up to the null in args, with front (when not null)
// put before them. Ends the process with message when memory is exhausted.
heap_argv make_heap_argv(const char* front, va_list args, const char* message) {
  va_list counting;
  va_copy(counting, args);
  size_t count = 0;
  while (va_arg(counting, const char*))
    ++count;
  va_end(counting);

  size_t entries = count + 1 + (front ? 1 : 0);
  heap_argv v(static_cast<const char**>(std::malloc(entries * sizeof(const char*))));
  if (!v)
    fatal(message, std::strerror(errno));
  size_t i = 0;
  if (front)
    v[i++] = front;
  for (size_t k = 0; k < count; ++k)
    v[i++] = va_arg(args, const char*);
  v[i] = nullptr;
  return v;
}

// Fills the 101-entry vector: argv0, then the caller's texts up to and
// including the null; a 100th text and beyond are never read.
void fill_fixed_argv(const char* (&v)[fixed_argv_size], const char* argv0, va_list args) {
  std::fill(std::begin(v), std::end(v), nullptr);
  v[0] = argv0;
  for (int i = 1; i < fixed_argv_size - 1; ++i) {
    v[i] = va_arg(args, const char*);
    if (!v[i])
      break;
  }
  v[fixed_argv_size - 1] = nullptr;
}

// ---------------------------------------------------------------------------

int capture_run(char** out, char** err, const char* path, const char* const argv[]) {
  *out = nullptr;
  if (err)
    *err = nullptr;

  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (!make_pipe(out_pipe) || (err && !make_pipe(err_pipe)))
    fatal("fork_execv_getouterr: pipe() failed");
  if (!set_nonblocking(out_pipe[0]) || (err && !set_nonblocking(err_pipe[0])))
    fatal("fork_execv_getouterr: fcntl(O_NONBLOCK) failed");

  pid_t pid = fork_execv_pipes(0, out_pipe[1], err ? err_pipe[1] : 2, path, argv);
  // Only the child may hold the write ends, or end of file never comes.
  ::close(out_pipe[1]);
  if (err)
    ::close(err_pipe[1]);

  pipe_sink sinks[2];
  sinks[0].fd = out_pipe[0];
  sinks[0].fault = read_fault::pipe_message;
  sinks[1].fd = err_pipe[0];
  sinks[1].fault = read_fault::pipe_message;
  pump(pid, sinks, err ? 2 : 1);

  int result = collect_child(pid);
  *out = finish_text(sinks[0]);
  if (err)
    *err = finish_text(sinks[1]);
  return result;
}

// The plan for one of the core's descriptors: the target itself stays, -1
// is /dev/null, anything else is moved there.
fd_plan pipes_fd(int fd, int target) {
  if (fd == target)
    return {fd_action::inherit, fd};
  if (fd == -1)
    return {fd_action::null, -1};
  return {fd_action::move, fd};
}

int exec_utility_path(const char* name, char (&path)[text_size]) {
  if (std::strchr(name, '/')) {
    report_msg(0, "Utility name '%s' is invalid. Use only utility name without path.", name);
    return -1;
  }
  const char* root = product_conf.product_root_d ? product_conf.product_root_d : "";
  // Cut at 4095 characters like every composed path.
  std::snprintf(path, sizeof path, "%s%s%s", root, paths::admin_bin_suffix, name);
  return 0;
}

// util_exec's result for pid, waited for with stops reported.
int util_exec_result(pid_t pid) {
  int status = 0;
  if (wait_child(pid, &status, WUNTRACED) < 0) {
    report_msg(0, "Error occured during waiting the child process with pid: %d: %s\n",
               static_cast<int>(pid), std::strerror(errno));
    return -1;
  }
  errno = 0;
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSTOPPED(status)) {
    report_msg(0, "The child process with pid %d stopped by signal %i\n", static_cast<int>(pid),
               WSTOPSIG(status));
    return -1;
  }
  report_msg(0, "The child process with pid %d killed by signal %i\n", static_cast<int>(pid),
             WTERMSIG(status));
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The core.

pid_t fork_execv_pipes(int in, int out, int err, const char* path, const char* const argv[],
                       int* start_error) {
  spawn_plan plan;
  plan.path = path;
  plan.argv = argv;
  plan.fds[0] = pipes_fd(in, 0);
  plan.fds[1] = pipes_fd(out, 1);
  plan.fds[2] = pipes_fd(err, 2);
  plan.close_others = true;
  spawn_failure failure;
  pid_t pid = spawn_child(plan, &failure);
  if (pid < 0)
    fatal("fork_execv_pipes: fork() failed");

  // The child's message goes where its standard error pointed when it
  // failed: the inherited one while the descriptors were being put in place,
  // err once they were.
  int child_err = failure.stderr_open ? 2 : -1;
  if (failure.step == spawn_step::fds)
    child_msg(child_err, "fork_execv: dup() failed: %s\n", std::strerror(failure.error));
  else if (failure.step == spawn_step::exec)
    child_msg(failure.stderr_open ? err : -1, "fork_execv: execv(\"%s\") failed: %s\n", path,
              std::strerror(failure.error));
  if (start_error)
    *start_error = failure.step == spawn_step::none ? 0 : failure.error;
  return pid;
}

pid_t fork_execl_pipes(int in, int out, int err, const char* path, ...) {
  va_list args;
  va_start(args, path);
  heap_argv v = make_heap_argv(nullptr, args, "malloc() failed: %s");
  va_end(args);
  return fork_execv_pipes(in, out, err, path, v.get());
}

// ---------------------------------------------------------------------------
// Capture runners.

int fork_execv_getout(char** out, const char* path, const char* const argv[]) {
  return capture_run(out, nullptr, path, argv);
}

int fork_execl_getout(char** out, const char* path, ...) {
  va_list args;
  va_start(args, path);
  heap_argv v = make_heap_argv(nullptr, args, "malloc() failed: %s");
  va_end(args);
  return fork_execv_getout(out, path, v.get());
}

int fork_execv_getouterr(char** out, char** err, const char* path, const char* const argv[]) {
  return capture_run(out, err, path, argv);
}

int fork_execl_getouterr(char** out, char** err, const char* path, ...) {
  va_list args;
  va_start(args, path);
  heap_argv v = make_heap_argv(nullptr, args, "malloc() failed: %s");
  va_end(args);
  return fork_execv_getouterr(out, err, path, v.get());
}

// ---------------------------------------------------------------------------
// Reporting runners.

int exec_report(const char* path, const char* const argv[], int quiet) {
  char* out_raw = nullptr;
  char* err_raw = nullptr;
  int result = fork_execv_getouterr(&out_raw, &err_raw, path, argv);
  unique_text out(out_raw);
  unique_text err(err_raw);
  if (result != 0 && quiet == 0) {
    if (out) {
      errno_keeper keep;
      std::fputs(out.get(), stderr);
      std::fflush(stderr);
    }
    if (err)
      report_msg(0, "%s execution failed:\n%s", path, err.get());
    else
      report_msg(0, "%s execution failed (no output)", path);
  }
  return result;
}

int exec_report(const char* path, const char* const argv[]) {
  return exec_report(path, argv, 0);
}

int execl_report(const char* path, ...) {
  va_list args;
  va_start(args, path);
  heap_argv v = make_heap_argv(nullptr, args, "malloc() failed: %s");
  va_end(args);
  return exec_report(path, v.get(), 0);
}

int exec_program(const char* path, ...) {
  const char* v[fixed_argv_size];
  va_list args;
  va_start(args, path);
  fill_fixed_argv(v, path, args);
  va_end(args);
  return exec_report(path, v, 0);
}

int exec_utility(const char* name, ...) {
  char path[text_size];
  if (exec_utility_path(name, path) < 0)
    return -1;
  const char* v[fixed_argv_size];
  va_list args;
  va_start(args, name);
  fill_fixed_argv(v, path, args);
  va_end(args);
  return exec_report(path, v, 0);
}

int exec_utility_argv(const char* name, const char* const argv[]) {
  char path[text_size];
  if (exec_utility_path(name, path) < 0)
    return -1;
  return exec_report(path, argv, 0);
}

// ---------------------------------------------------------------------------
// Runners of their own design.

int util_exec(int fd_in, int fd_out, const char* path, const char* const argv[]) {
  if ((fd_in >= 0 && fd_in <= 2) || (fd_out >= 0 && fd_out <= 2)) {
    report_msg(0, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
    return -1;
  }
  int err_pipe[2];
  if (!make_pipe(err_pipe)) {
    report_msg(0, "Error occured during pipe():\n%s", std::strerror(errno));
    return -1;
  }
  unique_fd write_end(err_pipe[1]);
  // The caller's descriptors and the pipe replace 0, 1 and 2; every other
  // descriptor stays as inherited.
  spawn_plan plan;
  plan.path = path;
  plan.argv = argv;
  plan.fds[0] = {fd_action::replace, fd_in};
  plan.fds[1] = {fd_action::replace, fd_out};
  plan.fds[2] = {fd_action::replace, write_end.get()};
  spawn_failure failure;
  pid_t pid = spawn_child(plan, &failure);
  if (pid < 0)
    fatal("Error occured during fork():\n%s", std::strerror(errno));
  if (failure.step == spawn_step::exec)
    child_msg(failure.stderr_open ? write_end.get() : -1, "Error occured during execv():\n%s%s",
              std::strerror(failure.error),
              failure.error == EFAULT ? ", possible reason - NULL parameter is absent in "
                                        "util_exec(path, arg1, arg2, NULL) call.\n"
                                      : ".\n");
  write_end.reset();

  // Non-blocking only so that a spurious wake-up cannot stall the relay;
  // without it the reads are still bounded by what poll reported.
  set_nonblocking(err_pipe[0]);
  pipe_sink sink;
  sink.fd = err_pipe[0];
  sink.kind = sink_kind::relay;
  sink.fault = read_fault::quiet;
  pump(pid, &sink, 1);
  return util_exec_result(pid);
}

int capture_output(char** out, const char* path, const char* const argv[]) {
  *out = nullptr;
  int pipe_fds[2];
  if (!make_pipe(pipe_fds)) {
    report_msg(0, "Cannot create pipe:\n%s", std::strerror(errno));
    return -1;
  }
  unique_fd write_end(pipe_fds[1]);
  pipe_sink sink;
  sink.text = static_cast<char*>(std::malloc(text_size));
  if (!sink.text)
    fatal("Cannot allocate memory");
  sink.size = text_size;

  // Standard output and error both go into the pipe; input is inherited.
  spawn_plan plan;
  plan.path = path;
  plan.argv = argv;
  plan.fds[1] = {fd_action::replace, write_end.get()};
  plan.fds[2] = {fd_action::replace, write_end.get()};
  spawn_failure failure;
  pid_t pid = spawn_child(plan, &failure);
  if (pid < 0)
    fatal("Cannot fork():\n%s", std::strerror(errno));
  if (failure.step == spawn_step::exec)
    child_msg(write_end.get(), "Cannot exec %s:\n%s", path, std::strerror(failure.error));
  write_end.reset();

  set_nonblocking(pipe_fds[0]);
  sink.fd = pipe_fds[0];
  sink.fault = read_fault::capture_report;
  pump(pid, &sink, 1);

  int result = collect_child(pid);
  unique_text text(finish_text(sink));
  if (result == 0) {
    *out = text.release();
    return 0;
  }
  if (result == 255)
    report_msg(0, "error:\n%s", text.get());
  else
    report_msg(0, "utility %s failed (result=%d):\n%s", path, result, text.get());
  return result;
}

int capture_output_args(char** out, const char* path, ...) {
  va_list args;
  va_start(args, path);
  heap_argv v = make_heap_argv(path, args, "Cannot allocate buffer:\n%s");
  va_end(args);
  return capture_output(out, path, v.get());
}

int exec_silent(const char* path, ...) {
  const char* v[fixed_argv_size];
  va_list args;
  va_start(args, path);
  fill_fixed_argv(v, path, args);
  va_end(args);

  // Everything on /dev/null; other inherited descriptors stay open.
  spawn_plan plan;
  plan.path = path;
  plan.argv = v;
  for (fd_plan& fd : plan.fds)
    fd.action = fd_action::null;
  spawn_failure failure;
  pid_t pid = spawn_child(plan, &failure);
  if (pid < 0)
    return 1;
  // Its own child by id: a wait for any child could take someone else's.
  int status = 0;
  if (wait_child(pid, &status, 0) < 0)
    return 1;
  return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Through the shell.

int popen_exec(char** out, const char* command) {
  flush_streams();
  FILE* stream = ::popen(command, "r");
  if (!stream) {
    direct_msg(
        "popen_exec: failed to execute command: fork or pipe calls failed, or cannon allocate "
        "memory\n");
    return -1;
  }
  size_t capacity = text_size;
  char* text = static_cast<char*>(std::malloc(capacity + 1));
  if (!text) {
    direct_msg("popen_exec: failed to allocate memory\n");
    errno_keeper keep;
    ::pclose(stream);  // the shell is still collected
    return -1;
  }
  size_t length = 0;
  for (;;) {
    size_t n = std::fread(text + length, 1, capacity - length, stream);
    if (n == 0)
      break;
    length += n;
    if (length == capacity) {
      char* grown = static_cast<char*>(std::realloc(text, length + text_size + 1));
      if (!grown) {
        direct_msg("popen_exec: warning: failed to allocate memory for command output buffer\n");
        length = 0;
        break;
      }
      text = grown;
      capacity = length + text_size;
    }
  }
  text[length] = '\0';

  int status = ::pclose(stream);
  int result;
  if (status == -1) {
    result = -1;
  } else {
    errno = 0;
    // A command ended by a signal has failed; it does not exit with 0.
    result = WIFSIGNALED(status) ? -1 : WEXITSTATUS(status);
  }
  *out = text;
  return result;
}

int popen_exec_report(const char* command) {
  char* out_raw = nullptr;
  errno = 0;
  int result = popen_exec(&out_raw, command);
  unique_text out(out_raw);
  // -1 with errno clear is a command ended by a signal: it did run.
  if (result == -1 && errno != 0)
    report_msg(0, "popen_exec: failed to execute command: %s\n", std::strerror(errno));
  else if (result != 0)
    report_msg(0, "popen_exec: command failed code: %d , %s\n", result,
               out && out.get()[0] ? out.get() : "error: none");
  return result;
}

// ---------------------------------------------------------------------------

char* find_in_path(const char* name, const char* list, int executable) {
  if (!list)
    list = std::getenv("PATH");
  if (!list)
    return nullptr;
  const char* rest = list;
  while (*rest) {
    const char* colon = std::strchr(rest, ':');
    int element = static_cast<int>(colon ? colon - rest : std::strlen(rest));
    char* candidate = alloc_printf("%.*s/%s", element, rest, name);
    struct stat st;
    if (::stat(candidate, &st) == 0 && (!executable || (st.st_mode & 0111) == 0111))
      return candidate;
    std::free(candidate);
    if (!colon)
      break;
    rest = colon + 1;
  }
  return nullptr;
}
