// Process lookup and signalling on real processes of the sandbox's own pid
// namespace: copies of sleep(1) under the names the tests need.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/send_sig.h"
#include "tests/harness.h"
#include "tests/samba_fixture.h"

namespace {

const std::string procs = "/tmp/procs";

// A copy of sleep(1) at path, so that a process runs under its base name.
void make_sleeper(const std::string& path) {
  make_dirs(path.substr(0, path.rfind('/')));
  write_file(path, read_file("/bin/sleep"), 0755);
}

pid_t spawn_sleeper(const std::string& path, const std::string& argv0 = "") {
  make_sleeper(path);
  return start_program(path, {argv0.empty() ? path : argv0, "1000"});
}

bool alive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// The signal that ended pid (waits for it), or -1 when it exited.
int end_signal(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFSIGNALED(status))
    return -1;
  return WTERMSIG(status);
}

void stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Runs body in a child; its int result comes back as the exit status.
struct child_result {
  int value;
  std::string out, err;
};
child_result in_child(const std::function<int()>& body) {
  run_result r = run_in_child([&] {
    int v = body();
    std::fflush(nullptr);
    _exit(v < 0 ? 200 : v);
  });
  return {r.status == 200 ? -1 : r.status, r.out, r.err};
}

TEST(SendSig, FindProcessMatchesTheProgramNameOnly) {
  std::vector<pid_t> decoys = {
      spawn_sleeper(procs + "/smbd2"),
      spawn_sleeper(procs + "/xsmbd"),
      spawn_sleeper(procs + "/grepdir/smbd"),  // named smbd, but its line holds "grep"
      spawn_sleeper(procs + "/other", "smbd:"),
  };
  write_file(procs + "/holder", "#!/bin/sh\nsleep 1000\n", 0755);
  decoys.push_back(start_program(procs + "/holder", {procs + "/holder", "smbd"}));
  EXPECT_NE(0, find_process("smbd"));

  pid_t real = spawn_sleeper(procs + "/sbin/smbd");
  EXPECT_EQ(0, find_process("smbd"));
  EXPECT_NE(0, find_process("nmbd"));
  stop(real);
  EXPECT_NE(0, find_process("smbd"));

  for (const char* shown : {"smbd", "[smbd]", "(smbd)", "<smbd>", "[smbd>"}) {
    pid_t p = spawn_sleeper(procs + "/other", shown);
    EXPECT_EQ(0, find_process("smbd")) << shown;
    stop(p);
  }
  for (pid_t p : decoys)
    stop(p);
}

TEST(SendSig, FindProcessSeesTheSambaDaemon) {
  write_product_conf();
  setup_samba();
  start_smbd();
  EXPECT_EQ(0, find_process("smbd"));
  EXPECT_NE(0, find_process("nmbd"));
  stop_smbd();
  EXPECT_NE(0, find_process("smbd"));

  start_smbd(true);
  EXPECT_EQ(0, find_process("smbd"));
  EXPECT_EQ(0, find_process("nmbd"));
  stop_smbd();
  EXPECT_NE(0, find_process("smbd"));
  EXPECT_NE(0, find_process("nmbd"));
}

TEST(SendSig, UnsafeNamesRunNothing) {
  child_result r = in_child([] { return find_process("smbd$' ; touch /tmp/pwned ; '") == 0; });
  EXPECT_EQ(0, r.value);
  EXPECT_EQ("find_process(): invalid process name 'smbd$' ; touch /tmp/pwned ; ''\n", r.err);
  r = in_child([] { return kill_by_name("x$\" ; touch /tmp/pwned ; \"", 9) == -1; });
  EXPECT_EQ(1, r.value);
  r = in_child([] { return find_process("") == 0; });
  EXPECT_EQ(0, r.value);
  EXPECT_FALSE(file_exists("/tmp/pwned"));
}

TEST(SendSig, KillByNameSignalsExactCommandNamesOnly) {
  pid_t a = spawn_sleeper(procs + "/one/smbd");
  pid_t b = spawn_sleeper(procs + "/two/smbd");
  pid_t smbd2 = spawn_sleeper(procs + "/smbd2");
  pid_t xsmbd = spawn_sleeper(procs + "/xsmbd");
  pid_t shown = spawn_sleeper(procs + "/other", "smbd");  // argv[0] is not the name

  kill_by_name("smbd", SIGTERM);
  EXPECT_EQ(SIGTERM, end_signal(a));
  EXPECT_EQ(SIGTERM, end_signal(b));
  EXPECT_TRUE(alive(smbd2));
  EXPECT_TRUE(alive(xsmbd));
  EXPECT_TRUE(alive(shown));

  // Nothing of that name: the pipeline runs and kills nothing.
  kill_by_name("nmbd", SIGKILL);
  EXPECT_TRUE(alive(smbd2));
  for (pid_t p : {smbd2, xsmbd, shown})
    stop(p);
}

TEST(SendSig, SignalFieldCountsAndSignalsMatchingLines) {
  std::vector<pid_t> targets;
  for (int i = 0; i < 3; ++i)
    targets.push_back(spawn_sleeper(procs + "/sigtarget"));
  pid_t bystander = spawn_sleeper(procs + "/bystander");

  child_result r = in_child([] { return send_signal_field("comm", "sigtarget", 0); });
  EXPECT_EQ(3, r.value) << r.err;
  EXPECT_EQ("", r.err);
  for (pid_t p : targets)
    EXPECT_TRUE(alive(p));

  r = in_child([] { return send_signal_field("comm", "no-such-process", 0); });
  EXPECT_EQ(0, r.value);
  EXPECT_EQ("", r.out + r.err);

  // Patterns found only in the header line name no process.
  for (const char* header : {"PID", "COMMAND", "PID COMMAND"}) {
    r = in_child([&] { return send_signal_field("comm", header, 0); });
    EXPECT_EQ(0, r.value) << header;
    EXPECT_EQ("", r.out + r.err) << header;
  }
  // The empty pattern is in every line: each process counts once.
  r = in_child([] { return send_signal_field("comm", "", 0); });
  EXPECT_GE(r.value, 5);
  EXPECT_EQ("", r.err);

  r = in_child([] { return send_signal_field("comm", "sigtarget", SIGTERM); });
  EXPECT_EQ(3, r.value) << r.err;
  for (pid_t p : targets)
    EXPECT_EQ(SIGTERM, end_signal(p));
  EXPECT_TRUE(alive(bystander));
  stop(bystander);
}

// Puts a fake /bin/ps in place for one test; the mount namespace is the
// sandbox's own.
class FakePs {
 public:
  explicit FakePs(const std::string& script) {
    write_file(path_, "#!/bin/sh\n" + script, 0755);
    mounted_ = mount(path_.c_str(), "/bin/ps", nullptr, MS_BIND, nullptr) == 0;
  }
  ~FakePs() {
    if (mounted_)
      umount2("/bin/ps", MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_ = "/tmp/fake-ps";
  bool mounted_ = false;
};

TEST(SendSig, SignalFieldOnUnusualListings) {
  FakePs ps("printf '%s\\n' \"$@\" > /tmp/ps-args\n"
            "printf '    PID COMMAND\\nabc sigtarget\\n  99999 sigtarget\\n  99998 sigtarget'\n");
  ASSERT_TRUE(ps.mounted());
  child_result r = in_child([] { return send_signal_field("comm", "sigtarget", 0); });
  EXPECT_EQ(2, r.value);
  EXPECT_EQ("-Aww\n-o\npid,comm\n", read_file("/tmp/ps-args"));
  EXPECT_EQ("send_signal_field(): malformed ps output: \nabc sigtarget\n", r.err);

  // Gone processes still count; each failed kill is reported.
  r = in_child([] { return send_signal_field("comm", "sigtarget", SIGTERM); });
  EXPECT_EQ(2, r.value);
  EXPECT_NE(std::string::npos,
            r.err.find("send_signal_field(): failed to kill 99999: No such process"));
  EXPECT_NE(std::string::npos,
            r.err.find("send_signal_field(): failed to kill 99998: No such process"));
}

TEST(SendSig, SignalFieldWhenPsFails) {
  FakePs ps("echo 'ps: broken'\nexit 1\n");
  ASSERT_TRUE(ps.mounted());
  child_result r = in_child([] { return send_signal_field("comm", "x", 0); });
  EXPECT_EQ(-1, r.value);
  EXPECT_EQ(0u, r.err.find("ps: broken\n\n")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("send_signal_field(): /bin/ps failed")) << r.err;
}

TEST(SendSig, SendSigPidChecksPidCommandAndUser) {
  pid_t target = spawn_sleeper(procs + "/sigtarget");

  child_result r = in_child([&] { return -send_sig_pid("sigtarget", target, "no-such-user", 0); });
  EXPECT_EQ(1, r.value);
  EXPECT_EQ("send_sig_pid(): failed to define uid of the user no-such-user\n", r.err);

  r = in_child([&] { return -send_sig_pid("sigtarget", target, "nobody", SIGTERM); });
  EXPECT_EQ(1, r.value);
  EXPECT_EQ("send_sig_pid(): there is no process with pidnumber=" + std::to_string(target) +
                ", command=sigtarget, user=nobody\n",
            r.err);
  EXPECT_EQ(1, in_child([&] { return -send_sig_pid("othername", target, "root", SIGTERM); }).value);
  EXPECT_EQ(1, in_child([&] { return -send_sig_pid("sigtarget", 0, "root", 0); }).value);
  // A pid that is only the tail of the target's pid is not the target.
  std::string digits = std::to_string(target);
  if (digits.size() > 1 && digits[1] != '0') {
    int tail = std::stoi(digits.substr(1));
    EXPECT_EQ(1, in_child([&] { return -send_sig_pid("sigtarget", tail, "root", 0); }).value);
  }
  EXPECT_TRUE(alive(target));

  r = in_child([&] { return send_sig_pid("sigtarget", target, "root", SIGTERM); });
  EXPECT_EQ(0, r.value) << r.err;
  EXPECT_EQ(SIGTERM, end_signal(target));
}

TEST(SendSig, Hdv1PlaceholderIsDecidedOnce) {
  const char* dev = "/dev/hdv1";
  unlink(dev);
  EXPECT_EQ(0, in_child([&] {
              int first = hdv1_placeholder_present();
              write_file(dev, "");
              return first * 10 + hdv1_placeholder_present();
            }).value);
  EXPECT_EQ(1, in_child([] { return hdv1_placeholder_present(); }).value);
  write_file(dev, "x");
  EXPECT_EQ(0, in_child([] { return hdv1_placeholder_present(); }).value);
  unlink(dev);
  ASSERT_EQ(0, mknod(dev, S_IFCHR | 0600, makedev(1, 3)));
  EXPECT_EQ(0, in_child([] { return hdv1_placeholder_present(); }).value);
  unlink(dev);
}

TEST(SendSigCommand, StatusReportsWhetherSmbdRuns) {
  write_product_conf();
  setup_samba();
  run_result r = run_cifsctl({"--status"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("is stopped\n", r.out);

  start_smbd();
  r = run_cifsctl({"-s"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("is running\n", r.out);
  stop_smbd();
}

}  // namespace
