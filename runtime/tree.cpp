#include "runtime/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/path_walk.h"
#include "runtime/paths.h"
#include "runtime/product_conf.h"

namespace {

constexpr const char deleted_marker[] = "__deleted";
constexpr size_t deleted_marker_len = sizeof deleted_marker - 1;

char real_path_buf[text_size];

// ---------------------------------------------------------------------------
// Acting on a checked entry without following a link.
//
// An entry's type is read with fstatat(AT_SYMLINK_NOFOLLOW) relative to the
// open directory that holds it, and every change is made relative to that
// directory too, never by a path looked up again from the top. A name
// swapped for a link after the check therefore changes nothing outside the
// tree: a file's owner and mode are changed through a descriptor opened
// with O_NOFOLLOW, and a directory is opened with O_DIRECTORY|O_NOFOLLOW
// and walked and changed through that descriptor. Nothing needs /proc.

// open_nofollow (path_walk.h) adds O_NONBLOCK and O_NOCTTY: a pipe or
// terminal swapped in after the check neither blocks nor becomes the
// controlling terminal (a tree's owner cannot plant any other device:
// mknod needs privilege, and /dev is a file system of its own, out of reach
// of a hard link).
unique_fd open_dir(int dirfd, const char* name) {
  return unique_fd(open_nofollow(dirfd, name, O_RDONLY | O_DIRECTORY));
}

// Gone, or no longer what the check saw (a link or socket in its place).
bool changed_meanwhile(int error) {
  return error == ENOENT || error == ELOOP || error == ENOTDIR || error == ENXIO;
}

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// ---------------------------------------------------------------------------
// The tree walkers.

enum class walk_kind { chown, chmod, remove, rename };

struct tree_walk {
  walk_kind kind;
  uid_t uid;
  gid_t gid;
  mode_t file_mode;
  mode_t dir_mode;
  const char* old_name;
  const char* new_name;
};

// Gives the regular file name in dirfd (shown as shown in reports) the
// walk's owner or file mode. There is no chmod of a name that leaves a link
// alone everywhere (glibc's fchmodat with AT_SYMLINK_NOFOLLOW needs /proc),
// so the file is opened without following a link and changed through its
// descriptor once fstat shows it still a regular file. One with more than
// one name is left alone with a notice: a hard link planted in the tree
// would hand over another's file (FreeBSD lets any user link any file). An
// entry changed meanwhile is left alone. 0, or -1 and errno.
int change_file_at(const tree_walk& w, int dirfd, const char* name, const char* shown) {
  unique_fd fd(open_nofollow(dirfd, name, O_RDONLY));
  if (!fd)
    return changed_meanwhile(errno) ? 0 : -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0)
    return -1;
  if (!S_ISREG(st.st_mode))
    return 0;
  unsigned long names = names_of(dirfd, name, fd.get());
  if (names != 1) {
    if (names > 1)
      report_notice("%s is left alone: a file with %lu names", shown, names);
    return 0;
  }
  return w.kind == walk_kind::chown ? fchown(fd.get(), w.uid, w.gid) : fchmod(fd.get(), w.file_mode);
}

// One entry of a directory that is not itself a directory.
void walk_entry(const tree_walk& w, int dirfd, const char* name, const struct stat& st,
                bool apply_to_top) {
  if (S_ISREG(st.st_mode)) {
    switch (w.kind) {
      case walk_kind::chown:
        if (change_file_at(w, dirfd, name, name) != 0)
          fatal("Unable to chown directory entry %s: %s\n", name, std::strerror(errno));
        return;
      case walk_kind::chmod:
        if (change_file_at(w, dirfd, name, name) != 0)
          fatal("Unable to chmod directory entry %s: %s\n", name, std::strerror(errno));
        return;
      case walk_kind::remove:
        break;  // as any other non-directory below
      case walk_kind::rename:
        // rename never follows a link, and it stays within this directory.
        if (apply_to_top && std::strcmp(name, w.old_name) == 0 &&
            renameat(dirfd, w.old_name, dirfd, w.new_name) != 0 && errno != ENOENT)
          fatal("Unable to rename directory entry %s to %s: %s\n", w.old_name, w.new_name,
                std::strerror(errno));
        return;
    }
  }
  // Links, devices, pipes and sockets: only removal touches them, and
  // unlinkat removes the entry itself, never what a link points to.
  if (w.kind == walk_kind::remove && unlinkat(dirfd, name, 0) != 0 && errno != ENOENT)
    fatal("Unable to unlink directory entry %s: %s\n", name, std::strerror(errno));
}

// Walks the open directory dir (parentfd and entry locate it for its
// removal; name is how reports show it), then changes the directory itself
// when apply_to_top. Holds one descriptor per level.
void walk_dir(const tree_walk& w, unique_fd dir, int parentfd, const char* entry, const char* name,
              bool apply_to_top) {
  int fd = dir.get();
  unique_dir stream(fdopendir(fd));
  if (!stream)
    fatal("Unable to open dir %s: %s\n", name, std::strerror(errno));
  dir.release();  // the stream owns it now

  for (;;) {
    errno_keeper keep;
    errno = 0;
    struct dirent* e = readdir(stream.get());
    if (!e) {
      // A half-walked tree must not pass for a walked one. ENOENT: the
      // directory itself was removed meanwhile, so it holds nothing more.
      if (errno != 0 && errno != ENOENT)
        fatal("Unable to read dir %s: %s\n", name, std::strerror(errno));
      break;
    }
    if (is_dot_or_dotdot(e->d_name))
      continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        continue;  // removed by someone else meanwhile
      fatal("Unable to check directory entry %s: %s\n", e->d_name, std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
      // A directory swapped for anything else since the check is skipped
      // like one removed: what was checked is no longer there.
      unique_fd sub = open_dir(fd, e->d_name);
      if (!sub) {
        if (changed_meanwhile(errno))
          continue;
        fatal("Unable to open dir %s: %s\n", e->d_name, std::strerror(errno));
      }
      walk_dir(w, std::move(sub), fd, e->d_name, e->d_name, true);
    } else {
      walk_entry(w, fd, e->d_name, st, apply_to_top);
    }
  }

  if (apply_to_top) {
    if (w.kind == walk_kind::chown && fchown(fd, w.uid, w.gid) != 0)
      fatal("Unable to chown dir %s: %s\n", name, std::strerror(errno));
    if (w.kind == walk_kind::chmod && fchmod(fd, w.dir_mode) != 0)
      fatal("Unable to chmod dir %s: %s\n", name, std::strerror(errno));
  }
  if (closedir(stream.release()) != 0)
    fatal("Unable to close dir %s: %s\n", name, std::strerror(errno));
  if (apply_to_top && w.kind == walk_kind::remove && unlinkat(parentfd, entry, AT_REMOVEDIR) != 0 &&
      errno != ENOENT)
    fatal("Unable to remove dir %s: %s\n", name, std::strerror(errno));
}

// The top is reached through the descriptor of the directory holding it
// (path_walk.h): a link in an earlier component that a user could have
// made stops the walk as a missing entry would, and the checks and changes
// below act on the entries of that one directory.
void walk_tree(const tree_walk& w, const char* path, bool apply_to_top) {
  path_parent top;
  struct stat st;
  if (open_parent(path, top) != 0 ||
      fstatat(top.dir.get(), top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (w.kind == walk_kind::remove && errno == ENOENT)
      return;
    fatal("Unable to get entry %s: %s\n", path, std::strerror(errno));
  }
  int parentfd = top.dir.get();
  const char* name = top.name.c_str();

  if (S_ISLNK(st.st_mode)) {
    if (w.kind == walk_kind::remove && unlinkat(parentfd, name, 0) != 0 && errno != ENOENT)
      fatal("Unable to unlink entry %s: %s\n", path, std::strerror(errno));
    return;
  }
  if (S_ISREG(st.st_mode)) {
    switch (w.kind) {
      case walk_kind::chown:
        if (change_file_at(w, parentfd, name, path) != 0)
          fatal("Unable to chown directory entry %s: %s\n", path, std::strerror(errno));
        break;
      case walk_kind::chmod:
        if (change_file_at(w, parentfd, name, path) != 0)
          fatal("Unable to chmod entry %s: %s\n", path, std::strerror(errno));
        break;
      case walk_kind::remove:
        if (unlinkat(parentfd, name, 0) != 0 && errno != ENOENT)
          fatal("Unable to unlink entry %s: %s\n", path, std::strerror(errno));
        break;
      case walk_kind::rename:
        report_msg(0, "It's a regulat entry(not directory): %s\n", path);
        break;
    }
    return;
  }

  // Anything else is walked as a directory; a device, pipe or socket fails
  // to open as one (O_DIRECTORY), and so does a link swapped in meanwhile.
  unique_fd dir = open_dir(parentfd, name);
  if (!dir)
    fatal("Unable to open dir %s: %s\n", path, std::strerror(errno));
  walk_dir(w, std::move(dir), parentfd, name, path, apply_to_top);
}

bool is_plain_name(const char* name) {
  return name[0] != '\0' && !is_dot_or_dotdot(name) && !std::strchr(name, '/');
}

// ---------------------------------------------------------------------------
// Deferred removal.

// Replaces the trailing six X of templ with letters and digits so that the
// name base (the end of templ) does not exist yet in dirfd, as mktemp(3)
// does (which the linker warns about).
bool make_temp_name(int dirfd, char* templ, const char* base) {
  static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  size_t len = std::strlen(templ);
  if (len < 6 || std::strcmp(templ + len - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return false;
  }
  char* x = templ + len - 6;
  errno_keeper keep;  // a free name is the answer, not a failure
  for (int attempt = 0; attempt < 1000; ++attempt) {
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(std::rand());
    }
    for (int i = 0; i < 6; ++i) x[i] = chars[bytes[i] % (sizeof chars - 1)];
    struct stat st;
    if (fstatat(dirfd, base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        keep.release();
        return false;
      }
      return true;
    }
  }
  keep.release();
  errno = EEXIST;
  return false;
}

// Opens path as a directory that is not a link, walked by the rule of
// path_walk.h. False with errno when that fails; false without a change of
// errno when the path is something other than a directory.
bool open_checked_dir(const char* path, unique_fd& out) {
  path_parent where;
  struct stat st;
  if (open_parent(path, where) != 0 ||
      fstatat(where.dir.get(), where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode))
    return false;
  out.reset(open_nofollow(where.dir.get(), where.name.c_str(), O_RDONLY | O_DIRECTORY));
  return static_cast<bool>(out);
}

// The status of the open directory top, for at_or_below; false for the
// root of the file system, below which nothing is taken to lie: a root of
// "/" would let deferred removal move any directory at all.
bool usable_top(int top, struct stat& st) {
  struct stat up_st;
  unique_fd up(openat(top, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fstat(top, &st) == 0 && up && fstat(up.get(), &up_st) == 0 &&
         (up_st.st_dev != st.st_dev || up_st.st_ino != st.st_ino);
}

// rename_dir on names within open directories (shown as old_path and
// new_path in reports).
int rename_dir_at(int old_dir, const char* old_name, const char* old_path, int new_dir,
                  const char* new_name, const char* new_path) {
  struct stat st;
  if (fstatat(old_dir, old_name, &st, 0) != 0)
    return 0;
  if (fstatat(new_dir, new_name, &st, 0) == 0) {
    report_msg(0, "Directory rename error: target directory %s already exists.\n", new_path);
    return -1;
  }
  if (renameat(old_dir, old_name, new_dir, new_name) != 0) {
    report_msg(0, "Remaming %s to %s failed: %s\n", old_path, new_path, std::strerror(errno));
    return -1;
  }
  return 0;
}

// Removes the "__deleted" directories directly in the directory stream d,
// which is also the current directory (the removal runs there by name).
void cleanup_root(DIR* d) {
  int fd = dirfd(d);
  while (struct dirent* e = readdir(d)) {
    const char* name = e->d_name;
    struct stat st;
    if (fstatat(fd, name, &st, 0) != 0) {
      report_msg(0, "Unable to stat file %s, skipped\n", name);
      continue;
    }
    if (!S_ISDIR(st.st_mode) || std::strncmp(name, deleted_marker, deleted_marker_len) != 0)
      continue;
    // What stays is tried again at the next cleanup.
    if (exec_silent(paths::rm, "-rf", name, nullptr) != 0) {
      report_msg(0, "Can't remove directory %s (will try in next time)\n", name);
    }
  }
}

}  // namespace

void chown_tree(const char* path, uid_t uid, gid_t gid, bool apply_to_top) {
  tree_walk w{walk_kind::chown, uid, gid, 0, 0, nullptr, nullptr};
  walk_tree(w, path, apply_to_top);
}

void chmod_tree(const char* path, mode_t file_mode, mode_t dir_mode, bool apply_to_top) {
  tree_walk w{walk_kind::chmod, 0, 0, file_mode, dir_mode, nullptr, nullptr};
  walk_tree(w, path, apply_to_top);
}

int chown_chmod_tree(const char* path, uid_t uid, gid_t gid, mode_t file_mode, mode_t dir_mode,
                     bool apply_to_top) {
  chown_tree(path, uid, gid, apply_to_top);
  chmod_tree(path, file_mode, dir_mode, apply_to_top);
  return 0;
}

void remove_tree(const char* path, bool apply_to_top) {
  tree_walk w{walk_kind::remove, 0, 0, 0, 0, nullptr, nullptr};
  walk_tree(w, path, apply_to_top);
}

void rename_in_tree(const char* path, const char* old_name, const char* new_name,
                    bool apply_to_top) {
  // A name with "/" or ".." would move files out of their directory,
  // possibly out of the tree.
  if (!is_plain_name(old_name) || !is_plain_name(new_name)) {
    errno = EINVAL;
    fatal("Unable to rename directory entry %s to %s: %s\n", old_name, new_name,
          std::strerror(errno));
  }
  tree_walk w{walk_kind::rename, 0, 0, 0, 0, old_name, new_name};
  walk_tree(w, path, apply_to_top);
}

// The directory is checked and moved through the descriptor of the
// directory holding it: it must lie in a root or below one (climbing ".."
// from there), and it is renamed out of that very directory, whatever the
// names on the way turn into meanwhile. One reached through a link that a
// user could have made is not under the roots.
void deferred_remove(const char* path) {
  load_product_conf();
  const char* roots[] = {product_conf.httpd_vhosts_d, product_conf.qmail_mailnames_d};
  path_parent where;
  struct stat st;
  bool is_dir = open_parent(path, where) == 0 &&
                fstatat(where.dir.get(), where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode) && !is_dot_or_dotdot(where.name.c_str());
  const char* root = nullptr;
  unique_fd root_dir;
  for (const char* r : roots) {
    struct stat top;
    if (is_dir && r && open_checked_dir(r, root_dir) && usable_top(root_dir.get(), top) &&
        at_or_below(where.dir.get(), top)) {
      root = r;
      break;
    }
  }
  if (!root)
    fatal("deferred_remove(): not supported directory for deferred remove: %s\n", path);

  if (fstatat(where.dir.get(), where.name.c_str(), &st, 0) != 0)
    fatal("deferred_remove(): can't stat directory, skip it.\n");

  char new_name[text_size];
  int n = std::snprintf(new_name, sizeof new_name, "%s/%sXXXXXX", root, deleted_marker);
  if (n < 0 || static_cast<size_t>(n) >= sizeof new_name) {
    errno = ENAMETOOLONG;
    fatal("deferred_remove(): Unable create filename for delete directory\n");
  }
  const char* base = new_name + std::strlen(new_name) - (deleted_marker_len + 6);
  if (!make_temp_name(root_dir.get(), new_name, base))
    fatal("deferred_remove(): Unable create filename for delete directory\n");

  report_msg(0, "deferred_remove(): rename dir %s to %s\n", path, new_name);
  if (rename_dir_at(where.dir.get(), where.name.c_str(), path, root_dir.get(), base, new_name) != 0)
    fatal("deferred_remove(): Unable to rename directory\n");
}

void deferred_remove_cleanup() {
  load_product_conf();
  unique_fd saved(open(".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!saved) {
    report_msg(0, "Unable to get file descriptor of current dir: %s\n", std::strerror(errno));
    return;
  }
  const char* roots[] = {product_conf.httpd_vhosts_d, product_conf.qmail_mailnames_d};
  for (const char* root : roots) {
    unique_dir d(opendir(root));
    if (!d) {
      report_msg(0, "Unable to open dir %s: %s\n", root, std::strerror(errno));
      break;
    }
    // Enter the very directory being read, not the name again.
    if (fchdir(dirfd(d.get())) != 0) {
      report_msg(0, "Unable to change dir %s: %s\n", root, std::strerror(errno));
      continue;
    }
    cleanup_root(d.get());
    if (fchdir(saved.get()) != 0)
      report_msg(0, "Unable to restore & close current dir: %s\n", std::strerror(errno));
  }
}

int is_subdir(const char* path, const char* root) {
  unique_fd dir, top;
  struct stat top_st;
  if (!open_checked_dir(path, dir) || !open_checked_dir(root, top) ||
      !usable_top(top.get(), top_st))
    return 0;
  // Strictly below: the path's parent is the root or lies below it.
  unique_fd up(openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return up && at_or_below(up.get(), top_st) ? 1 : 0;
}

int rename_dir(const char* old_path, const char* new_path) {
  path_parent from, to;
  struct stat st;
  if (open_parent(old_path, from) != 0 ||
      fstatat(from.dir.get(), from.name.c_str(), &st, 0) != 0)
    return 0;
  if (open_parent(new_path, to) != 0) {
    report_msg(0, "Remaming %s to %s failed: %s\n", old_path, new_path, std::strerror(errno));
    return -1;
  }
  return rename_dir_at(from.dir.get(), from.name.c_str(), old_path, to.dir.get(), to.name.c_str(),
                       new_path);
}

// Level by level from the top, each level made (or entered) relative to
// the descriptor of the one above; a level whose text ends where the next
// "/" begins is the same directory as in the recursion "create the parent,
// then the level": an empty level (a doubled or trailing "/") exists.
void make_path_in_place(char* path, uid_t uid, gid_t gid, mode_t mode) {
  errno_keeper keep;  // levels already there are no failure
  unique_fd dir(open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int enter_errno = errno;  // why dir could not be had
  size_t start = path[0] == '/' ? 1 : 0;
  for (;;) {
    size_t end = start;
    while (path[end] != '\0' && path[end] != '/')
      ++end;
    bool last = path[end] == '\0';
    char cut = path[end];
    path[end] = '\0';  // the level's text, for reports
    if (end > start || path[0] == '\0') {  // an empty text fails as mkdir("") does
      const char* name = path + start;
      if (!dir) {
        errno = enter_errno;
        fatal("Cannot create directory %s: %s", path, std::strerror(errno));
      }
      unique_fd next;
      if (mkdirat(dir.get(), name, last ? mode : mode & 0777) == 0) {
        // Owner of what was just made, through its descriptor; should it
        // have been swapped for a link meanwhile, nothing is changed.
        next.reset(open_nofollow(dir.get(), name, O_RDONLY | O_DIRECTORY));
        enter_errno = errno;
        if (!next || fchown(next.get(), uid, gid) != 0)
          report_msg(0, "Cannot chown %s: %s", path, std::strerror(errno));
      } else if (errno != EEXIST) {
        fatal("Cannot create directory %s: %s", path, std::strerror(errno));
      } else if (!last) {
        // An existing level keeps its owner and mode; a link there is
        // followed only where root alone could have made it.
        next.reset(open_at(dir.get(), name, O_RDONLY | O_DIRECTORY));
        enter_errno = errno;
      }
      dir = std::move(next);
    }
    path[end] = cut;
    if (last)
      return;
    start = end + 1;
  }
}

void make_path(const char* path, uid_t uid, gid_t gid, mode_t mode) {
  unique_text copy(alloc_printf("%s", path));
  make_path_in_place(copy.get(), uid, gid, mode);
}

int make_dir(const char* path, uid_t uid, gid_t gid, mode_t mode) {
  // A directory already there, or gone before its owner could be set, is
  // no failure: errno is then left as it was.
  path_parent where;
  {
    errno_keeper keep;
    if (open_parent(path, where) != 0 ||
        (mkdirat(where.dir.get(), where.name.c_str(), mode) != 0 && errno != EEXIST)) {
      report_msg(0, "ERROR: Unable to mkdir %s: %s\n", path, std::strerror(errno));
      keep.release();
      return -1;
    }
  }
  // An existing path gets owner and mode too, so it must be a directory
  // and not a link: a link, or a hard link of a file, planted there would
  // hand its target to the user. Both changes go to the one object opened
  // and checked here.
  unique_fd fd;
  int open_error = 0;
  {
    errno_keeper keep;
    fd.reset(open_nofollow(where.dir.get(), where.name.c_str(), O_RDONLY));
    struct stat st;
    if (!fd) {
      open_error = errno;
    } else if (fstat(fd.get(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      fd.reset();
      open_error = ENOTDIR;
    }
  }
  if (open_error == ENOENT)
    return 0;
  if (!fd) {
    errno = open_error;
    report_msg(0, "ERROR: Unable to chown %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  if (fchown(fd.get(), uid, gid) != 0) {
    report_msg(0, "ERROR: Unable to chown %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  if (fchmod(fd.get(), mode) != 0) {
    report_msg(0, "ERROR: Unable to chmod %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  return 0;
}

namespace {

// Opens (creating) the file at path, reached by the rule of path_walk.h and
// never through a link at path itself, and with truncate empties it: only
// a regular file with that one name is emptied; one with more names is
// left alone with a notice, and -1 returned, for it is not empty. A pipe
// without a reader fails instead of hanging.
int create_with(const char* path, bool truncate, const char* format) {
  path_parent where;
  unique_fd fd;
  if (open_parent(path, where) == 0)
    fd.reset(open_nofollow(where.dir.get(), where.name.c_str(), O_WRONLY | O_CREAT, 0644));
  struct stat st;
  if (fd && truncate) {
    unsigned long names = 1;
    if (fstat(fd.get(), &st) != 0)
      fd.reset();
    else if (S_ISREG(st.st_mode))
      names = names_of(where.dir.get(), where.name.c_str(), fd.get());
    if (names > 1) {
      report_notice("%s is left alone: a file with %lu names", path, names);
      return -1;
    }
    if (names == 0)
      errno = ENOENT;  // no longer the file at path
    if (fd && (names == 0 || (S_ISREG(st.st_mode) && ftruncate(fd.get(), 0) != 0)))
      fd.reset();
  }
  if (!fd || close(fd.release()) != 0) {
    report_msg(0, format, path, std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int create_truncate_file(const char* path) {
  return create_with(path, true, "Unable to truncate or create file %s: %s");
}

int create_file(const char* path) {
  return create_with(path, false, "Unable to create file %s: %s");
}

int close_stream(FILE* stream) {
  int rc = std::fclose(stream);
  if (rc != 0)
    report_msg(0, "Unable to close the file: %s\n", std::strerror(errno));
  return rc;
}

int first_existing_path(const char** out, const char* const* paths) {
  *out = nullptr;
  for (; *paths; ++paths) {
    struct stat st;
    if (stat(*paths, &st) == 0) {
      *out = *paths;
      return 1;
    }
    errno = 0;
  }
  return 0;
}

int is_empty_string(const char* text) {
  return !text || text[0] == '\0';
}

char* real_path(const char* path) {
  real_path_buf[0] = '\0';
  struct stat st;
  if (stat(path, &st) != 0) {
    report_msg(0, "Such path '%s' does not exist\n", path);
    return nullptr;
  }

  unique_text dir;
  const char* final_name = nullptr;
  if (S_ISDIR(st.st_mode)) {
    dir.reset(alloc_printf("%s", path));
  } else if (const char* slash = std::strrchr(path, '/')) {
    // A name directly below "/" has an empty directory part: that is "/".
    size_t dir_len = slash == path ? 1 : static_cast<size_t>(slash - path);
    dir.reset(alloc_printf("%.*s", static_cast<int>(dir_len), path));
    final_name = slash + 1;
  } else {
    dir.reset(alloc_printf("."));
    final_name = path;
  }

  // realpath resolves the physical name as entering the directory and
  // reading the working directory would, without changing the latter.
  char resolved[PATH_MAX];
  if (!realpath(dir.get(), resolved)) {
    report_msg(0, "Unable to get real path information\n");
    return nullptr;
  }
  int n;
  if (!final_name)
    n = std::snprintf(real_path_buf, sizeof real_path_buf, "%s", resolved);
  else if (std::strcmp(resolved, "/") == 0)
    n = std::snprintf(real_path_buf, sizeof real_path_buf, "/%s", final_name);
  else
    n = std::snprintf(real_path_buf, sizeof real_path_buf, "%s/%s", resolved, final_name);
  // A cut path would name another file: refuse it.
  if (n < 0 || static_cast<size_t>(n) >= sizeof real_path_buf) {
    real_path_buf[0] = '\0';
    errno = ENAMETOOLONG;
    report_msg(0, "Unable to get real path information\n");
    return nullptr;
  }
  return real_path_buf;
}
