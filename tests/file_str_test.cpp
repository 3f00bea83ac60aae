// Locked line editing of real files: every mode and variant, long lines,
// missing files, links, owner and mode, stale temporary files, failures of
// the rewrite, and set_owner_mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/product_conf.h"
#include "runtime/staged_file.h"
#include "tests/harness.h"

namespace {

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
const std::string etc = "/usr/local/etc";
const std::string lock_dir = std::string(test_product_root) + "/var/lock/files";

// Runs file_str in a child with the program name "cifsctl"; the child's
// exit status is file_str's result.
run_result edit(const std::string& path, const std::vector<std::string>& lines, int mode,
                int variant) {
  return run_in_child([&] {
    program_path = "cifsctl";
    std::vector<const char*> list;
    for (const std::string& l : lines)
      list.push_back(l.c_str());
    list.push_back(nullptr);
    int rc = file_str(path.c_str(), list.data(), mode, variant);
    std::fflush(nullptr);
    _exit(rc);
  });
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string lock_name(const std::string& path) {
  std::string sum = sh("printf %s '" + path + "' | md5sum");
  return lock_dir + "/" + sum.substr(0, 32);
}

// A report of the reporter as both streams carry it.
std::string reported(const std::string& text, int err) {
  std::string out = "cifsctl: " + text;
  if (out.back() != '\n')
    out += '\n';
  return out + (text.back() == '\n' ? "\n" : "") + "System error " + std::to_string(err) + ": " +
         std::strerror(err) + "\n";
}

class FileStr : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    write_product_conf();
    load_product_conf();
  }
};

// One input for every removal variant: exact, longer, indented, trailing
// and blank lines, and a last line without its newline.
const std::string sample = "alpha\nalphabet\n alpha\nbeta alpha\ngamma\n\nalpha";

struct mode_case {
  const char* name;
  int mode;
  int variant;
  std::vector<std::string> lines;
  std::string expected;
};

TEST_F(FileStr, EveryModeAndVariantOnARealFile) {
  const std::vector<mode_case> cases = {
      {"remove line", FILE_STR_REMOVE_LINE, 1, {"alpha"},
       "alphabet\n alpha\nbeta alpha\ngamma\n\n"},
      {"remove line, entries with newline", FILE_STR_REMOVE_LINE, 0, {"alpha\n", "gamma"},
       "alphabet\n alpha\nbeta alpha\n\n"},
      {"remove line compares up to the entry's first newline", FILE_STR_REMOVE_LINE, 1,
       {"gamma\nalpha"}, "alpha\nalphabet\n alpha\nbeta alpha\n\nalpha"},
      {"remove line, blank entry", FILE_STR_REMOVE_LINE, 1, {""},
       "alpha\nalphabet\n alpha\nbeta alpha\ngamma\nalpha"},
      {"prefix", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX, {"alpha"}, " alpha\nbeta alpha\ngamma\n\n"},
      {"suffix", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, {"alpha"}, "alphabet\ngamma\n\n"},
      {"substring", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING, {"alpha"}, "gamma\n\n"},
      {"substring with newline spares the last line", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING,
       {"alpha\n"}, "alphabet\ngamma\n\nalpha"},
      {"prefix, pattern longer than the lines", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX,
       {"alphabets"}, sample},
      {"suffix, pattern longer than the lines", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX,
       {"xbeta alpha"}, sample},
      {"prefix, entry's newline ignored", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX, {"beta\n", "g"},
       "alpha\nalphabet\n alpha\n\nalpha"},
      {"empty pattern, prefix", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX, {""}, ""},
      {"empty pattern, suffix", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, {""}, ""},
      {"empty pattern, substring", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING, {""}, ""},
      {"empty list", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING, {}, sample},
      {"unknown match variant", FILE_STR_REMOVE_MATCH, 3, {"alpha"}, sample},
      {"add at beginning", FILE_STR_ADD, FILE_STR_AT_BEGINNING, {"new", "two\n", ""},
       "new\ntwo\n\n" + sample},
      {"add at end starts on a new line", FILE_STR_ADD, FILE_STR_AT_END, {"new", "two\n", ""},
       sample + "\nnew\ntwo\n\n"},
      {"unknown add variant", FILE_STR_ADD, 2, {"new"}, sample},
      {"unknown mode", 3, 0, {"alpha"}, sample},
  };
  const std::string path = etc + "/modes.conf";
  for (const mode_case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path, sample);
    run_result r = edit(path, c.lines, c.mode, c.variant);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TEXT_EQ(c.expected, read_file(path));
    EXPECT_FALSE(file_exists(path + ".tmp"));
  }
}

TEST_F(FileStr, AddAtEndNeverGluesLines) {
  const std::string path = etc + "/smbusers";
  write_file(path, "");
  ASSERT_EQ(file_str_line(path.c_str(), "a = b", FILE_STR_ADD, FILE_STR_AT_END), 0);
  EXPECT_EQ(read_file(path), "a = b\n");

  write_file(path, "x = y");
  ASSERT_EQ(file_str_line(path.c_str(), "a = b", FILE_STR_ADD, FILE_STR_AT_END), 0);
  EXPECT_EQ(read_file(path), "x = y\na = b\n");

  // An empty list adds nothing, not even the missing newline.
  write_file(path, "x = y");
  const char* const none[] = {nullptr};
  ASSERT_EQ(file_str(path.c_str(), none, FILE_STR_ADD, FILE_STR_AT_END), 0);
  EXPECT_EQ(read_file(path), "x = y");
}

TEST_F(FileStr, RemoveThenAppendLeavesOneCopyAtTheEnd) {
  const std::string path = etc + "/smbusers";
  write_file(path, "a = b\nx = y\na = b\n a = b\na = bb\na = b");
  ASSERT_EQ(file_str_line(path.c_str(), "a = b", FILE_STR_REMOVE_LINE, 1), 0);
  ASSERT_EQ(file_str_line(path.c_str(), "a = b", FILE_STR_ADD, FILE_STR_AT_END), 0);
  EXPECT_EQ(read_file(path), "x = y\n a = b\na = bb\na = b\n");
}

TEST_F(FileStr, IncludeLineBySuffixThenAppended) {
  const std::string path = etc + "/smb.conf";
  const std::string include = "include = " + path + ".include";
  write_file(path, "[global]\n   " + include + "\n" + include + " ; old\n\t" + include);
  ASSERT_EQ(file_str_line(path.c_str(), include.c_str(), FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX), 0);
  EXPECT_EQ(read_file(path), "[global]\n" + include + " ; old\n");
  ASSERT_EQ(file_str_line(path.c_str(), include.c_str(), FILE_STR_ADD, FILE_STR_AT_END), 0);
  EXPECT_EQ(read_file(path), "[global]\n" + include + " ; old\n" + include + "\n");
}

// The one-rewrite form leaves what the two separate edits leave.
TEST_F(FileStr, ReplaceEqualsRemoveThenAppend) {
  const std::string path = etc + "/smbusers";
  const char* const dropped[] = {"a = old", "a = b", nullptr};
  const char* const added[] = {"a = b", nullptr};
  write_file(path, "a = old\nx = y\na = b\n a = b\na = bb", 0600);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(file_str_replace(path.c_str(), dropped, FILE_STR_REMOVE_LINE, 1, added), 0);
  EXPECT_EQ(read_file(path), "x = y\n a = b\na = bb\na = b\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 65534u);

  unlink(path.c_str());
  ASSERT_EQ(file_str_replace(path.c_str(), dropped, FILE_STR_REMOVE_LINE, 1, added), 0);
  EXPECT_EQ(read_file(path), "a = b\n");

  const std::string conf = etc + "/smb.conf";
  const std::string include = "include = " + conf + ".include";
  const char* const lines[] = {include.c_str(), nullptr};
  write_file(conf, "[global]\n   " + include + "\n\t" + include + "\nlast");
  ASSERT_EQ(file_str_replace(conf.c_str(), lines, FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, lines), 0);
  EXPECT_EQ(read_file(conf), "[global]\nlast\n" + include + "\n");
}

TEST_F(FileStr, LongLinesAreComparedAndCopiedWhole) {
  // 9094 bytes: over 4094 and 8192, with a recognisable byte where a
  // 4094-byte piece would end.
  const std::string longline = std::string(4093, 'a') + "Y" + std::string(5000, 'b');
  const std::string content = "first\n" + longline + "\nlast\n";
  const std::string path = etc + "/long.conf";
  const std::vector<mode_case> kept = {
      {"suffix of a piece", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, {"aaY"}, content},
      {"prefix of a piece", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX, {"bbbb"}, content},
      {"line equal to the last piece", FILE_STR_REMOVE_LINE, 1, {std::string(906, 'b')}, content},
      {"line equal to the first piece", FILE_STR_REMOVE_LINE, 1, {longline.substr(0, 4094)},
       content},
      {"whole line removed", FILE_STR_REMOVE_LINE, 1, {longline}, "first\nlast\n"},
      {"substring across a piece border", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING, {"aYb"},
       "first\nlast\n"},
      {"whole line as suffix", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, {"Y" + std::string(5000, 'b')},
       "first\nlast\n"},
      {"copied whole at beginning", FILE_STR_ADD, FILE_STR_AT_BEGINNING, {longline},
       longline + "\n" + content},
  };
  for (const mode_case& c : kept) {
    SCOPED_TRACE(c.name);
    write_file(path, content);
    run_result r = edit(path, c.lines, c.mode, c.variant);
    EXPECT_EQ(r.status, 0);
    EXPECT_TEXT_EQ(c.expected, read_file(path));
  }
}

TEST_F(FileStr, MissingFiles) {
  const std::string path = etc + "/missing";
  const std::string tmp = path + ".tmp";

  // Removing lines: 1 without a word; only the lock file appears.
  run_result r = edit(path, {"x"}, FILE_STR_REMOVE_LINE, 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_FALSE(file_exists(path));
  EXPECT_FALSE(file_exists(tmp));
  EXPECT_TRUE(file_exists(lock_name(path)));

  std::string open_failed = reported("Unable to open file " + path + ": No such file or directory\n", ENOENT);
  r = edit(path, {"x"}, FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, open_failed);
  EXPECT_EQ(r.out, open_failed);
  EXPECT_FALSE(file_exists(path));
  EXPECT_FALSE(file_exists(tmp));

  // Adding at the beginning: fails, and the abandoned temporary file goes.
  r = edit(path, {"one", "two"}, FILE_STR_ADD, FILE_STR_AT_BEGINNING);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, open_failed);
  EXPECT_FALSE(file_exists(path));
  EXPECT_FALSE(file_exists(tmp));

  // Adding at the end creates the file with the process's defaults.
  r = run_in_child([&] {
    ::umask(027);
    _exit(file_str_line(path.c_str(), "one", FILE_STR_ADD, FILE_STR_AT_END));
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(path), "one\n");
  struct stat st = stat_of(path);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(FileStr, OwnerAndModeSurviveEveryMode) {
  const std::string path = etc + "/private.conf";
  const std::vector<mode_case> cases = {
      {"at beginning", FILE_STR_ADD, FILE_STR_AT_BEGINNING, {"x"}, "x\na\nb\n"},
      {"at end", FILE_STR_ADD, FILE_STR_AT_END, {"x"}, "a\nb\nx\n"},
      {"remove line", FILE_STR_REMOVE_LINE, 1, {"a"}, "b\n"},
      {"prefix", FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX, {"a"}, "b\n"},
      {"suffix", FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, {"b"}, "a\n"},
      {"substring", FILE_STR_REMOVE_MATCH, FILE_STR_SUBSTRING, {"b"}, "a\n"},
      {"unknown variant", FILE_STR_REMOVE_MATCH, 9, {"b"}, "a\nb\n"},
      {"unknown mode", 9, 0, {"b"}, "a\nb\n"},
  };
  for (mode_t mode : {0600u, 02750u}) {
    for (const mode_case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
      write_file(path, "a\nb\n", mode);
      ASSERT_EQ(::chown(path.c_str(), nobody, nogroup), 0);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      run_result r = edit(path, c.lines, c.mode, c.variant);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(read_file(path), c.expected);
      struct stat st = stat_of(path);
      EXPECT_EQ(st.st_uid, nobody);
      EXPECT_EQ(st.st_gid, nogroup);
      EXPECT_EQ(st.st_mode & 07777, mode);
    }
  }
}

TEST_F(FileStr, RewriteReplacesALinkAppendWritesThroughIt) {
  const std::string target = etc + "/target.conf";
  const std::string link = etc + "/link.conf";
  write_file(target, "a\nb\n", 0640);
  ASSERT_EQ(::chown(target.c_str(), nobody, nogroup), 0);
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  ASSERT_EQ(file_str_line(link.c_str(), "c", FILE_STR_ADD, FILE_STR_AT_END), 0);
  struct stat lst {};
  ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_EQ(read_file(target), "a\nb\nc\n");

  ASSERT_EQ(file_str_line(link.c_str(), "a", FILE_STR_REMOVE_LINE, 1), 0);
  ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISREG(lst.st_mode));
  EXPECT_EQ(lst.st_mode & 07777, 0640u);
  EXPECT_EQ(lst.st_uid, nobody);
  EXPECT_EQ(lst.st_gid, nogroup);
  EXPECT_EQ(read_file(link), "b\nc\n");
  EXPECT_EQ(read_file(target), "a\nb\nc\n");
}

// In a directory its owner can write, the edited name is the owner's: a
// link there is not followed, and swapping the file for a link to a root
// file while root edits hands over neither that file nor its content.
TEST_F(FileStr, LinkInAUsersDirectoryIsNotFollowed) {
  const std::string dir = etc + "/nobody", path = dir + "/own.conf", secret = etc + "/secret";
  write_file(secret, "root only\n", 0600);
  make_dirs(dir);
  ASSERT_EQ(::chown(dir.c_str(), nobody, nogroup), 0);
  ASSERT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
  for (int mode : {FILE_STR_REMOVE_LINE, FILE_STR_ADD}) {
    run_result r = edit(path, {"x"}, mode, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, reported("file_str: Unable to stat file " + path + ": Too many levels of symbolic links\n",
                              ELOOP));
  }
  ASSERT_EQ(::unlink(path.c_str()), 0);

  pid_t swapper = ::fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    if (::setgid(nogroup) != 0 || ::setuid(nobody) != 0)
      _exit(99);
    for (const std::string file = dir + "/f", link = dir + "/l";;) {
      ::close(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      ::rename(file.c_str(), path.c_str());
      ::symlink(secret.c_str(), link.c_str());
      ::rename(link.c_str(), path.c_str());
    }
  }
  run_in_child([&] {
    for (int i = 0; i < 300; ++i)
      file_str_line(path.c_str(), "x", i % 3 == 2 ? FILE_STR_ADD : FILE_STR_REMOVE_LINE, i % 3 == 1 ? 0 : 1);
  });
  ::kill(swapper, SIGKILL);
  ::waitpid(swapper, nullptr, 0);
  struct stat st = stat_of(secret);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(secret), "root only\n");
  EXPECT_EQ(sh("grep -rl 'root only' " + dir), "");
}

TEST_F(FileStr, StaleTemporaryFilesNeverGetInTheWay) {
  const std::string path = etc + "/stale.conf";
  const std::string victim = etc + "/victim";
  write_file(path, "a\nb\n");
  write_file(victim, "precious\n");

  // A link planted under the temporary name, symbolic or hard, is replaced,
  // not written through: its target keeps its content, owner and mode.
  write_file(victim, "precious\n", 0600);
  for (auto plant : {::symlink, ::link}) {
    for (int mode : {FILE_STR_REMOVE_LINE, FILE_STR_ADD}) {
      write_file(path, "a\nb\n");
      ASSERT_EQ(plant(victim.c_str(), (path + ".tmp").c_str()), 0);
      ASSERT_EQ(file_str_line(path.c_str(), "a", mode, mode == FILE_STR_ADD ? 0 : 1), 0);
      EXPECT_EQ(read_file(path), mode == FILE_STR_ADD ? "a\na\nb\n" : "b\n");
      EXPECT_FALSE(file_exists(path + ".tmp"));
      struct stat st = stat_of(victim);
      EXPECT_EQ(read_file(victim), "precious\n");
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      EXPECT_EQ(st.st_nlink, 1u);
    }
  }

  // A half-written leftover of another owner does not stop a run by the
  // file's owner (who may write the directory, not that leftover).
  const std::string dir = etc + "/nobody";
  make_dirs(dir);
  ASSERT_EQ(::chown(dir.c_str(), nobody, nogroup), 0);
  ASSERT_EQ(::chmod(lock_dir.c_str(), 0777), 0);
  const std::string own = dir + "/own.conf";
  write_file(own, "a\nb\n", 0600);
  ASSERT_EQ(::chown(own.c_str(), nobody, nogroup), 0);
  write_file(own + ".tmp", "half", 0644);
  run_result r = run_in_child([&] {
    program_path = "cifsctl";
    if (::setgid(nogroup) != 0 || ::setuid(nobody) != 0)
      _exit(99);
    int rc = file_str_line(own.c_str(), "b", FILE_STR_REMOVE_LINE, 1);
    std::fflush(nullptr);
    _exit(rc);
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(own), "a\n");
  EXPECT_FALSE(file_exists(own + ".tmp"));
}

// Appending to a FIFO or a device succeeds; only regular files are synced
// (fsync refuses the others with EINVAL).
TEST_F(FileStr, AddAtEndToAFifoOrADevice) {
  const std::string fifo = etc + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/null")}) {
    run_result r = edit(path, {"x"}, FILE_STR_ADD, FILE_STR_AT_END);
    EXPECT_EQ(r.status, 0) << path;
    EXPECT_EQ(r.out + r.err, "") << path;
  }
  EXPECT_TRUE(S_ISFIFO(stat_of(fifo).st_mode));
}

// The directory to sync is file_replace's parameter: a directory of sysfs,
// whose directories refuse fsync with EINVAL as some file systems do, stands
// for such a file system. The rename has happened by then, so the refusal
// is no failure; other failures are.
TEST_F(FileStr, ReplaceWhereTheDirectoryCannotBeSynced) {
  unique_fd sys(::open("/sys", O_RDONLY | O_DIRECTORY));
  if (!sys || ::fsync(sys.get()) == 0 || errno != EINVAL)
    GTEST_SKIP() << "no directory here refuses fsync with EINVAL";
  const std::string path = etc + "/replaced";
  const std::string tmp_template = path + ".XXXXXX";
  run_result r = run_in_child([&] {
    program_path = "cifsctl";
    _exit(file_replace("/sys", path.c_str(), tmp_template.c_str(), "new\n", nullptr));
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(read_file(path), "new\n");

  r = run_in_child([&] {
    program_path = "cifsctl";
    _exit(file_replace("/missing", path.c_str(), tmp_template.c_str(), "newer\n", nullptr));
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("Unable to sync directory /missing: No such file or directory", ENOENT));
  EXPECT_EQ(read_file(path), "newer\n");
  EXPECT_EQ(directory_of("/a/b"), "/a");
  EXPECT_EQ(directory_of("/b"), "/");
  EXPECT_EQ(directory_of("b"), ".");
}

TEST_F(FileStr, MissingLockDirectoryIsAClearError) {
  const std::string path = etc + "/smbusers";
  write_file(path, "a = b\n");
  sh("rm -rf '" + lock_dir + "'");
  run_result r = edit(path, {"a = b"}, FILE_STR_REMOVE_LINE, 1);
  EXPECT_EQ(r.status, 1);
  std::string expected =
      reported("Unable to open file \"" + lock_name(path) + "\": No such file or directory.", ENOENT) +
      reported("Error occurred while locking the file " + path + ": No such file or directory\n",
               ENOENT);
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(read_file(path), "a = b\n");
}

TEST_F(FileStr, UnstatablePathIsReported) {
  const std::string path = etc + "/loop";
  ASSERT_EQ(::symlink(path.c_str(), path.c_str()), 0);
  run_result r = edit(path, {"x"}, FILE_STR_ADD, FILE_STR_AT_END);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("file_str: Unable to stat file " + path +
                                ": Too many levels of symbolic links\n", ELOOP));
}

// A bind mount on the edited path makes the rename fail (EBUSY).
TEST_F(FileStr, FailedRenameKeepsTheFileAndSaysSo) {
  const std::string path = etc + "/busy.conf";
  write_file(path, "a\nb\n");
  write_file("/tmp/busy-src", "a\nb\n");
  sh("mount --bind /tmp/busy-src '" + path + "'");
  const std::string tmp = path + ".tmp";
  const std::string busy = ": Device or resource busy\n";

  run_result r = edit(path, {"a"}, FILE_STR_REMOVE_LINE, 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("Error while rename file " + path + busy, EBUSY));
  EXPECT_EQ(r.out, r.err);

  r = edit(path, {"a"}, FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error while rename file " + tmp + busy);
  EXPECT_EQ(r.out, "");

  r = edit(path, {"z"}, FILE_STR_ADD, FILE_STR_AT_BEGINNING);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Unable to rename file " + tmp + busy);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(path), "a\nb\n");
  EXPECT_FALSE(file_exists(tmp));
}

// A full file system: a small tmpfs whose free room is used up.
class FullDisk : public FileStr {
 protected:
  void SetUp() override {
    FileStr::SetUp();
    make_dirs(dir);
    int status = 0;
    sh("mount -t tmpfs -o size=16k small '" + dir + "'", &status);
    ASSERT_EQ(status, 0);
  }
  void fill() { sh("cat /dev/zero > '" + dir + "/filler' 2>/dev/null"); }
  const std::string dir = "/tmp/small";
  const std::string path = dir + "/f.conf";
};

TEST_F(FullDisk, FailedWriteOfALineEndsTheRun) {
  write_file(path, std::string(9000, 'x') + "\nkeep\n");
  fill();
  run_result r = edit(path, {"nothing"}, FILE_STR_REMOVE_LINE, 1);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("cannot write a line to " + path + ".tmp", ENOSPC));
  EXPECT_EQ(read_file(path), std::string(9000, 'x') + "\nkeep\n");
}

TEST_F(FullDisk, FailedFlushShowsAtTheClose) {
  write_file(path, "a\nb\n");
  fill();
  const std::string full = reported("Unable to close file " + path + ": No space left on device\n", ENOSPC);
  run_result r = edit(path, {"a"}, FILE_STR_REMOVE_MATCH, FILE_STR_PREFIX);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, full);
  r = edit(path, {"z"}, FILE_STR_ADD, FILE_STR_AT_BEGINNING);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, full);
  EXPECT_EQ(read_file(path), "a\nb\n");
}

TEST_F(FullDisk, FailedAppendIsReported) {
  write_file(path, std::string(4095, 'x') + "\n");  // one page, full
  fill();
  run_result r = edit(path, {"z"}, FILE_STR_ADD, FILE_STR_AT_END);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("Unable to close file " + path + ": No space left on device\n", ENOSPC));
}

TEST_F(FileStr, SetOwnerMode) {
  const std::string path = etc + "/smb.conf.include";
  run_result r = run_in_child([&] {
    program_path = "cifsctl";
    errno = EINVAL;
    int rc = set_owner_mode(path.c_str(), nobody, nogroup, 0600);
    std::printf("%d %d\n", rc, errno);
  });
  EXPECT_EQ(r.out, "0 2\n");  // the failed stat's ENOENT, as any failed call leaves it
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(file_exists(path));

  write_file(path, "x");
  ASSERT_EQ(set_owner_mode(path.c_str(), nobody, nogroup, 0600), 0);
  struct stat st = stat_of(path);
  EXPECT_EQ(st.st_uid, nobody);
  EXPECT_EQ(st.st_gid, nogroup);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Through a link, the target changes.
  const std::string link = etc + "/include-link";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  ASSERT_EQ(set_owner_mode(link.c_str(), 0, 0, 0644), 0);
  st = stat_of(path);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // A read-only file system refuses the chown.
  const std::string ro = "/tmp/ro";
  write_file(ro + "/f", "x");
  int status = 0;
  sh("mount --bind " + ro + " " + ro + " && mount -o remount,bind,ro " + ro, &status);
  ASSERT_EQ(status, 0);
  r = run_in_child([&] {
    program_path = "cifsctl";
    _exit(-set_owner_mode((ro + "/f").c_str(), nobody, nogroup, 0600));
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, reported("ERROR: unable to chown " + ro + "/f: Read-only file system\n", EROFS));
}

}  // namespace
