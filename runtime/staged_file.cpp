#include "runtime/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/owners.h"

namespace {

// Takes over the new descriptor fd of the file named tmp as the record's
// stream. 0, or -1 with errno after closing and removing the file.
int adopt(staged_file& staged, int fd, const char* tmp) {
  staged.tmp = tmp;
  staged.out = ::fdopen(fd, "w");
  if (staged.out)
    return 0;
  errno_keeper keep;
  ::close(fd);
  ::unlinkat(staged.dir, tmp, 0);
  staged.tmp.clear();
  return -1;
}

}  // namespace

staged_file::~staged_file() {
  staged_abandon(*this);
}

int staged_create(staged_file& staged, const char* tmp) {
  return staged_create_at(staged, AT_FDCWD, tmp);
}

int staged_create_at(staged_file& staged, int dir, const char* tmp) {
  staged_abandon(staged);
  if (dir != AT_FDCWD) {
    staged.dir = ::fcntl(dir, F_DUPFD_CLOEXEC, 3);
    if (staged.dir < 0) {
      staged.dir = AT_FDCWD;
      return -1;
    }
  }
  // Removing the name first, rather than opening what is there, is what
  // keeps a planted link's target out of reach: O_EXCL then refuses any
  // name that reappears in between, link or not.
  {
    errno_keeper keep;  // no name to remove is the usual case, not a failure
    if (::unlinkat(staged.dir, tmp, 0) != 0 && errno != ENOENT) {
      keep.release();
      return -1;
    }
  }
  int fd = ::openat(staged.dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return -1;
  return adopt(staged, fd, tmp);
}

int staged_create_unique(staged_file& staged, const char* tmp_template) {
  staged_abandon(staged);
  std::string name = tmp_template;
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    return -1;
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return adopt(staged, fd, name.c_str());
}

int staged_owner_mode(staged_file& staged, uid_t uid, gid_t gid, mode_t mode) {
  int fd = fileno(staged.out);
  if (::fchown(fd, uid, gid) != 0 || ::fchmod(fd, mode) != 0)
    return -1;
  return 0;
}

int staged_close(staged_file& staged) {
  FILE* f = staged.out;
  staged.out = nullptr;
  int err = 0;
  if (std::fflush(f) != 0 || std::ferror(f) != 0)
    err = errno != 0 ? errno : EIO;
  else if (::fsync(fileno(f)) != 0)
    err = errno;
  if (std::fclose(f) != 0 && err == 0)
    err = errno;
  if (err == 0)
    return 0;
  errno = err;
  return -1;
}

int staged_rename(staged_file& staged, const char* path) {
  if (::renameat(staged.dir, staged.tmp.c_str(), AT_FDCWD, path) != 0)
    return -1;
  staged.tmp.clear();
  return 0;
}

int staged_rename_at(staged_file& staged, const char* name) {
  if (::renameat(staged.dir, staged.tmp.c_str(), staged.dir, name) != 0)
    return -1;
  staged.tmp.clear();
  return 0;
}

void staged_abandon(staged_file& staged) {
  errno_keeper keep;
  if (staged.out)
    std::fclose(staged.out);
  staged.out = nullptr;
  if (!staged.tmp.empty())
    ::unlinkat(staged.dir, staged.tmp.c_str(), 0);
  staged.tmp.clear();
  if (staged.dir != AT_FDCWD)
    ::close(staged.dir);
  staged.dir = AT_FDCWD;
}

int sync_directory(const char* dir) {
  errno_keeper keep;
  unique_fd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
    keep.release();
    return -1;
  }
  return 0;
}

std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (!slash)
    return ".";
  if (slash == path)
    return "/";
  return std::string(path, static_cast<size_t>(slash - path));
}
