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
// tree: fchownat(AT_SYMLINK_NOFOLLOW) changes the link itself, a mode is
// changed through a descriptor opened with O_NOFOLLOW, and a directory is
// opened with O_DIRECTORY|O_NOFOLLOW and walked and changed through that
// descriptor. Nothing needs /proc.

// O_NONBLOCK and O_NOCTTY: a pipe or terminal swapped in after the check
// neither blocks nor becomes the controlling terminal (a tree's owner cannot
// plant any other device: mknod needs privilege, and /dev is a file system
// of its own, out of reach of a hard link). FreeBSD answers
// O_NOFOLLOW on a link with EMLINK where POSIX and Linux say ELOOP: one
// error number keeps the reports alike.
int open_nofollow(int dirfd, const char* name, int flags) {
  int fd = openat(dirfd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == EMLINK)
    errno = ELOOP;
  return fd;
}

unique_fd open_dir(int dirfd, const char* name) {
  return unique_fd(open_nofollow(dirfd, name, O_RDONLY | O_DIRECTORY));
}

// Gone, or no longer what the check saw (a link or socket in its place).
bool changed_meanwhile(int error) {
  return error == ENOENT || error == ELOOP || error == ENOTDIR || error == ENXIO;
}

// Gives the regular file name in dirfd the mode. There is no chmod of a
// name that leaves a link alone everywhere (glibc's fchmodat with
// AT_SYMLINK_NOFOLLOW needs /proc), so the file is opened without following
// a link and changed through its descriptor once fstat shows it is still a
// regular file. An entry changed meanwhile is left alone. 0, or -1 and errno.
int chmod_file_at(int dirfd, const char* name, mode_t mode) {
  unique_fd fd(open_nofollow(dirfd, name, O_RDONLY));
  if (!fd)
    return changed_meanwhile(errno) ? 0 : -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0)
    return -1;
  return S_ISREG(st.st_mode) ? fchmod(fd.get(), mode) : 0;
}

// fchownat without following a link; an entry gone meanwhile is skipped.
int chown_at(int dirfd, const char* name, uid_t uid, gid_t gid) {
  if (fchownat(dirfd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : -1;
  return 0;
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

// One entry of a directory that is not itself a directory.
void walk_entry(const tree_walk& w, int dirfd, const char* name, const struct stat& st,
                bool apply_to_top) {
  if (S_ISREG(st.st_mode)) {
    switch (w.kind) {
      case walk_kind::chown:
        if (chown_at(dirfd, name, w.uid, w.gid) != 0)
          fatal("Unable to chown directory entry %s: %s\n", name, std::strerror(errno));
        return;
      case walk_kind::chmod:
        if (chmod_file_at(dirfd, name, w.file_mode) != 0)
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

// Walks the open directory dir (named name in messages; parentfd and name
// locate it for its removal), then changes the directory itself when
// apply_to_top. Holds one descriptor per level.
void walk_dir(const tree_walk& w, unique_fd dir, int parentfd, const char* name,
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
      walk_dir(w, std::move(sub), fd, e->d_name, true);
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
  if (apply_to_top && w.kind == walk_kind::remove && unlinkat(parentfd, name, AT_REMOVEDIR) != 0 &&
      errno != ENOENT)
    fatal("Unable to remove dir %s: %s\n", name, std::strerror(errno));
}

void walk_tree(const tree_walk& w, const char* path, bool apply_to_top) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (w.kind == walk_kind::remove && errno == ENOENT)
      return;
    fatal("Unable to get entry %s: %s\n", path, std::strerror(errno));
  }

  if (S_ISLNK(st.st_mode)) {
    if (w.kind == walk_kind::remove && unlink(path) != 0 && errno != ENOENT)
      fatal("Unable to unlink entry %s: %s\n", path, std::strerror(errno));
    return;
  }
  if (S_ISREG(st.st_mode)) {
    switch (w.kind) {
      case walk_kind::chown:
        if (chown_at(AT_FDCWD, path, w.uid, w.gid) != 0)
          fatal("Unable to chown directory entry %s: %s\n", path, std::strerror(errno));
        break;
      case walk_kind::chmod:
        if (chmod_file_at(AT_FDCWD, path, w.file_mode) != 0)
          fatal("Unable to chmod entry %s: %s\n", path, std::strerror(errno));
        break;
      case walk_kind::remove:
        if (unlink(path) != 0 && errno != ENOENT)
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
  unique_fd dir = open_dir(AT_FDCWD, path);
  if (!dir)
    fatal("Unable to open dir %s: %s\n", path, std::strerror(errno));
  // The top directory is removed by its path: rmdir never follows a link.
  walk_dir(w, std::move(dir), AT_FDCWD, path, apply_to_top);
}

bool is_plain_name(const char* name) {
  return name[0] != '\0' && !is_dot_or_dotdot(name) && !std::strchr(name, '/');
}

// ---------------------------------------------------------------------------
// Deferred removal.

// Replaces the trailing six X of templ with letters and digits so that the
// name does not exist yet, as mktemp(3) does (which the linker warns about).
bool make_temp_name(char* templ) {
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
    if (lstat(templ, &st) != 0) {
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

void deferred_remove(const char* path) {
  load_product_conf();
  const char* roots[] = {product_conf.httpd_vhosts_d, product_conf.qmail_mailnames_d};
  const char* root = nullptr;
  for (const char* r : roots) {
    if (r && is_subdir(path, r)) {
      root = r;
      break;
    }
  }
  if (!root)
    fatal("deferred_remove(): not supported directory for deferred remove: %s\n", path);

  struct stat st;
  if (stat(path, &st) != 0)
    fatal("deferred_remove(): can't stat directory, skip it.\n");

  char new_name[text_size];
  int n = std::snprintf(new_name, sizeof new_name, "%s/%sXXXXXX", root, deleted_marker);
  if (n < 0 || static_cast<size_t>(n) >= sizeof new_name) {
    errno = ENAMETOOLONG;
    fatal("deferred_remove(): Unable create filename for delete directory\n");
  }
  if (!make_temp_name(new_name))
    fatal("deferred_remove(): Unable create filename for delete directory\n");

  report_msg(0, "deferred_remove(): rename dir %s to %s\n", path, new_name);
  if (rename_dir(path, new_name) != 0)
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
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || lstat(root, &st) != 0 ||
      !S_ISDIR(st.st_mode))
    return 0;
  // The physical names, as entering each directory and reading the working
  // directory would give them, without changing the working directory.
  char path_name[PATH_MAX];
  char root_name[PATH_MAX];
  {
    errno_keeper keep;  // glibc's realpath leaves EINVAL behind when it succeeds
    if (!realpath(path, path_name) || !realpath(root, root_name))
      return 0;
  }
  // Below means the root's name and then a "/". No name has a "/" after
  // the root "/", so nothing counts as below it: a root of "/" would let
  // deferred removal move any directory of the root file system.
  size_t root_len = std::strlen(root_name);
  return std::strncmp(path_name, root_name, root_len) == 0 && path_name[root_len] == '/';
}

int rename_dir(const char* old_path, const char* new_path) {
  struct stat st;
  if (stat(old_path, &st) != 0)
    return 0;
  if (stat(new_path, &st) == 0) {
    report_msg(0, "Directory rename error: target directory %s already exists.\n", new_path);
    return -1;
  }
  if (rename(old_path, new_path) != 0) {
    report_msg(0, "Remaming %s to %s failed: %s\n", old_path, new_path, std::strerror(errno));
    return -1;
  }
  return 0;
}

void make_path_in_place(char* path, uid_t uid, gid_t gid, mode_t mode) {
  char* slash = std::strrchr(path, '/');
  if (slash && slash != path) {
    *slash = '\0';
    make_path_in_place(path, uid, gid, mode & 0777);
    *slash = '/';
  }
  {
    errno_keeper keep;  // a directory already there is no failure
    if (mkdir(path, mode) != 0) {
      if (errno == EEXIST)
        return;
      fatal("Cannot create directory %s: %s", path, std::strerror(errno));
    }
  }
  // Owner of what was just made; should it have been swapped for a link
  // meanwhile, the link is changed, not its target.
  if (fchownat(AT_FDCWD, path, uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
    report_msg(0, "Cannot chown %s: %s", path, std::strerror(errno));
}

void make_path(const char* path, uid_t uid, gid_t gid, mode_t mode) {
  unique_text copy(alloc_printf("%s", path));
  make_path_in_place(copy.get(), uid, gid, mode);
}

int make_dir(const char* path, uid_t uid, gid_t gid, mode_t mode) {
  // A directory already there, or gone before its owner could be set, is
  // no failure: errno is then left as it was.
  {
    errno_keeper keep;
    if (mkdir(path, mode) != 0 && errno != EEXIST) {
      report_msg(0, "ERROR: Unable to mkdir %s: %s\n", path, std::strerror(errno));
      keep.release();
      return -1;
    }
  }
  // An existing path gets owner and mode too, so it must not be a link:
  // a link planted there would hand its target to the user. Both changes
  // go to the one object opened here.
  unique_fd fd;
  int open_error = 0;
  {
    errno_keeper keep;
    fd.reset(open_nofollow(AT_FDCWD, path, O_RDONLY));
    if (!fd)
      open_error = errno;
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

// O_NOFOLLOW: a link planted at path must not let root create or truncate
// its target. O_NONBLOCK: a pipe without a reader fails instead of hanging.
int create_with(const char* path, int extra_flags, const char* format) {
  unique_fd fd(
      open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra_flags,
           0644));
  if (!fd || close(fd.release()) != 0) {
    report_msg(0, format, path, std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int create_truncate_file(const char* path) {
  return create_with(path, O_TRUNC, "Unable to truncate or create file %s: %s");
}

int create_file(const char* path) {
  return create_with(path, 0, "Unable to create file %s: %s");
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
