// Program execution: running other programs by path.
//
// Every runner executes its program with execv (only popen_exec goes through
// /bin/sh), flushes stdout and stderr before it forks, and except for
// fork_execv_pipes waits for its child before it returns. Argument lists are
// null-terminated vectors whose first element is the child's argv[0]; the
// texts are never copied. Runner results: the child's exit status 0 to 255,
// or -1 when it was ended by a signal, was not collected or the runner failed.
// Fatal failures (fork, pipe, memory) end the process through report_msg.
#pragma once

#include <sys/types.h>

// Forks and runs path with argv, with in, out and err on the child's
// descriptors 0, 1 and 2: a value equal to its target is left as inherited,
// -1 puts /dev/null there, any other value is dup'ed onto the target and
// closed (so one descriptor cannot serve two targets). Every other descriptor
// is closed in the child. Returns the child's id; the caller must wait for it.
// A child that fails before its program runs has its message written as it
// would have written it, and start_error, when given, receives that
// failure's errno (0 once the program runs), so that a caller reports the
// cause rather than what talking to the dead child did.
pid_t fork_execv_pipes(int in, int out, int err, const char* path, const char* const argv[],
                       int* start_error = nullptr);
// As fork_execv_pipes, with the argument texts (argv[0] first) ending in null.
[[gnu::sentinel]] pid_t fork_execl_pipes(int in, int out, int err, const char* path, ...);

// Runs path with argv and captures its standard output into *out (heap text,
// owned by the caller, who frees it; stays null when the child writes
// nothing); standard input and error are inherited. Returns the child's result.
int fork_execv_getout(char** out, const char* path, const char* const argv[]);
// As fork_execv_getout, with the argument texts (argv[0] first) ending in null.
[[gnu::sentinel]] int fork_execl_getout(char** out, const char* path, ...);

// As fork_execv_getout, also capturing standard error into *err (heap text
// owned by the caller; null when the child writes nothing there).
int fork_execv_getouterr(char** out, char** err, const char* path, const char* const argv[]);
// As fork_execv_getouterr, with the argument texts (argv[0] first) ending in null.
[[gnu::sentinel]] int fork_execl_getouterr(char** out, char** err, const char* path, ...);

// Runs path with argv, discarding its output. Returns the child's result;
// when it is not 0 and quiet is 0, the child's standard output has been
// copied to standard error and the failure reported with its standard error.
int exec_report(const char* path, const char* const argv[], int quiet);
// exec_report with quiet = 0.
int exec_report(const char* path, const char* const argv[]);

// exec_report (quiet = 0) of path with the argument texts (argv[0] first)
// ending in null.
[[gnu::sentinel]] int execl_report(const char* path, ...);

// Runs path with the arguments after argv[0] (argv[0] is path), ending in a
// null pointer; at most 99 are used. Returns the child's exit status, or -1;
// a failed run has been reported with the child's own standard error text.
[[gnu::sentinel]] int exec_program(const char* path, ...);

// Runs the panel utility <product root>/admin/bin/<name> (argv[0] is that
// path) with the arguments ending in null, at most 99 used. Returns -1 after
// a report when name contains "/", else as exec_report with quiet = 0.
[[gnu::sentinel]] int exec_utility(const char* name, ...);
// As exec_utility, with the whole argument list (argv[0] included) supplied
// by the caller.
int exec_utility_argv(const char* name, const char* const argv[]);

// Runs path with argv on the caller's fd_in and fd_out (neither may be 0, 1
// or 2); every line the child writes to standard error is relayed through
// report_msg(0). Returns the child's exit status, or -1 (reported) when the
// child was ended or stopped by a signal or could not be waited for.
int util_exec(int fd_in, int fd_out, const char* path, const char* const argv[]);

// Runs path with argv, its standard output and error merged into *out.
// Returns 0 with *out a heap text owned by the caller (empty when nothing was
// written); otherwise reports the output, frees it, sets *out to null and
// returns the child's status or -1.
int capture_output(char** out, const char* path, const char* const argv[]);
// As capture_output with argv[0] = path and the arguments ending in null.
[[gnu::sentinel]] int capture_output_args(char** out, const char* path, ...);

// Runs path (argv[0] = path) with the arguments ending in null, at most 99
// used, on /dev/null. Returns 0 when the program exited with status 0, and 1
// when it exited with another status, was ended by a signal or could not be
// started.
[[gnu::sentinel]] int exec_silent(const char* path, ...);

// Runs command through /bin/sh and captures its standard output into *out
// (heap text owned by the caller; left alone when the command cannot be
// started). Returns the command's exit status, or -1 when it could not be
// run or was ended by a signal.
int popen_exec(char** out, const char* command);
// popen_exec, reporting a failure with the output; the output is freed.
int popen_exec_report(const char* command);

// The first "<dir>/<name>" that exists (and, when executable is non-zero,
// has all three execute bits) for dir in the colon-separated list (null:
// $PATH). Returns a heap text owned by the caller, or null.
char* find_in_path(const char* name, const char* list, int executable);
