#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "runtime/tree.h"
#include "tests/harness.h"

namespace {

constexpr uid_t user_id = 1234;
constexpr gid_t group_id = 2345;

// The top of every tree; the sandbox's /tmp is private to the test.
const std::string top = "/tmp/tree";
// Something outside the tree that links inside it point to.
const std::string outside = "/tmp/outside";
const std::string secret = "/tmp/outside/secret";

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    ADD_FAILURE() << "lstat " << path << ": " << std::strerror(errno);
  return st;
}

bool owned_by(const std::string& path, uid_t uid, gid_t gid) {
  struct stat st = lstat_of(path);
  return st.st_uid == uid && st.st_gid == gid;
}

mode_t mode_of(const std::string& path) { return lstat_of(path).st_mode & 07777; }

// What the reporter writes on each stream for text, with the error line
// for err when it is not 0.
std::string report(const std::string& text, int err = 0) {
  std::string r = "cifsctl: " + text;
  if (err)
    r += "\nSystem error " + std::to_string(err) + ": " + std::strerror(err);
  if (r.back() != '\n')
    r += '\n';
  return r;
}

// Runs body in a child, as the program would with its reporter set up.
run_result in_child(const std::function<void()>& body) {
  return run_in_child([&] {
    program_path = "/usr/local/tav/admin/sbin/cifsctl";
    body();
  });
}

// top/f, top/sub/g, top/sub/deep/h, links to a secret file and directory
// outside, a link to a file within, and a pipe.
void make_tree() {
  write_file(secret, "root only\n", 0600);
  write_file(top + "/f", "f");
  write_file(top + "/sub/g", "g");
  write_file(top + "/sub/deep/h", "h");
  ASSERT_EQ(symlink(secret.c_str(), (top + "/secret-link").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (top + "/sub/outside-link").c_str()), 0);
  ASSERT_EQ(symlink("../f", (top + "/sub/f-link").c_str()), 0);
  ASSERT_EQ(mkfifo((top + "/sub/deep/pipe").c_str(), 0644), 0);
}

class Tree : public ::testing::Test {
 protected:
  void SetUp() override { make_tree(); }

  void expect_outside_untouched() {
    EXPECT_TRUE(owned_by(secret, 0, 0));
    EXPECT_EQ(mode_of(secret), 0600u);
    EXPECT_TRUE(owned_by(outside, 0, 0));
    EXPECT_EQ(read_file(secret), "root only\n");
  }
};

}  // namespace

TEST_F(Tree, ChownChangesEverythingBelowAndTheTopOnlyWhenAsked) {
  chown_tree(top.c_str(), user_id, group_id, false);
  EXPECT_TRUE(owned_by(top, 0, 0));
  for (const char* p : {"/f", "/sub", "/sub/g", "/sub/deep", "/sub/deep/h"})
    EXPECT_TRUE(owned_by(top + p, user_id, group_id)) << p;
  // Links and special files are left alone, and so is what links point to.
  for (const char* p : {"/secret-link", "/sub/outside-link", "/sub/f-link", "/sub/deep/pipe"})
    EXPECT_TRUE(owned_by(top + p, 0, 0)) << p;
  expect_outside_untouched();

  chown_tree(top.c_str(), user_id, group_id, true);
  EXPECT_TRUE(owned_by(top, user_id, group_id));
  EXPECT_EQ(chown_chmod_tree(top.c_str(), 7, 8, 0640, 0750, true), 0);
  EXPECT_TRUE(owned_by(top + "/sub/deep/h", 7, 8));
  EXPECT_EQ(mode_of(top + "/sub/deep/h"), 0640u);
  expect_outside_untouched();
}

TEST_F(Tree, ChmodGivesFilesAndDirectoriesTheirModes) {
  chmod_tree(top.c_str(), 0640, 02750, false);
  EXPECT_EQ(mode_of(top), 0755u);
  EXPECT_EQ(mode_of(top + "/f"), 0640u);
  EXPECT_EQ(mode_of(top + "/sub/deep/h"), 0640u);
  EXPECT_EQ(mode_of(top + "/sub"), 02750u);
  EXPECT_EQ(mode_of(top + "/sub/deep"), 02750u);
  EXPECT_EQ(mode_of(top + "/sub/deep/pipe"), 0644u);
  expect_outside_untouched();

  chmod_tree(top.c_str(), 0600, 0700, true);
  EXPECT_EQ(mode_of(top), 0700u);
  expect_outside_untouched();
}

TEST_F(Tree, TopThatIsALinkOrAFile) {
  // A link as the top is neither followed nor changed.
  chown_tree((top + "/secret-link").c_str(), user_id, group_id, true);
  chmod_tree((top + "/secret-link").c_str(), 0666, 0777, true);
  EXPECT_TRUE(owned_by(top + "/secret-link", 0, 0));
  expect_outside_untouched();
  const std::string dir_link = top + "/sub/outside-link";
  chown_tree(dir_link.c_str(), user_id, group_id, true);
  expect_outside_untouched();

  // A regular file as the top is changed itself.
  chown_tree((top + "/f").c_str(), user_id, group_id, false);
  chmod_tree((top + "/f").c_str(), 0604, 0777, false);
  EXPECT_TRUE(owned_by(top + "/f", user_id, group_id));
  EXPECT_EQ(mode_of(top + "/f"), 0604u);

  // remove_tree takes the link away, never its target.
  remove_tree(dir_link.c_str(), true);
  remove_tree((top + "/secret-link").c_str(), false);
  EXPECT_FALSE(file_exists(dir_link));
  EXPECT_FALSE(file_exists(top + "/secret-link"));
  expect_outside_untouched();
  remove_tree((top + "/f").c_str(), false);
  EXPECT_FALSE(file_exists(top + "/f"));

  run_result r = in_child([] { rename_in_tree((top + "/sub/g").c_str(), "g", "x", true); });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report("It's a regulat entry(not directory): /tmp/tree/sub/g\n"), r.err);
  EXPECT_TRUE(file_exists(top + "/sub/g"));
}

TEST_F(Tree, MissingOrSpecialTop) {
  remove_tree("/tmp/nowhere", true);  // nothing to do

  const std::string missing = report("Unable to get entry /tmp/nowhere: No such file or directory\n", ENOENT);
  run_result r = in_child([] { chown_tree("/tmp/nowhere", 1, 1, true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(missing, r.err);
  EXPECT_TEXT_EQ(missing, r.out);
  r = in_child([] { chmod_tree("/tmp/nowhere", 0644, 0755, true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(missing, r.err);
  r = in_child([] { rename_in_tree("/tmp/nowhere", "a", "b", true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(missing, r.err);

  // A pipe is walked as a directory, which it is not; nothing blocks on it.
  r = in_child([] { chown_tree((top + "/sub/deep/pipe").c_str(), 1, 1, true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("Unable to open dir /tmp/tree/sub/deep/pipe: Not a directory\n", ENOTDIR), r.err);

  // A top whose status cannot be read stops the removal before anything.
  r = in_child([] { remove_tree("/tmp/tree/f/x", true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("Unable to get entry /tmp/tree/f/x: Not a directory\n", ENOTDIR), r.err);
  EXPECT_TRUE(file_exists(top + "/sub/deep/h"));
}

TEST_F(Tree, RemoveTakesLinksNotTargets) {
  remove_tree(top.c_str(), false);
  EXPECT_TRUE(file_exists(top));
  EXPECT_EQ(sh("ls -A /tmp/tree"), "");
  expect_outside_untouched();

  make_tree();
  remove_tree(top.c_str(), true);
  EXPECT_FALSE(file_exists(top));
  expect_outside_untouched();

  // A directory that cannot be removed: a mount point below the tree.
  make_dirs(top + "/busy");
  ASSERT_EQ(mount("t", (top + "/busy").c_str(), "tmpfs", 0, nullptr), 0);
  run_result r = in_child([] { remove_tree(top.c_str(), true); });
  umount((top + "/busy").c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("Unable to remove dir busy: Device or resource busy\n", EBUSY), r.err);
}

TEST_F(Tree, RenameInTreeRenamesRegularFilesOfTheName) {
  write_file(top + "/.htaccess", "top");
  write_file(top + "/sub/.htaccess", "sub");
  write_file(top + "/sub/deep/.htaccess", "deep");
  make_dirs(top + "/sub/deep/dir/.htaccess");  // a directory of that name
  ASSERT_EQ(symlink(secret.c_str(), (top + "/sub/deep/dir/.htaccess/.htaccess").c_str()), 0);

  rename_in_tree(top.c_str(), ".htaccess", ".htaccess.old", false);
  EXPECT_EQ(read_file(top + "/.htaccess"), "top");
  EXPECT_EQ(read_file(top + "/sub/.htaccess.old"), "sub");
  EXPECT_EQ(read_file(top + "/sub/deep/.htaccess.old"), "deep");
  EXPECT_FALSE(file_exists(top + "/sub/.htaccess"));
  EXPECT_TRUE(file_exists(top + "/sub/deep/dir/.htaccess/.htaccess"));  // the link
  EXPECT_FALSE(file_exists(top + "/sub/deep/dir/.htaccess.old"));
  expect_outside_untouched();

  rename_in_tree(top.c_str(), ".htaccess", ".htaccess.old", true);
  EXPECT_EQ(read_file(top + "/.htaccess.old"), "top");

  // Names only: a new name with a path would move files out of the tree.
  run_result r = in_child([] { rename_in_tree(top.c_str(), "g", "../../g", true); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("Unable to rename directory entry g to ../../g: Invalid argument\n", EINVAL), r.err);
  EXPECT_TRUE(file_exists(top + "/sub/g"));
}

TEST_F(Tree, PlantedLinkLeavesItsTargetAlone) {
  // The user's file replaced by a link to a file outside the tree.
  ASSERT_EQ(unlink((top + "/sub/g").c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), (top + "/sub/g").c_str()), 0);
  chown_tree(top.c_str(), user_id, group_id, true);
  chmod_tree(top.c_str(), 0666, 0777, true);
  rename_in_tree(top.c_str(), "g", "g2", true);
  expect_outside_untouched();
  EXPECT_TRUE(file_exists(top + "/sub/g"));
}

TEST_F(Tree, UsersLinksOnTheWayAndHardLinksLeaveTargetsAlone) {
  // A customer's directory u with site a link to outside, and a second
  // name of the secret inside the tree.
  make_dirs(top + "/u");
  ASSERT_EQ(chown((top + "/u").c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink(outside.c_str(), (top + "/u/site").c_str()), 0);
  make_dirs(outside + "/keep");
  ASSERT_EQ(link(secret.c_str(), (top + "/sub/hard").c_str()), 0);
  // A link that root made in a directory of root's own is followed.
  ASSERT_EQ(symlink(outside.c_str(), (top + "/rlink").c_str()), 0);
  EXPECT_EQ(make_dir((top + "/rlink/made").c_str(), 0, 0, 0700), 0);
  EXPECT_TRUE(file_exists(outside + "/made"));
  ASSERT_EQ(rmdir((outside + "/made").c_str()), 0);
  const std::string site = top + "/u/site", loop = "Too many levels of symbolic links";
  struct row {
    const char* what;
    std::function<void()> op;
    const char* says;
  };
  const std::vector<row> rows = {
      {"make_dir", [&] { make_dir((site + "/tav").c_str(), user_id, group_id, 0777); }, loop.c_str()},
      {"make_path", [&] { make_path((site + "/rc.conf.d").c_str(), user_id, group_id, 0777); }, loop.c_str()},
      {"chown_tree", [&] { chown_tree((site + "/keep").c_str(), user_id, group_id, true); }, loop.c_str()},
      {"chmod_tree", [&] { chmod_tree((site + "/keep").c_str(), 0666, 0777, true); }, loop.c_str()},
      {"remove_tree", [&] { remove_tree((site + "/keep").c_str(), true); }, loop.c_str()},
      {"truncate", [&] { create_truncate_file((site + "/secret").c_str()); }, loop.c_str()},
      {"chown_tree, hard link", [&] { chown_tree(top.c_str(), user_id, group_id, true); },
       "hard is left alone: a file with 2 names"},
      {"chmod_tree, hard link", [&] { chmod_tree((top + "/sub/hard").c_str(), 0666, 0777, true); },
       "hard is left alone: a file with 2 names"},
      {"truncate, hard link", [&] { create_truncate_file((top + "/sub/hard").c_str()); },
       "hard is left alone: a file with 2 names"},
      {"make_dir, hard link", [&] { make_dir((top + "/sub/hard").c_str(), user_id, group_id, 0777); },
       "Not a directory"},
  };
  for (const row& c : rows) {
    run_result r = in_child(c.op);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    expect_outside_untouched();
    EXPECT_TRUE(file_exists(outside + "/keep")) << c.what;
    EXPECT_TRUE(owned_by(outside + "/keep", 0, 0)) << c.what;
    EXPECT_EQ(sh("ls " + outside), "keep\nsecret\n") << c.what;
  }
}

TEST_F(Tree, LinkSwappedInDuringWalksLeavesItsTargetAlone) {
  // A process owning the tree swaps a file and a link to the secret in and
  // out under one name while the walkers run. Whatever the interleaving,
  // the secret must keep its owner and mode.
  const std::string victim = top + "/sub/deep/victim";
  write_file(victim, "v");
  pid_t swapper = fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    const std::string file_tmp = top + "/sub/deep/.file", link_tmp = top + "/sub/deep/.link";
    for (;;) {
      int fd = open(file_tmp.c_str(), O_WRONLY | O_CREAT, 0644);
      close(fd);
      rename(file_tmp.c_str(), victim.c_str());
      symlink(secret.c_str(), link_tmp.c_str());
      rename(link_tmp.c_str(), victim.c_str());
    }
  }
  // A walker that changes entries by name loses this race in most runs.
  const std::string deep = top + "/sub/deep";
  for (int i = 0; i < 20000; ++i) {
    chown_tree(deep.c_str(), user_id + (i & 1), group_id, false);
    chmod_tree(deep.c_str(), i & 1 ? 0666 : 0644, 0755, false);
  }
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  expect_outside_untouched();
}

TEST_F(Tree, WalkersNeedNoProc) {
  // FreeBSD mounts no /proc: take it away in a mount namespace of the
  // child's own, then walk, make and remove.
  run_result r = in_child([] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      _exit(98);
    while (umount2("/proc", MNT_DETACH) == 0) {
    }  // the sandbox's /proc lies over the machine's
    if (access("/proc/self", F_OK) == 0)
      _exit(99);
    chown_tree(top.c_str(), user_id, group_id, true);
    chmod_tree(top.c_str(), 0640, 0750, true);
    std::printf("%d\n", make_dir("/tmp/md", user_id, group_id, 0710));
    remove_tree((top + "/sub/deep").c_str(), true);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ("0\n", r.out);
  for (const char* p : {"", "/f", "/sub", "/sub/g"})
    EXPECT_TRUE(owned_by(top + p, user_id, group_id)) << p;
  EXPECT_EQ(mode_of(top + "/sub/g"), 0640u);
  EXPECT_EQ(mode_of(top + "/sub"), 0750u);
  EXPECT_TRUE(owned_by("/tmp/md", user_id, group_id));
  EXPECT_EQ(mode_of("/tmp/md"), 0710u);
  EXPECT_FALSE(file_exists(top + "/sub/deep"));
  expect_outside_untouched();
}

TEST(TreeSubdir, PhysicalLocationStrictlyBelow) {
  make_dirs("/tmp/r/a/b");
  make_dirs("/tmp/rb");
  ASSERT_EQ(symlink("/tmp/r/a", "/tmp/alink"), 0);
  ASSERT_EQ(chdir("/tmp/rb"), 0);
  EXPECT_EQ(is_subdir("/tmp/r/a", "/tmp/r"), 1);
  EXPECT_EQ(is_subdir("/tmp/r/a/b", "/tmp/r"), 1);
  EXPECT_EQ(is_subdir("/tmp/r/a/b/", "/tmp/r/"), 1);
  EXPECT_EQ(is_subdir("/tmp/alink/b", "/tmp/r"), 0);  // a link in /tmp: anyone's
  make_dirs("/tmp/ro");
  ASSERT_EQ(symlink("/tmp/r/a", "/tmp/ro/alink"), 0);
  EXPECT_EQ(is_subdir("/tmp/ro/alink/b", "/tmp/r"), 1);  // root's link resolved
  ASSERT_EQ(chown("/tmp/ro", 65534, 65534), 0);
  EXPECT_EQ(is_subdir("/tmp/ro/alink/b", "/tmp/r"), 0);  // now a user's
  EXPECT_EQ(is_subdir("/tmp/r/a/../a", "/tmp/r"), 1);
  EXPECT_EQ(is_subdir("/tmp/r", "/tmp/r"), 0);
  EXPECT_EQ(is_subdir("/tmp/r", "/tmp/r/a"), 0);
  EXPECT_EQ(is_subdir("/tmp/rb", "/tmp/r"), 0);       // a prefix of the name only
  EXPECT_EQ(is_subdir("/tmp/alink", "/tmp/r"), 0);    // the last component a link
  EXPECT_EQ(is_subdir("/tmp/r/none", "/tmp/r"), 0);
  EXPECT_EQ(is_subdir("/tmp/r/a", "/tmp/none"), 0);
  EXPECT_EQ(is_subdir("/tmp", "/"), 0);               // no "/" follows the root "/"
  EXPECT_EQ(is_subdir("/", "/"), 0);
  EXPECT_EQ(is_subdir("a", "/tmp"), 0);               // relative to /tmp/rb: none
  EXPECT_EQ(is_subdir("..", "/"), 0);
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_STREQ(cwd, "/tmp/rb");
}

TEST(TreeRenameDir, RefusesAnExistingTarget) {
  EXPECT_EQ(rename_dir("/tmp/none", "/tmp/other"), 0);
  EXPECT_FALSE(file_exists("/tmp/other"));

  write_file("/tmp/a/x", "x");
  make_dirs("/tmp/b");
  run_result r = in_child([] { std::printf("%d\n", rename_dir("/tmp/a", "/tmp/b")); });
  EXPECT_TEXT_EQ(report("Directory rename error: target directory /tmp/b already exists.\n") + "-1\n", r.out);
  EXPECT_EQ(read_file("/tmp/a/x"), "x");

  r = in_child([] { std::printf("%d\n", rename_dir("/tmp/a", "/tmp/none/c")); });
  EXPECT_TEXT_EQ(report("Remaming /tmp/a to /tmp/none/c failed: No such file or directory\n", ENOENT) + "-1\n",
                 r.out);

  EXPECT_EQ(rename_dir("/tmp/a", "/tmp/c"), 0);
  EXPECT_EQ(read_file("/tmp/c/x"), "x");
}

namespace {

const std::string vhosts = std::string(test_product_root) + "/vhosts";
const std::string mailnames = "/var/qmail/mailnames";

class Deferred : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    write_file(vhosts + "/dom.example/httpdocs/index.html", "index");
    write_file(mailnames + "/dom.example/info/Maildir/new/1", "mail");
  }

  static std::string deleted_in(const std::string& root) {
    return sh("cd " + root + " && ls -d __deleted* 2>/dev/null");
  }
};

}  // namespace

TEST_F(Deferred, MovesAsideThenCleansUp) {
  run_result r = in_child([] { deferred_remove((vhosts + "/dom.example").c_str()); });
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(file_exists(vhosts + "/dom.example"));
  std::string moved = deleted_in(vhosts);
  ASSERT_EQ(moved.size(), std::string("__deletedXXXXXX\n").size()) << moved;
  moved.pop_back();
  EXPECT_EQ(read_file(vhosts + "/" + moved + "/httpdocs/index.html"), "index");
  EXPECT_TEXT_EQ(report("deferred_remove(): rename dir " + vhosts + "/dom.example to " + vhosts + "/" + moved + "\n"),
                 r.err);

  // Reached through root's link in an earlier component: moved by its
  // physical place.
  make_dirs("/tmp/ro");
  ASSERT_EQ(symlink(mailnames.c_str(), "/tmp/ro/mail"), 0);
  r = in_child([] { deferred_remove("/tmp/ro/mail/dom.example/info"); });
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(file_exists(mailnames + "/dom.example/info"));
  EXPECT_NE(deleted_in(mailnames), "");

  // Only directories directly in a root go; files of the name and deeper
  // directories stay, and so does what a link points to.
  write_file(vhosts + "/__deleted-file", "keep");
  make_dirs(vhosts + "/other/__deletedABCDEF/keep");
  make_dirs("/tmp/target/keep");
  ASSERT_EQ(symlink("/tmp/target", (vhosts + "/__deletedLINK").c_str()), 0);
  ASSERT_EQ(symlink("/tmp/none", (vhosts + "/dangling").c_str()), 0);
  ASSERT_EQ(chdir("/tmp"), 0);
  r = in_child([] { deferred_remove_cleanup(); });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report("Unable to stat file dangling, skipped\n", ENOENT), r.err);
  EXPECT_EQ(deleted_in(vhosts), "__deleted-file\n");
  EXPECT_EQ(deleted_in(mailnames), "");
  EXPECT_TRUE(file_exists(vhosts + "/other/__deletedABCDEF/keep"));
  EXPECT_TRUE(file_exists("/tmp/target/keep"));
  EXPECT_TRUE(file_exists(mailnames + "/dom.example"));

  // The working directory is where it was.
  r = in_child([] {
    deferred_remove_cleanup();
    char cwd[PATH_MAX];
    std::printf("%s\n", getcwd(cwd, sizeof cwd));
  });
  EXPECT_EQ(r.out, report("Unable to stat file dangling, skipped\n", ENOENT) + "/tmp\n");
}

TEST_F(Deferred, RefusesUnsupportedDirectories) {
  make_dirs("/tmp/elsewhere");
  ASSERT_EQ(symlink((vhosts + "/dom.example").c_str(), (vhosts + "/alias").c_str()), 0);
  for (std::string path : {std::string("/tmp/elsewhere"), vhosts, mailnames, vhosts + "/alias",
                           vhosts + "/none", vhosts + "/dom.example/httpdocs/index.html"}) {
    run_result r = in_child([&] { deferred_remove(path.c_str()); });
    EXPECT_EQ(r.status, 1) << path;
    // The report carries the error of a failed look at the path, if any.
    int error = path == vhosts + "/none" ? ENOENT : 0;
    EXPECT_TEXT_EQ(report("deferred_remove(): not supported directory for deferred remove: " + path + "\n", error),
                   r.err);
  }
  EXPECT_TRUE(file_exists(vhosts + "/dom.example/httpdocs/index.html"));
  EXPECT_EQ(deleted_in(vhosts), "");

  // With "/" as a root nothing lies below it.
  std::string conf = product_conf_text();
  conf.replace(conf.find(vhosts), vhosts.size(), "/");
  write_file("/etc/tav/tav.conf", conf);
  run_result r = in_child([] { deferred_remove("/tmp/elsewhere"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("deferred_remove(): not supported directory for deferred remove: /tmp/elsewhere\n"), r.err);
  EXPECT_TRUE(file_exists("/tmp/elsewhere"));
}

TEST_F(Deferred, CustomersLinkReachesNoOtherDirectory) {
  const std::string own = vhosts + "/attacker.com/httpdocs", old = own + "/old";
  make_dirs(own + "/real/httpdocs");
  sh("chown -R nobody:nogroup " + vhosts + "/attacker.com");
  ASSERT_EQ(symlink("../../dom.example", old.c_str()), 0);
  run_result r = in_child([&] { deferred_remove((old + "/httpdocs").c_str()); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("deferred_remove(): not supported directory for deferred remove: " + old + "/httpdocs\n",
                        ELOOP),
                 r.err);
  ASSERT_EQ(unlink(old.c_str()), 0);

  // The customer swaps old between a directory of theirs and the link.
  pid_t swapper = fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(99);
    for (const std::string real = own + "/real";;) {
      mkdir((real + "/httpdocs").c_str(), 0755);
      rename(real.c_str(), old.c_str());
      rename(old.c_str(), real.c_str());
      symlink("../../dom.example", old.c_str());
      unlink(old.c_str());
    }
  }
  for (int i = 0; i < 300; ++i)
    in_child([&] { deferred_remove((old + "/httpdocs").c_str()); });
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  EXPECT_EQ(read_file(vhosts + "/dom.example/httpdocs/index.html"), "index");
  EXPECT_EQ(sh("find " + vhosts + " -path '*__deleted*' -name index.html"), "");
}

TEST_F(Deferred, CleanupReportsWhatItCannotRemove) {
  make_dirs(vhosts + "/__deletedBUSY001/mnt");
  ASSERT_EQ(mount("t", (vhosts + "/__deletedBUSY001/mnt").c_str(), "tmpfs", 0, nullptr), 0);
  make_dirs(mailnames + "/__deletedGONE01/x");
  run_result r = in_child([] { deferred_remove_cleanup(); });
  umount((vhosts + "/__deletedBUSY001/mnt").c_str());
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report("Can't remove directory __deletedBUSY001 (will try in next time)\n"), r.err);
  EXPECT_EQ(deleted_in(mailnames), "");  // the next root is still cleaned

  // A root that cannot be opened ends the cleanup.
  make_dirs(mailnames + "/__deletedSTAYS1");
  remove_tree(vhosts.c_str(), true);
  r = in_child([] { deferred_remove_cleanup(); });
  EXPECT_EQ(r.status, 0);
  EXPECT_TEXT_EQ(report("Unable to open dir " + vhosts + ": No such file or directory\n", ENOENT), r.err);
  EXPECT_EQ(deleted_in(mailnames), "__deletedSTAYS1\n");
}

TEST(TreeMake, MakePathCreatesMissingLevels) {
  umask(022);
  make_dirs("/tmp/mp");
  const char path[] = "/tmp/mp/a/b/c";
  make_path(path, user_id, group_id, 01770);
  EXPECT_STREQ(path, "/tmp/mp/a/b/c");
  EXPECT_TRUE(owned_by("/tmp/mp", 0, 0));
  for (const char* p : {"/tmp/mp/a", "/tmp/mp/a/b"}) {
    EXPECT_TRUE(owned_by(p, user_id, group_id)) << p;
    EXPECT_EQ(mode_of(p), 0750u) << p;  // umask 022 applies, no sticky bit
  }
  EXPECT_TRUE(owned_by("/tmp/mp/a/b/c", user_id, group_id));
  EXPECT_EQ(mode_of("/tmp/mp/a/b/c"), 01750u);

  // An existing level keeps its owner and mode.
  make_path("/tmp/mp/a/b/c", 1, 1, 0700);
  EXPECT_TRUE(owned_by("/tmp/mp/a/b/c", user_id, group_id));

  // A trailing "/" makes the last level a parent: no sticky bit.
  char text[] = "/tmp/mp/d/";
  make_path_in_place(text, user_id, group_id, 01770);
  EXPECT_STREQ(text, "/tmp/mp/d/");
  EXPECT_EQ(mode_of("/tmp/mp/d"), 0750u);

  write_file("/tmp/mp/file", "");
  run_result r = in_child([] { make_path("/tmp/mp/file/x/y", 0, 0, 0755); });
  EXPECT_EQ(r.status, 1);
  EXPECT_TEXT_EQ(report("Cannot create directory /tmp/mp/file/x: Not a directory", ENOTDIR), r.err);
}

TEST(TreeMake, MakeDirGivesOwnerAndModeButNotThroughALink) {
  make_dirs("/tmp/md");
  EXPECT_EQ(make_dir("/tmp/md/new", user_id, group_id, 0710), 0);
  EXPECT_TRUE(owned_by("/tmp/md/new", user_id, group_id));
  EXPECT_EQ(mode_of("/tmp/md/new"), 0710u);  // set after creation: no umask
  EXPECT_EQ(make_dir("/tmp/md/new", 7, 8, 0700), 0);
  EXPECT_TRUE(owned_by("/tmp/md/new", 7, 8));
  EXPECT_EQ(mode_of("/tmp/md/new"), 0700u);

  write_file(secret, "root only\n", 0600);
  ASSERT_EQ(symlink(secret.c_str(), "/tmp/md/link"), 0);
  run_result r = in_child([] { std::printf("%d\n", make_dir("/tmp/md/link", user_id, group_id, 0777)); });
  EXPECT_TEXT_EQ(report("ERROR: Unable to chown /tmp/md/link: Too many levels of symbolic links\n", ELOOP) +
                     "-1\n",
                 r.out);
  EXPECT_TRUE(owned_by(secret, 0, 0));
  EXPECT_EQ(mode_of(secret), 0600u);

  r = in_child([] { std::printf("%d\n", make_dir("/tmp/md/none/x", 0, 0, 0755)); });
  EXPECT_TEXT_EQ(report("ERROR: Unable to mkdir /tmp/md/none/x: No such file or directory\n", ENOENT) + "-1\n",
                 r.out);
}

TEST(TreeFiles, CreateAndTruncate) {
  umask(022);
  write_file("/tmp/cf/data", "content");
  EXPECT_EQ(create_file("/tmp/cf/data"), 0);
  EXPECT_EQ(read_file("/tmp/cf/data"), "content");
  EXPECT_EQ(create_truncate_file("/tmp/cf/data"), 0);
  EXPECT_EQ(read_file("/tmp/cf/data"), "");
  EXPECT_EQ(create_file("/tmp/cf/new"), 0);
  EXPECT_EQ(mode_of("/tmp/cf/new"), 0644u);
  EXPECT_EQ(create_truncate_file("/tmp/cf/new2"), 0);
  EXPECT_TRUE(file_exists("/tmp/cf/new2"));

  // A link planted at the path: its target is neither truncated nor made.
  write_file(secret, "root only\n", 0600);
  ASSERT_EQ(symlink(secret.c_str(), "/tmp/cf/link"), 0);
  ASSERT_EQ(symlink("/tmp/cf/made", "/tmp/cf/dangling"), 0);
  run_result r = in_child([] {
    int truncated = create_truncate_file("/tmp/cf/link");
    int created = create_file("/tmp/cf/dangling");
    std::printf("%d %d\n", truncated, created);
  });
  EXPECT_TEXT_EQ(report("Unable to truncate or create file /tmp/cf/link: Too many levels of symbolic links", ELOOP) +
                     report("Unable to create file /tmp/cf/dangling: Too many levels of symbolic links", ELOOP) +
                     "-1 -1\n",
                 r.out);
  EXPECT_EQ(read_file(secret), "root only\n");
  EXPECT_FALSE(file_exists("/tmp/cf/made"));

  // A pipe without a reader fails at once instead of hanging.
  ASSERT_EQ(mkfifo("/tmp/cf/pipe", 0644), 0);
  r = in_child([] { std::printf("%d\n", create_file("/tmp/cf/pipe")); });
  EXPECT_TEXT_EQ(report("Unable to create file /tmp/cf/pipe: No such device or address", ENXIO) + "-1\n", r.out);
}

TEST(TreeFiles, SmallHelpers) {
  write_file("/tmp/h/b", "");
  const char* list[] = {"/tmp/h/a", "/tmp/h/b", "/tmp/h", nullptr};
  const char* found = "x";
  errno = 0;
  EXPECT_EQ(first_existing_path(&found, list), 1);
  EXPECT_STREQ(found, "/tmp/h/b");
  EXPECT_EQ(errno, 0);
  const char* none[] = {"/tmp/h/a", "/tmp/h/c", nullptr};
  EXPECT_EQ(first_existing_path(&found, none), 0);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(errno, 0);

  EXPECT_EQ(is_empty_string(nullptr), 1);
  EXPECT_EQ(is_empty_string(""), 1);
  EXPECT_EQ(is_empty_string(" "), 0);

  run_result r = in_child([] {
    FILE* f = std::fopen("/tmp/h/b", "w");
    std::fputs("buffered", f);
    close(fileno(f));  // the flush in fclose fails
    int rc = close_stream(f);
    std::printf("%d\n", rc);
  });
  EXPECT_TEXT_EQ(report("Unable to close the file: Bad file descriptor\n", EBADF) + "-1\n", r.out);
  r = in_child([] { std::printf("%d\n", close_stream(std::fopen("/tmp/h/b", "r"))); });
  EXPECT_EQ(r.out, "0\n");
}

TEST(TreeRealPath, PhysicalDirectoryFinalNameKept) {
  write_file("/tmp/rp/dir/file", "");
  ASSERT_EQ(symlink("/tmp/rp/dir", "/tmp/rp/dlink"), 0);
  ASSERT_EQ(symlink("file", "/tmp/rp/dir/flink"), 0);
  ASSERT_EQ(chdir("/tmp/rp"), 0);
  auto rp = [](const char* p) {
    const char* r = real_path(p);
    return std::string(r ? r : "(null)");
  };
  EXPECT_EQ(rp("/tmp/rp/dlink"), "/tmp/rp/dir");
  EXPECT_EQ(rp("dlink/"), "/tmp/rp/dir");
  EXPECT_EQ(rp("/tmp/rp/dlink/file"), "/tmp/rp/dir/file");
  EXPECT_EQ(rp("dlink/flink"), "/tmp/rp/dir/flink");  // the final link is kept
  EXPECT_EQ(rp("dlink/../dir/file"), "/tmp/rp/dir/file");
  chdir("/tmp/rp/dir");
  EXPECT_EQ(rp("file"), "/tmp/rp/dir/file");
  EXPECT_EQ(rp("."), "/tmp/rp/dir");
  char cwd[PATH_MAX];
  EXPECT_STREQ(getcwd(cwd, sizeof cwd), "/tmp/rp/dir");

  run_result r = in_child([] { std::printf("%p\n", static_cast<void*>(real_path("/tmp/rp/none"))); });
  EXPECT_TEXT_EQ(report("Such path '/tmp/rp/none' does not exist\n", ENOENT) + "(nil)\n", r.out);

  // A name directly below "/" (in a root of the test's own).
  write_file("/tmp/rp/root/top-file", "");
  r = in_child([] {
    if (chroot("/tmp/rp/root") != 0 || chdir("/") != 0)
      return;
    const char* p = real_path("/top-file");
    std::printf("%s\n", p ? p : "(null)");
  });
  EXPECT_EQ(r.out, "/top-file\n");
}

TEST(TreeRealPath, RefusesAResultThatDoesNotFit) {
  // A directory whose physical name takes about 4000 bytes.
  std::string dir = "/tmp/long";
  make_dirs(dir);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  const std::string level(200, 'd');
  while (dir.size() < 3990) {
    ASSERT_EQ(mkdir(level.c_str(), 0755), 0);
    ASSERT_EQ(chdir(level.c_str()), 0);
    dir += "/" + level;
  }
  const std::string name(120, 'f');
  ASSERT_EQ(close(open(name.substr(0, 50).c_str(), O_WRONLY | O_CREAT, 0644)), 0);  // fits
  ASSERT_EQ(close(open(name.c_str(), O_WRONLY | O_CREAT, 0644)), 0);

  const char* fits = real_path(name.substr(0, 50).c_str());
  ASSERT_NE(fits, nullptr);
  EXPECT_EQ(std::string(fits), dir + "/" + name.substr(0, 50));

  run_result r = in_child([&] { std::printf("%p\n", static_cast<void*>(real_path(name.c_str()))); });
  EXPECT_TEXT_EQ(report("Unable to get real path information\n", ENAMETOOLONG) + "(nil)\n", r.out);
}
