// The runners: descriptors, captured bytes, results, messages, and children
// that are always collected, also when a grandchild keeps a pipe open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "tests/harness.h"

namespace {

// A fake tool: a shell script at path.
std::string tool(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
  return path;
}

// A data file of n bytes in a repeating pattern without NULs or newlines.
std::string data_file(size_t n) {
  std::string text(n, '\0');
  for (size_t i = 0; i < n; ++i)
    text[i] = static_cast<char>('A' + i % 53);
  std::string path = "/tmp/data." + std::to_string(n);
  write_file(path, text);
  return text;
}

std::string take(char*& text) {
  std::string s = text ? text : "<null>";
  std::free(text);
  text = nullptr;
  return s;
}

// Every child of this process has been collected.
bool no_children_left() {
  errno = 0;
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Reads fd to end of file.
std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    s.append(buf, static_cast<size_t>(n));
  return s;
}

template <size_t... I>
int exec_program_n(const char* path, const std::vector<std::string>& a, std::index_sequence<I...>) {
  return exec_program(path, a[I].c_str()..., static_cast<const char*>(nullptr));
}

}  // namespace

// ---------------------------------------------------------------------------
// fork_execv_pipes

TEST(Exec, PipesPutDescriptorsInPlaceAndNothingElse) {
  run_result r = run_in_child([] {
    // Descriptors the child must not see: one plain, one pipe.
    int stray = open("/dev/null", O_RDONLY);
    int stray_pipe[2];
    ASSERT_EQ(pipe(stray_pipe), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork_execl_pipes(
        -1, out[1], 2, "/bin/sh", "sh", "-c",
        "ls /proc/$$/fd; readlink /proc/$$/fd/0; echo to-err >&2", nullptr);
    close(out[1]);
    std::string seen = drain(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    printf("%s|%d|%d\n", seen.c_str(), WEXITSTATUS(status), stray);
  });
  // 0 is /dev/null, 1 the given pipe (dup'ed, its old number closed), 2 inherited.
  EXPECT_EQ(r.out.substr(0, r.out.find('|')), "0\n1\n2\n/dev/null\n");
  EXPECT_NE(r.out.find("|0|"), std::string::npos);
  EXPECT_EQ(r.err, "to-err\n");
}

TEST(Exec, PipesLeaveStandardDescriptorsGivenAsThemselves) {
  run_result r = run_in_child([] {
    printf("parent first\n");  // buffered: must come out before the child's
    pid_t pid = fork_execl_pipes(0, 1, 2, "/bin/sh", "sh", "-c", "echo out; echo err >&2",
                                 nullptr);
    int status = 0;
    waitpid(pid, &status, 0);
    printf("status %d\n", WEXITSTATUS(status));
  });
  EXPECT_EQ(r.out, "parent first\nout\nstatus 0\n");
  EXPECT_EQ(r.err, "err\n");
}

TEST(Exec, PipesChildFailuresEndWith255AndTheirMessage) {
  run_result r = run_in_child([] {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    // One descriptor for two targets: the second dup finds it closed.
    pid_t pid = fork_execl_pipes(-1, p[1], p[1], "/bin/true", "true", nullptr);
    int status = 0;
    waitpid(pid, &status, 0);
    printf("dup %d\n", WEXITSTATUS(status));
    pid = fork_execl_pipes(0, 1, 2, "/no/such/tool", "tool", nullptr);
    waitpid(pid, &status, 0);
    printf("exec %d\n", WEXITSTATUS(status));
  });
  EXPECT_EQ(r.out, "dup 255\nexec 255\n");
  EXPECT_EQ(r.err,
            "fork_execv: dup() failed: Bad file descriptor\n"
            "fork_execv: execv(\"/no/such/tool\") failed: No such file or directory\n");
}

// Output the parent has buffered is written once, before anything a child
// writes, whichever way the child ends.
TEST(Exec, BufferedOutputIsWrittenOnceAndFirst) {
  program_path = nullptr;
  run_result r = run_in_child([] {
    const char* const argv[] = {"x", nullptr};
    const char* const echo[] = {"echo", "child", nullptr};
    char* out = nullptr;
    printf("pending;");
    execl_report("/no/such/tool", "x", nullptr);
    printf("pending;");
    exec_silent("/no/such/tool", nullptr);
    printf("pending;");
    capture_output(&out, "/no/such/tool", argv);
    printf("pending;");
    int in = open("/dev/null", O_RDONLY);
    int o = dup(1);
    util_exec(in, o, "/bin/echo", echo);
    printf("pending;");
    pid_t pid = fork_execl_pipes(0, 1, 2, "/no/such/tool", "x", nullptr);
    waitpid(pid, nullptr, 0);
  });
  EXPECT_TEXT_EQ("pending;/no/such/tool execution failed:\n"
                 "fork_execv: execv(\"/no/such/tool\") failed: No such file or directory\n"
                 "pending;pending;error:\nCannot exec /no/such/tool:\nNo such file or directory\n"
                 "pending;child\npending;",
                 r.out);
}

// ---------------------------------------------------------------------------
// Capture runners

TEST(Exec, GetoutCapturesEveryByteOfEverySize) {
  for (size_t n : {1u, 4095u, 4096u, 4097u, 8191u, 8192u, 1u << 20}) {
    std::string expected = data_file(n);
    std::string path = "/tmp/data." + std::to_string(n);
    char* out = nullptr;
    ASSERT_EQ(fork_execl_getout(&out, "/bin/cat", "cat", path.c_str(), nullptr), 0) << n;
    ASSERT_NE(out, nullptr) << n;
    EXPECT_EQ(std::strlen(out), n);
    EXPECT_TRUE(std::string(out) == expected) << "bytes differ for size " << n;
    std::free(out);
  }
  EXPECT_TRUE(no_children_left());
}

TEST(Exec, GetouterrCapturesBothLargeStreamsWhole) {
  std::string expected = data_file(1u << 20);
  std::string small = data_file(8191);
  char* out = nullptr;
  char* err = nullptr;
  // Both pipes fill up at once: neither may stall the other.
  int r = fork_execl_getouterr(&out, &err, "/bin/sh", "sh", "-c",
                               "cat /tmp/data.8191 >&2 & cat /tmp/data.1048576; "
                               "cat /tmp/data.1048576 >&2; wait",
                               nullptr);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(take(out) == expected);
  std::string e = take(err);
  EXPECT_EQ(e.size(), expected.size() + small.size());
  EXPECT_TRUE(no_children_left());
}

TEST(Exec, CaptureResultsAndNullTexts) {
  std::string t = tool("/tmp/t", "case $1 in\n"
                                 "  quiet) exit 0;;\n"
                                 "  out) echo only-out; exit 1;;\n"
                                 "  err) echo only-err >&2; exit 2;;\n"
                                 "  both) echo o; echo e >&2; exit 3;;\n"
                                 "  kill) echo before; kill -9 $$;;\n"
                                 "esac\n");
  char* out = nullptr;
  char* err = nullptr;

  EXPECT_EQ(fork_execl_getouterr(&out, &err, t.c_str(), t.c_str(), "quiet", nullptr), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(err, nullptr);

  EXPECT_EQ(fork_execl_getouterr(&out, &err, t.c_str(), t.c_str(), "out", nullptr), 1);
  EXPECT_EQ(take(out), "only-out\n");
  EXPECT_EQ(err, nullptr);

  EXPECT_EQ(fork_execl_getouterr(&out, &err, t.c_str(), t.c_str(), "err", nullptr), 2);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(take(err), "only-err\n");

  EXPECT_EQ(fork_execl_getouterr(&out, &err, t.c_str(), t.c_str(), "both", nullptr), 3);
  EXPECT_EQ(take(out), "o\n");
  EXPECT_EQ(take(err), "e\n");

  EXPECT_EQ(fork_execl_getouterr(&out, &err, t.c_str(), t.c_str(), "kill", nullptr), -1);
  EXPECT_EQ(take(out), "before\n");
  EXPECT_EQ(err, nullptr);

  EXPECT_EQ(fork_execl_getouterr(&out, &err, "/no/such/tool", "tool", nullptr), 255);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(take(err), "fork_execv: execv(\"/no/such/tool\") failed: No such file or directory\n");

  EXPECT_EQ(fork_execl_getout(&out, t.c_str(), t.c_str(), "err", nullptr), 2);
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(no_children_left());
}

TEST(Exec, GetoutChildSeesOnlyItsStandardDescriptors) {
  int stray = open("/dev/null", O_RDONLY);
  ASSERT_GT(stray, 2);
  char* out = nullptr;
  EXPECT_EQ(fork_execl_getout(&out, "/bin/sh", "sh", "-c", "ls /proc/$$/fd", nullptr), 0);
  EXPECT_EQ(take(out), "0\n1\n2\n");
  close(stray);
}

TEST(Exec, RunnersLeaveNoDescriptorsOrChildrenBehind) {
  tool("/tmp/t", "echo out; echo err >&2; exit 1\n");
  int before = open_fds();
  run_result r = run_in_child([] {
    char* out = nullptr;
    char* err = nullptr;
    int base = open_fds();
    fork_execl_getout(&out, "/tmp/t", "t", nullptr);
    std::free(out);
    fork_execl_getouterr(&out, &err, "/tmp/t", "t", nullptr);
    std::free(out);
    std::free(err);
    execl_report("/tmp/t", "t", nullptr);
    capture_output_args(&out, "/tmp/t", nullptr);
    exec_silent("/tmp/t", nullptr);
    int in = open("/dev/null", O_RDONLY);
    int o = open("/dev/null", O_WRONLY);
    const char* const argv[] = {"t", nullptr};
    util_exec(in, o, "/tmp/t", argv);
    close(in);
    close(o);
    popen_exec(&out, "/tmp/t");
    std::free(out);
    printf("fds %d %d children %d\n", base, open_fds(), no_children_left());
  });
  EXPECT_NE(r.out.find("children 1\n"), std::string::npos) << r.out;
  std::string line = r.out.substr(r.out.rfind("fds "));
  int base = 0, after = 0;
  ASSERT_EQ(sscanf(line.c_str(), "fds %d %d", &base, &after), 2);
  EXPECT_EQ(base, after);
  EXPECT_EQ(open_fds(), before);
}

// A background grandchild that keeps the pipes open must not keep the
// runner: it returns once the child has ended and its output is read. (If
// this regresses, the test hangs until its timeout.)
TEST(Exec, GrandchildHoldingThePipesDoesNotKeepTheRunner) {
  tool("/tmp/bg", "echo started; echo warn >&2; sleep 300 & exit 4\n");
  char* out = nullptr;
  char* err = nullptr;
  EXPECT_EQ(fork_execl_getout(&out, "/tmp/bg", "bg", nullptr), 4);
  EXPECT_EQ(take(out), "started\n");
  EXPECT_EQ(fork_execl_getouterr(&out, &err, "/tmp/bg", "bg", nullptr), 4);
  EXPECT_EQ(take(out), "started\n");
  EXPECT_EQ(take(err), "warn\n");
  EXPECT_EQ(capture_output_args(&out, "/tmp/bg", nullptr), 4);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(exec_program("/tmp/bg", nullptr), 4);
  int in = open("/dev/null", O_RDONLY);
  int o = open("/dev/null", O_WRONLY);
  const char* const argv[] = {"bg", nullptr};
  EXPECT_EQ(util_exec(in, o, "/tmp/bg", argv), 4);
  EXPECT_TRUE(no_children_left());
}

// A child that closes its output early and runs on is still waited for.
TEST(Exec, ChildThatClosesItsOutputIsStillCollected) {
  tool("/tmp/late", "echo early; exec >&- 2>&-; sleep 0.2; exit 6\n");
  char* out = nullptr;
  EXPECT_EQ(fork_execl_getout(&out, "/tmp/late", "late", nullptr), 6);
  EXPECT_EQ(take(out), "early\n");
  EXPECT_TRUE(no_children_left());
}

// ---------------------------------------------------------------------------
// Reporting runners

TEST(Exec, ExecReportMessages) {
  tool("/tmp/t", "case $1 in\n"
                 "  ok) echo fine; echo noise >&2;;\n"
                 "  out) printf 'partial'; exit 1;;\n"
                 "  err) echo out-first; echo oops >&2; exit 2;;\n"
                 "  kill) kill -9 $$;;\n"
                 "esac\n");
  run_result r = run_in_child([] {
    program_path = "/usr/local/sbin/cifsctl";
    printf("%d\n", execl_report("/tmp/t", "/tmp/t", "ok", nullptr));
    printf("%d\n", execl_report("/tmp/t", "/tmp/t", "out", nullptr));
    printf("%d\n", execl_report("/tmp/t", "/tmp/t", "err", nullptr));
    printf("%d\n", execl_report("/tmp/t", "/tmp/t", "kill", nullptr));
    printf("%d\n", execl_report("/no/such/tool", "tool", nullptr));
    const char* const argv[] = {"/tmp/t", "err", nullptr};
    printf("%d\n", exec_report("/tmp/t", argv, 1));
    printf("%d\n", exec_report("/tmp/t", argv));
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ("partialcifsctl: /tmp/t execution failed (no output)\n"
                 "out-first\ncifsctl: /tmp/t execution failed:\noops\n"
                 "cifsctl: /tmp/t execution failed (no output)\n"
                 "cifsctl: /no/such/tool execution failed:\n"
                 "fork_execv: execv(\"/no/such/tool\") failed: No such file or directory\n"
                 "out-first\ncifsctl: /tmp/t execution failed:\noops\n", r.err);
  EXPECT_TEXT_EQ("0\n"
                 "cifsctl: /tmp/t execution failed (no output)\n1\n"
                 "cifsctl: /tmp/t execution failed:\noops\n2\n"
                 "cifsctl: /tmp/t execution failed (no output)\n-1\n"
                 "cifsctl: /no/such/tool execution failed:\n"
                 "fork_execv: execv(\"/no/such/tool\") failed: No such file or directory\n255\n"
                 "2\n"
                 "cifsctl: /tmp/t execution failed:\noops\n2\n", r.out);
}

TEST(Exec, ExecProgramUsesAtMost99Arguments) {
  // sh -c prints its own command line, argv[0] first, one per line.
  std::vector<std::string> a = {"-c", "tr '\\0' '\\n' < /proc/$$/cmdline; exit 1"};
  for (int i = 3; i <= 100; ++i)
    a.push_back("a" + std::to_string(i));
  std::string expected = "/bin/sh\n";
  for (int i = 0; i < 99; ++i)
    expected += a[i] + "\n";

  program_path = nullptr;  // reports without a prefix
  run_result r100 = run_in_child([&] {
    printf("%d\n", exec_program_n("/bin/sh", a, std::make_index_sequence<100>()));
  });
  run_result r99 = run_in_child([&] {
    printf("%d\n", exec_program_n("/bin/sh", a, std::make_index_sequence<99>()));
  });
  // A failed run copies the child's standard output to standard error.
  EXPECT_EQ(r100.out, "/bin/sh execution failed (no output)\n1\n");
  EXPECT_TEXT_EQ(expected + "/bin/sh execution failed (no output)\n", r100.err);
  EXPECT_TEXT_EQ(expected + "/bin/sh execution failed (no output)\n", r99.err);
}

TEST(Exec, ExecUtilityRunsFromTheProductRoot) {
  write_product_conf();
  load_product_conf();
  tool(std::string(test_product_root) + "/admin/bin/compctl",
       "echo \"$0 $*\" > /tmp/compctl.args\nexit ${RC:-0}\n");
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    printf("%d\n", exec_utility("compctl", "--set-dirty-flag", nullptr));
    printf("%d\n", exec_utility("admin/bin/compctl", "--set-dirty-flag", nullptr));
    printf("%d\n", exec_utility("../bin/compctl", nullptr));
    const char* const argv[] = {"own-argv0", "-x", nullptr};
    setenv("RC", "5", 1);
    printf("%d\n", exec_utility_argv("compctl", argv));
    printf("%d\n", exec_utility_argv("/bin/compctl", argv));
    printf("%d\n", exec_utility("nothere", nullptr));
  });
  const char* bad1 =
      "cifsctl: Utility name 'admin/bin/compctl' is invalid. Use only utility name without path.\n";
  const char* bad2 =
      "cifsctl: Utility name '../bin/compctl' is invalid. Use only utility name without path.\n";
  const char* bad3 =
      "cifsctl: Utility name '/bin/compctl' is invalid. Use only utility name without path.\n";
  EXPECT_TEXT_EQ(std::string("0\n") + bad1 + "-1\n" + bad2 + "-1\n" +
                     "cifsctl: /usr/local/tav/admin/bin/compctl execution failed (no output)\n"
                     "5\n" + bad3 + "-1\n" +
                     "cifsctl: /usr/local/tav/admin/bin/nothere execution failed:\n"
                     "fork_execv: execv(\"/usr/local/tav/admin/bin/nothere\") failed: No "
                     "such file or directory\n255\n",
                 r.out);
  // The script sees the path it was run by; the caller's argv[0] is for the
  // kernel's interpreter line, so the last run shows its arguments only.
  EXPECT_EQ(read_file("/tmp/compctl.args"), "/usr/local/tav/admin/bin/compctl -x\n");
}

// ---------------------------------------------------------------------------
// util_exec

TEST(Exec, UtilExecRefusesStandardDescriptors) {
  tool("/tmp/mark", "touch /tmp/ran\n");
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    int fd = open("/dev/null", O_RDWR);
    const char* const argv[] = {"mark", nullptr};
    printf("%d %d %d\n", util_exec(0, fd, "/tmp/mark", argv), util_exec(fd, 1, "/tmp/mark", argv),
           util_exec(fd, 2, "/tmp/mark", argv));
  });
  const char* m = "cifsctl: values 0,1,2 not allowed for variables fd_in & fd_out\n";
  EXPECT_EQ(r.out, std::string(m) + m + m + "-1 -1 -1\n");
  EXPECT_FALSE(file_exists("/tmp/ran"));
}

TEST(Exec, UtilExecRelaysEveryChunkWhole) {
  write_file("/tmp/in", "input text\n");
  tool("/tmp/u", "case $1 in\n"
                 "  copy) cat; printf 'line one\\nabc' >&2; exit 3;;\n"
                 "  nl) printf 'warn\\n' >&2;;\n"
                 "  kill) kill -9 $$;;\n"
                 "esac\n");
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    int in = open("/tmp/in", O_RDONLY);
    int out = open("/tmp/out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char* const copy[] = {"u", "copy", nullptr};
    const char* const nl[] = {"u", "nl", nullptr};
    const char* const kill[] = {"u", "kill", nullptr};
    printf("%d\n", util_exec(in, out, "/tmp/u", copy));
    printf("%d\n", util_exec(in, out, "/tmp/u", nl));
    printf("%d\n", util_exec(in, out, "/no/such/tool", nl));
    printf("%d\n", util_exec(in, out, "/tmp/u", kill));
  });
  EXPECT_EQ(read_file("/tmp/out"), "input text\n");
  std::string killed = r.err.substr(r.err.rfind("cifsctl: The child"));
  EXPECT_TEXT_EQ("cifsctl: line one\nabc\n"
                 "cifsctl: warn\n"
                 "cifsctl: Error occured during execv():\nNo such file or directory.\n", r.err.substr(0, r.err.size() - killed.size()));
  EXPECT_TRUE(killed.starts_with("cifsctl: The child process with pid "));
  EXPECT_TRUE(killed.ends_with(" killed by signal 9\n")) << killed;
  // Each report also goes to standard output, before the result it precedes.
  EXPECT_NE(r.out.find("abc\n3\ncifsctl: warn\n0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("directory.\n255\n"), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with(" killed by signal 9\n-1\n")) << r.out;
}

TEST(Exec, UtilExecReportsAStoppedChild) {
  tool("/tmp/stop", "exec 2>&-; kill -STOP $$\n");
  int in = open("/dev/null", O_RDONLY);
  int out = open("/dev/null", O_WRONLY);
  program_path = "cifsctl";
  testing::internal::CaptureStderr();
  const char* const argv[] = {"stop", nullptr};
  int r = util_exec(in, out, "/tmp/stop", argv);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(err.ends_with(" stopped by signal 19\n")) << err;
  // The stopped child is left to the caller; end it here.
  int pid = 0;
  ASSERT_EQ(sscanf(err.c_str(), "cifsctl: The child process with pid %d", &pid), 1) << err;
  kill(pid, SIGKILL);
  EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
}

// ---------------------------------------------------------------------------
// capture_output

TEST(Exec, CaptureOutputMergesAndReports) {
  tool("/tmp/c", "case $1 in\n"
                 "  ok) echo out; echo err >&2;;\n"
                 "  silent) ;;\n"
                 "  fail) echo boom >&2; exit 3;;\n"
                 "  kill) echo dying; kill -9 $$;;\n"
                 "esac\n");
  run_result r = run_in_child([] {
    program_path = "cifsctl";
    for (const char* arg : {"ok", "silent", "fail", "kill"}) {
      char* out = nullptr;
      int r = capture_output_args(&out, "/tmp/c", arg, nullptr);
      printf("%d [%s]\n", r, take(out).c_str());
    }
    const char* const argv[] = {"x", nullptr};
    char* out = nullptr;
    int r = capture_output(&out, "/no/such/tool", argv);
    printf("%d [%s]\n", r, take(out).c_str());
  });
  EXPECT_TEXT_EQ("0 [out\nerr\n]\n"
                 "0 []\n"
                 "cifsctl: utility /tmp/c failed (result=3):\nboom\n3 [<null>]\n"
                 "cifsctl: utility /tmp/c failed (result=-1):\ndying\n-1 [<null>]\n"
                 "cifsctl: error:\nCannot exec /no/such/tool:\nNo such file or directory\n"
                 "255 [<null>]\n", r.out);
}

TEST(Exec, CaptureOutputKeepsLargeOutputWhole) {
  for (size_t n : {4095u, 4096u, 8191u, 1u << 20}) {
    std::string expected = data_file(n);
    std::string path = "/tmp/data." + std::to_string(n);
    char* out = nullptr;
    ASSERT_EQ(capture_output_args(&out, "/bin/cat", path.c_str(), nullptr), 0);
    EXPECT_TRUE(take(out) == expected) << n;
  }
}

// ---------------------------------------------------------------------------
// exec_silent

TEST(Exec, ExecSilentCountsEveryFailure) {
  tool("/tmp/s", "echo never-seen; echo never-seen >&2; case $1 in\n"
                 "  fail) exit 1;;\n"
                 "  kill) kill -9 $$;;\n"
                 "esac\n");
  make_dirs("/tmp/victim/__deleted_x/sub");
  run_result r = run_in_child([] {
    printf("%d %d %d %d %d\n", exec_silent("/tmp/s", "ok", nullptr),
           exec_silent("/tmp/s", "fail", nullptr), exec_silent("/tmp/s", "kill", nullptr),
           exec_silent("/no/such/tool", nullptr),
           exec_silent("/bin/rm", "-rf", "/tmp/victim/__deleted_x", nullptr));
  });
  EXPECT_EQ(r.out, "0 1 1 1 0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(file_exists("/tmp/victim/__deleted_x"));

  // A removal that fails is reported as a failure.
  tool("/tmp/rmfail", "exit 1\n");
  EXPECT_EQ(exec_silent("/tmp/rmfail", "-rf", "/tmp/victim", nullptr), 1);
}

// ---------------------------------------------------------------------------
// popen_exec

TEST(Exec, PopenExecResultsAndReports) {
  std::string big = data_file(1u << 20);
  char* out = nullptr;
  EXPECT_EQ(popen_exec(&out, "cat /tmp/data.1048576"), 0);
  EXPECT_TRUE(take(out) == big);
  EXPECT_EQ(popen_exec(&out, "echo hi; exit 3"), 3);
  EXPECT_EQ(take(out), "hi\n");
  EXPECT_EQ(popen_exec(&out, "echo partial; kill -9 $$"), -1);
  EXPECT_EQ(take(out), "partial\n");
  EXPECT_EQ(popen_exec(&out, "true"), 0);
  EXPECT_EQ(take(out), "");

  run_result r = run_in_child([] {
    program_path = "cifsctl";
    printf("%d\n", popen_exec_report("echo hi; exit 3"));
    printf("%d\n", popen_exec_report("exit 4"));
    printf("%d\n", popen_exec_report("echo ok"));
    printf("%d\n", popen_exec_report("kill -9 $$"));
  });
  EXPECT_TEXT_EQ("cifsctl: popen_exec: command failed code: 3 , hi\n\n3\n"
                 "cifsctl: popen_exec: command failed code: 4 , error: none\n4\n"
                 "0\n"
                 "cifsctl: popen_exec: command failed code: -1 , error: none\n-1\n", r.out);
}

// ---------------------------------------------------------------------------
// find_in_path

TEST(Exec, FindInPath) {
  write_file("/tmp/p1/plain", "", 0644);
  write_file("/tmp/p1/useronly", "", 0744);
  write_file("/tmp/p2/plain", "", 0755);
  write_file("/tmp/p2/useronly", "", 0755);
  auto find = [](const char* name, const char* list, int exe) {
    char* p = find_in_path(name, list, exe);
    return take(p);
  };
  EXPECT_EQ(find("plain", "/tmp/p1:/tmp/p2", 0), "/tmp/p1/plain");
  EXPECT_EQ(find("plain", "/tmp/p1:/tmp/p2", 1), "/tmp/p2/plain");
  EXPECT_EQ(find("useronly", "/tmp/p1:/tmp/p2", 1), "/tmp/p2/useronly");
  EXPECT_EQ(find("missing", "/tmp/p1:/tmp/p2", 0), "<null>");
  // An empty element is the root directory; a trailing colon adds nothing.
  EXPECT_EQ(find("etc", "/nowhere::/tmp/p1", 0), "/etc");
  EXPECT_EQ(find("etc", "/nowhere:", 0), "<null>");
  EXPECT_EQ(find("etc", "", 0), "<null>");
  // Any file type qualifies, directories included.
  EXPECT_EQ(find("p1", "/tmp", 1), "/tmp/p1");

  setenv("PATH", "/nowhere:/tmp/p2", 1);
  EXPECT_EQ(find("plain", nullptr, 1), "/tmp/p2/plain");
  unsetenv("PATH");
  EXPECT_EQ(find("plain", nullptr, 0), "<null>");
}
