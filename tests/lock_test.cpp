// Lock records between real processes, lock-file names and the digests
// behind them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/product_conf.h"
#include "tests/harness.h"

namespace {

const std::string lock_dir = std::string(test_product_root) + "/var/lock/files";

std::string md5sum_of(const std::string& shell_producer) {
  return sh(shell_producer + " | md5sum").substr(0, 32);
}

std::string md5sum_text(const std::string& text) {
  return md5sum_of("printf %s '" + text + "'");
}

// A child process that holds path's lock (through the lock directory) from
// when it writes 'L' on its report pipe until it reads a byte on its
// command pipe; it then releases and writes 'R'.
struct holder {
  pid_t pid = -1;
  int command = -1;
  int report = -1;
};

holder hold_lock(const std::string& path) {
  int cmd[2], rep[2];
  EXPECT_EQ(::pipe(cmd), 0);
  EXPECT_EQ(::pipe(rep), 0);
  std::fflush(nullptr);
  holder h;
  h.pid = ::fork();
  if (h.pid == 0) {
    ::close(cmd[1]);
    ::close(rep[0]);
    locked_file* lock = locked_file_lock(path.c_str(), 1);
    char c = locked_file_is_locked(lock) ? 'L' : 'E';
    if (::write(rep[1], &c, 1) != 1)
      _exit(2);
    if (::read(cmd[0], &c, 1) != 1)
      _exit(3);
    c = locked_file_release(lock) == 0 ? 'R' : 'E';
    if (::write(rep[1], &c, 1) != 1)
      _exit(4);
    _exit(0);
  }
  ::close(cmd[0]);
  ::close(rep[1]);
  h.command = cmd[1];
  h.report = rep[0];
  return h;
}

char next_report(const holder& h) {
  char c = 0;
  EXPECT_EQ(::read(h.report, &c, 1), 1);
  return c;
}

int finish(holder& h) {
  char c = 'x';
  EXPECT_EQ(::write(h.command, &c, 1), 1);
  EXPECT_EQ(next_report(h), 'R');
  int status = 0;
  ::waitpid(h.pid, &status, 0);
  ::close(h.command);
  ::close(h.report);
  return status;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether /proc/locks shows pid waiting for a flock.
bool waits_for_flock(pid_t pid) {
  std::string locks = read_file("/proc/locks");
  return locks.find("-> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ") != std::string::npos;
}

class Lock : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    write_product_conf();
    load_product_conf();
  }
};

TEST(Digest, KnownValues) {
  EXPECT_STREQ(md5_hex("", ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_STREQ(md5_hex("ab", "c"), "900150983cd24fb0d6963f7d28e17f72");
  const unsigned char bytes[16] = {0x00, 0x01, 0x0a, 0x10, 0x7f, 0x80, 0xab, 0xff,
                                   0xfe, 0x09, 0x90, 0xc3, 0x3c, 0x55, 0xaa, 0x0f};
  EXPECT_STREQ(digest_hex(bytes), "00010a107f80abfffe0990c33c55aa0f");
  // Both return the one shared buffer.
  EXPECT_EQ(md5_hex("", "x"), digest_hex(bytes));
}

TEST(Digest, TextIsCutAt4095Bytes) {
  std::string text(5000, 'a');
  std::string expected = md5sum_of("head -c 4095 /dev/zero | tr '\\0' a");
  EXPECT_EQ(md5_hex("", text.c_str()), expected);
  EXPECT_EQ(md5_hex("aaaaa", text.c_str() + 4000), md5sum_of("head -c 1005 /dev/zero | tr '\\0' a"));
}

TEST_F(Lock, LockFilePathNamesTheMd5OfThePathText) {
  for (const char* path : {"/usr/local/etc/smbusers", "/usr/local/etc//smbusers",
                           "/usr/local/etc/./smbusers", "relative/path"}) {
    SCOPED_TRACE(path);
    unique_text name(lock_file_path(path));
    EXPECT_EQ(std::string(name.get()), lock_dir + "/" + md5sum_text(path));
  }
  unique_text a(lock_file_path("/usr/local/etc/smbusers"));
  unique_text b(lock_file_path("/usr/local/etc//smbusers"));
  EXPECT_STRNE(a.get(), b.get());
}

TEST(LockFilePath, LoadsTheConfigurationWhenNeeded) {
  write_product_conf("/opt/panel");
  unique_text name(lock_file_path("/x"));
  EXPECT_EQ(std::string(name.get()), "/opt/panel/var/lock/files/" + md5sum_text("/x"));
}

TEST_F(Lock, SecondProcessIsExcludedUntilRelease) {
  const std::string path = "/usr/local/etc/smbusers";
  holder h = hold_lock(path);
  ASSERT_EQ(next_report(h), 'L');

  locked_file* busy = locked_file_try_lock(path.c_str(), 1);
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(busy->fd, 0);
  EXPECT_TRUE(locked_file_is_busy(busy));
  EXPECT_FALSE(locked_file_is_locked(busy));
  EXPECT_EQ(std::string(busy->name), lock_dir + "/" + md5sum_text(path));
  EXPECT_EQ(locked_file_release(busy), 0);

  // Another path text names another lock file: no exclusion.
  locked_file* other = locked_file_try_lock("/usr/local/etc//smbusers", 1);
  EXPECT_TRUE(locked_file_is_locked(other));
  EXPECT_EQ(locked_file_release(other), 0);

  EXPECT_EQ(finish(h), 0);

  locked_file* mine = locked_file_try_lock(path.c_str(), 1);
  ASSERT_TRUE(locked_file_is_locked(mine));
  EXPECT_FALSE(locked_file_is_busy(mine));
  // Children started while the lock is held must not inherit it.
  EXPECT_NE(::fcntl(mine->fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(locked_file_release(mine), 0);
  // The lock file stays, empty.
  EXPECT_TRUE(file_exists(lock_dir + "/" + md5sum_text(path)));
}

TEST_F(Lock, FileStrWaitsForTheHolder) {
  const std::string path = "/usr/local/etc/smbusers";
  write_file(path, "a = b\n");
  holder h = hold_lock(path);
  ASSERT_EQ(next_report(h), 'L');

  std::fflush(nullptr);
  pid_t editor = ::fork();
  if (editor == 0)
    _exit(file_str_line(path.c_str(), "c = d", FILE_STR_ADD, FILE_STR_AT_END));

  // Wait (bounded) until the kernel shows the editor blocked on the lock.
  bool blocked = false;
  for (int i = 0; i < 10000 && !blocked; ++i) {
    blocked = waits_for_flock(editor);
    if (!blocked)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(blocked) << read_file("/proc/locks");
  EXPECT_EQ(read_file(path), "a = b\n");

  EXPECT_EQ(finish(h), 0);
  EXPECT_EQ(wait_status(editor), 0);
  EXPECT_EQ(read_file(path), "a = b\nc = d\n");
}

TEST_F(Lock, PathItselfAsLockFile) {
  const std::string path = "/usr/local/etc/own.lock";
  write_file(path, "old content");
  locked_file* lock = locked_file_lock(path.c_str(), 0);
  ASSERT_TRUE(locked_file_is_locked(lock));
  EXPECT_EQ(std::string(lock->name), path);
  EXPECT_EQ(read_file(path), "");  // truncated at the open
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    locked_file* again = locked_file_try_lock(path.c_str(), 0);
    _exit(locked_file_is_busy(again) && locked_file_release(again) == 0 ? 0 : 1);
  }
  EXPECT_EQ(wait_status(child), 0);
  EXPECT_EQ(locked_file_release(lock), 0);

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(Lock, OpenFailureAndNoRecord) {
  EXPECT_EQ(locked_file_release(nullptr), -1);
  EXPECT_TRUE(locked_file_is_busy(nullptr));
  EXPECT_FALSE(locked_file_is_locked(nullptr));

  run_result r = run_in_child([] {
    program_path = "cifsctl";
    locked_file* lock = locked_file_lock("/nonexistent/dir/x", 0);
    std::printf("%d %d %d\n", lock->fd < 0, locked_file_is_locked(lock), locked_file_is_busy(lock));
    std::printf("%d\n", locked_file_release(lock));
  });
  EXPECT_EQ(r.err,
            "cifsctl: Unable to open file \"/nonexistent/dir/x\": No such file or directory.\n"
            "System error 2: No such file or directory\n");
  EXPECT_EQ(r.out, r.err + "1 0 0\n0\n");
}

// Whatever is planted at a lock file's name (the program's three locks:
// the username map, the include file, Samba's restart) fails the open and
// leaves what it points to as it was.
TEST_F(Lock, PlantedLinkAtALockNameIsNotOpened) {
  const std::string secret = "/usr/local/etc/secret";
  write_file(secret, "root only\n", 0600);
  struct plant {
    const char* what;
    int (*make)(const char* target, const char* at);
    const char* says;
  };
  const plant plants[] = {
      {"symlink", ::symlink, "Too many levels of symbolic links"},
      {"hard link", ::link, "Too many links"},
      {"fifo", [](const char*, const char* at) { return ::mkfifo(at, 0644); }, "Invalid argument"},
  };
  for (const char* path : {"/usr/local/etc/smbusers", "/usr/local/etc/smb.conf.include", "/usr/local/sbin/smbd"}) {
    for (const plant& p : plants) {
      SCOPED_TRACE(std::string(path) + ", " + p.what);
      unique_text name(lock_file_path(path));
      ::unlink(name.get());
      ASSERT_EQ(p.make(secret.c_str(), name.get()), 0);
      run_result r = run_in_child([&] {
        program_path = "cifsctl";
        locked_file* lock = locked_file_lock(path, 1);
        std::printf("%d\n", locked_file_is_locked(lock));
        locked_file_release(lock);
      });
      EXPECT_NE(r.err.find("Unable to open file \"" + std::string(name.get()) + "\": " + p.says + "."),
                std::string::npos)
          << r.err;
      EXPECT_EQ(last_line(r.out), "0");
      struct stat st {};
      ASSERT_EQ(::stat(secret.c_str(), &st), 0);
      EXPECT_EQ(read_file(secret), "root only\n");
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      EXPECT_EQ(st.st_nlink, std::string(p.what) == "hard link" ? 2u : 1u);
      ::unlink(name.get());
    }
  }
}

TEST_F(Lock, ClosedStandardInputDoesNotTurnALockIntoBusy) {
  run_result r = run_in_child([] {
    ::close(0);
    locked_file* lock = locked_file_lock("/usr/local/etc/smbusers", 1);
    std::printf("%d %d\n", locked_file_is_locked(lock), lock->fd >= 3);
    std::printf("%d\n", locked_file_release(lock));
  });
  EXPECT_EQ(r.out, "1 1\n0\n");
}

}  // namespace
