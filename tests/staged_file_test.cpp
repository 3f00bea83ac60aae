// Whole-file replacement through a temporary file on its own: what a killed
// run or an intruder left at the temporary name, replacements abandoned at
// every stage, and set-id bits across the change of owner.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "runtime/staged_file.h"
#include "tests/harness.h"

namespace {

const std::string dir = "/tmp/staged", target = dir + "/target", tmp = target + ".tmp",
                  victim = dir + "/victim";

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

bool closed_on_exec(const staged_file& staged) {
  return (fcntl(fileno(staged.get()), F_GETFD) & FD_CLOEXEC) != 0;
}

class StagedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    sh("rm -rf " + dir);
    write_file(target, "old\n");
    write_file(victim, "precious\n", 0600);
  }
};

}  // namespace

// Whatever is at the temporary name is removed, never written through: the
// new file is one of its own, mode 0600, closed on exec. A directory there
// is left alone and the creation fails.
TEST_F(StagedFile, WhateverIsAtTheTemporaryNameIsReplaced) {
  const std::pair<const char*, int (*)()> plants[] = {
      {"a leftover", [] { write_file(tmp, "half"); return 0; }},
      {"a symbolic link", [] { return symlink(victim.c_str(), tmp.c_str()); }},
      {"a dangling symbolic link", [] { return symlink((dir + "/none").c_str(), tmp.c_str()); }},
      {"a hard link", [] { return link(victim.c_str(), tmp.c_str()); }},
  };
  for (const auto& [name, plant] : plants) {
    SCOPED_TRACE(name);
    ASSERT_EQ(0, plant());
    staged_file out;
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
    EXPECT_TRUE(closed_on_exec(out));
    struct stat st = lstat_of(tmp);
    EXPECT_EQ(S_IFREG | 0600u, st.st_mode);
    EXPECT_EQ(1u, st.st_nlink);
    std::fputs("new\n", out.get());
    ASSERT_EQ(0, staged_close(out));
    ASSERT_EQ(0, staged_rename(out, target.c_str()));
    EXPECT_EQ("new\n", read_file(target));
    EXPECT_EQ("precious\n", read_file(victim));
    EXPECT_EQ(S_IFREG | 0600u, lstat_of(victim).st_mode);
    EXPECT_EQ(1u, lstat_of(victim).st_nlink);
    EXPECT_FALSE(file_exists(dir + "/none"));
  }
  write_file(tmp + "/inside", "x");
  staged_file out;
  EXPECT_EQ(-1, staged_create(out, tmp.c_str()));
  EXPECT_EQ(nullptr, out.get());
  EXPECT_EQ("x", read_file(tmp + "/inside"));
}

// Abandoned while open, after its close (errno kept), after a failed rename
// or by a new creation on the same record: no temporary file stays and the
// target is untouched. A rename hands the file over for good.
TEST_F(StagedFile, AbandonedReplacementsLeaveNothingBehind) {
  {
    staged_file out;
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
    std::fputs("never\n", out.get());
  }
  {
    staged_file out;
    ASSERT_EQ(0, staged_create_unique(out, (target + ".XXXXXX").c_str()));
    EXPECT_TRUE(closed_on_exec(out));
    ASSERT_EQ(0, staged_close(out));
    errno = EXDEV;
    staged_abandon(out);
    EXPECT_EQ(EXDEV, errno);
  }
  {
    write_file(dir + "/busy/inside", "x");
    staged_file out;
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
    ASSERT_EQ(0, staged_close(out));
    EXPECT_EQ(-1, staged_rename(out, (dir + "/busy").c_str()));
  }
  {
    staged_file out;
    ASSERT_EQ(0, staged_create(out, (dir + "/first.tmp").c_str()));
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
  }
  EXPECT_EQ("busy\ntarget\nvictim\n", sh("ls " + dir));
  EXPECT_EQ("old\n", read_file(target));
  {
    staged_file out;
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
    ASSERT_EQ(0, staged_close(out));
    ASSERT_EQ(0, staged_rename(out, target.c_str()));
  }
  EXPECT_EQ("busy\ntarget\nvictim\n", sh("ls " + dir));
  EXPECT_EQ("", read_file(target));
}

// The owner changes before the mode, so the set-id bits that a change of
// owner clears come back; (uid_t)-1 and (gid_t)-1 keep the creator's.
TEST_F(StagedFile, SetIdBitsSurviveTheChangeOfOwner) {
  const uid_t nobody = 65534;
  const gid_t nogroup = 65534;
  for (mode_t mode : {06755u, 04711u}) {
    const bool keep = mode == 04711u;
    SCOPED_TRACE(keep ? "owner kept" : "owner changed");
    staged_file out;
    ASSERT_EQ(0, staged_create(out, tmp.c_str()));
    ASSERT_EQ(0, staged_owner_mode(out, keep ? static_cast<uid_t>(-1) : nobody,
                                   keep ? static_cast<gid_t>(-1) : nogroup, mode));
    ASSERT_EQ(0, staged_close(out));
    ASSERT_EQ(0, staged_rename(out, target.c_str()));
    struct stat st = lstat_of(target);
    EXPECT_EQ(keep ? 0 : nobody, st.st_uid);
    EXPECT_EQ(keep ? 0 : nogroup, st.st_gid);
    EXPECT_EQ(S_IFREG | mode, st.st_mode);
  }
}
