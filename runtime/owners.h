// Small move-only owners, so that every early return releases what it holds.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "runtime/message.h"

// A file descriptor closed on destruction (errno is preserved across close).
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      errno_keeper keep;
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct file_closer {
  void operator()(FILE* f) const {
    errno_keeper keep;
    std::fclose(f);
  }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
  void operator()(DIR* d) const {
    errno_keeper keep;
    ::closedir(d);
  }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// Heap memory from malloc, alloc_printf and the like, released with free().
struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};
using unique_text = std::unique_ptr<char, free_deleter>;
