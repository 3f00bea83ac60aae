#include "runtime/path_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "runtime/message.h"

namespace {

// Links followed in one walk, as the kernel bounds them (FreeBSD's
// SYMLOOP_MAX); more is a loop.
constexpr int max_links = 32;
// Levels climbed by at_or_below before it gives up: twice what a path of
// the text limit can hold.
constexpr int max_depth = static_cast<int>(text_size);

constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int walk_from(int base, const char* path, path_parent& out, int& links);

// The target of the link name in dir, when it may be followed: dir is
// root's alone and the walk has followed fewer than max_links links. err is
// the open's error, given back when name is not a link after all. False
// with errno otherwise.
bool followable_link(int dir, const char* name, int err, int& links, std::string& target) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (!S_ISLNK(st.st_mode)) {
    errno = err;
    return false;
  }
  if (!root_only(dir) || ++links > max_links) {
    errno = ELOOP;
    return false;
  }
  char buf[PATH_MAX];
  ssize_t n = readlinkat(dir, name, buf, sizeof buf);
  if (n < 0)
    return false;
  if (static_cast<size_t>(n) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (n == 0) {
    errno = ENOENT;
    return false;
  }
  target.assign(buf, static_cast<size_t>(n));
  return true;
}

int open_counted(int dir, const char* name, int flags, mode_t mode, int& links) {
  int fd = open_nofollow(dir, name, flags, mode);
  // A link answers O_NOFOLLOW with ELOOP, or with ENOTDIR when O_DIRECTORY
  // is checked first (Linux).
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR))
    return fd;
  std::string target;
  if (!followable_link(dir, name, errno, links, target))
    return -1;
  path_parent next;
  if (walk_from(dir, target.c_str(), next, links) != 0)
    return -1;
  return open_counted(next.dir.get(), next.name.c_str(), flags, mode, links);
}

// open_parent from base (a relative path's start), counting links.
int walk_from(int base, const char* path, path_parent& out, int& links) {
  if (path[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  unique_fd dir(path[0] == '/' ? ::open("/", dir_flags) : ::openat(base, ".", dir_flags));
  if (!dir)
    return -1;
  std::string name = ".";
  const char* p = path;
  for (;;) {
    while (*p == '/')
      ++p;
    if (*p == '\0')
      break;
    const char* end = std::strchr(p, '/');
    if (!end)
      end = p + std::strlen(p);
    std::string component(p, end);
    const char* rest = end;
    while (*rest == '/')
      ++rest;
    if (*rest == '\0') {
      name = component;
      break;
    }
    int fd = open_counted(dir.get(), component.c_str(), O_RDONLY | O_DIRECTORY, 0, links);
    if (fd < 0)
      return -1;
    dir.reset(fd);
    p = rest;
  }
  out.dir = std::move(dir);
  out.name = std::move(name);
  return 0;
}

}  // namespace

int open_parent(const char* path, path_parent& out) {
  int links = 0;
  return walk_from(AT_FDCWD, path, out, links);
}

int open_at(int dir, const char* name, int flags, mode_t mode) {
  int links = 0;
  return open_counted(dir, name, flags, mode, links);
}

int open_nofollow(int dir, const char* name, int flags, mode_t mode) {
  int fd = ::openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0 && errno == EMLINK)
    errno = ELOOP;
  return fd;
}

bool root_only(int dir) {
  struct stat st;
  return fstat(dir, &st) == 0 && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

unsigned long names_of(int dir, const char* name, int fd) {
  struct stat by_fd, by_name;
  if (fstat(fd, &by_fd) != 0)
    return 0;
  if (by_fd.st_nlink > 1)
    return static_cast<unsigned long>(by_fd.st_nlink);
  if (fstatat(dir, name, &by_name, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(by_fd, by_name))
    return 0;
  return by_name.st_nlink > 1 ? static_cast<unsigned long>(by_name.st_nlink) : 1;
}

bool at_or_below(int dir, const struct stat& top) {
  struct stat st;
  if (fstat(dir, &st) != 0)
    return false;
  unique_fd held;
  int current = dir;
  for (int depth = 0; depth < max_depth; ++depth) {
    if (same_file(st, top))
      return true;
    unique_fd up(::openat(current, "..", dir_flags));
    struct stat up_st;
    if (!up || fstat(up.get(), &up_st) != 0)
      return false;
    if (same_file(up_st, st))
      return false;  // the root, its own parent
    held = std::move(up);
    current = held.get();
    st = up_st;
  }
  return false;
}
