#include "runtime/file_str.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/path_walk.h"
#include "runtime/paths.h"
#include "runtime/product_conf.h"
#include "runtime/staged_file.h"

namespace {


// 32 digits and the terminator, shared by md5_hex and digest_hex.
char digest_buf[33];

// close(2) without retrying on EINTR: on Linux the descriptor is gone
// whatever close returns, and a retry could close someone else's.
int close_fd(int fd) {
  return ::close(fd);
}

// Writes len bytes, retrying short writes and EINTR. 0 or -1 (errno set).
int write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// The temporary file beside path: "<path>.tmp". False (errno ENAMETOOLONG)
// when the name does not fit, so that a cut name never lands on another file.
bool temp_name(char (&buf)[text_size], const char* path) {
  int n = std::snprintf(buf, sizeof buf, "%s.tmp", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

// Writes each entry, adding a newline to one that lacks it. Results are
// left to the final flush and close, where any failure shows.
void write_entries(FILE* f, const char* const* lines) {
  for (const char* const* l = lines; *l; ++l) {
    std::fputs(*l, f);
    size_t len = std::strlen(*l);
    if (len == 0 || (*l)[len - 1] != '\n')
      std::fputc('\n', f);
  }
}

bool has_entries(const char* const* lines) {
  return lines && *lines;
}

// The text that FILE_STR_AT_END appends, in new heap memory: the entries,
// preceded by a newline when the file's last line lacks one (it would be
// glued to the first new line, corrupting both).
unique_text append_text(int fd, const char* const* lines, size_t* len) {
  char* text = nullptr;
  FILE* mem = ::open_memstream(&text, len);
  if (!mem)
    fatal("alloc(%d)", static_cast<int>(text_size));
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
      std::fputc('\n', mem);
  }
  write_entries(mem, lines);
  if (std::fclose(mem) != 0)
    fatal("alloc(%d)", static_cast<int>(text_size));
  return unique_text(text);
}

// Gives a file back the owner and mode that st recorded, through its
// descriptor. 0, or 1 after a report.
int give_back_owner_mode(const char* path, int fd, const struct stat& st) {
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    report_msg(0, "file_str: ERROR: Unable to chown file %s: %s", path, std::strerror(errno));
    return 1;
  }
  if (::fchmod(fd, st.st_mode & 07777) != 0) {
    report_msg(0, "file_str: ERROR: Unable to chmod file %s: %s", path, std::strerror(errno));
    return 1;
  }
  return 0;
}

// The edited file, opened once. What is checked (its status), read and
// appended to is this descriptor, and the replacement of a rewrite is made
// and renamed in the directory descriptor that held the name: the name is
// never looked up again, so that swapping it for a link meanwhile changes
// nothing.
struct edited_file {
  path_parent where;
  unique_fd fd;        // the file, when it could be opened
  int open_errno = 0;  // why not; ENOENT: it does not exist
  struct stat st {};   // its status, from the descriptor

  bool exists() const { return fd || open_errno != ENOENT; }
};

// Reports a failed open of the edited file, as the mode's own open would.
int open_failed(const char* path, const edited_file& f) {
  report_msg(0, "Unable to open file %s: %s\n", path, std::strerror(f.open_errno));
  return 1;
}

// Closes the source of a rewrite and the temporary copy (given the
// target's owner and mode, flushed, synced). 0, or 1 after a report. A read
// error of the source (read_errno: errno after the last read) must not pass
// for its end: the rename would replace the file by a cut copy. The owner
// and mode go to the replacement through its descriptor before the rename,
// so that it never shows with the temporary file's, and a failure to give
// them leaves the old file in place.
int close_rewrite(const char* path, unique_file& in, staged_file& out, const struct stat* st,
                  int read_errno) {
  if (std::ferror(in.get())) {
    report_msg(0, "file_str: Unable to read file %s: %s\n", path, std::strerror(read_errno));
    return 1;
  }
  if (std::fclose(in.release()) != 0) {
    report_msg(0, "Unable to close file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  if (st && give_back_owner_mode(path, fileno(out.get()), *st) != 0)
    return 1;
  if (staged_close(out) != 0) {
    report_msg(0, "Unable to close file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  return 0;
}

// Whether fd is a regular file. fsync of a FIFO or a device fails with
// EINVAL although the write went through.
bool is_regular(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Opens name in dir for appending, created if missing. A write-only file
// is opened without reading.
int open_for_append(int dir, const char* name, int extra_flags) {
  int fd = open_at(dir, name, O_RDWR | O_APPEND | extra_flags, 0666);
  if (fd < 0 && errno == EACCES)
    fd = open_at(dir, name, O_WRONLY | O_APPEND | extra_flags, 0666);
  return fd;
}

// FILE_STR_AT_END: appends to the file itself (through a link, into its
// target), creating it with the process's default owner and bits, or an
// existing one given back its owner and mode. The text goes out in one
// append and is synced, so that a crash does not lose a line that a
// preceding removal already took out.
int add_at_end(const char* path, edited_file& f, const char* const* lines) {
  bool existed = f.exists();
  unique_fd fd = std::move(f.fd);
  if (!fd) {
    if (existed || !f.where.dir)  // the latter: a directory on the way is missing
      return open_failed(path, f);
    fd.reset(open_for_append(f.where.dir.get(), f.where.name.c_str(), O_CREAT));
    if (!fd) {
      report_msg(0, "Unable to open file %s: %s\n", path, std::strerror(errno));
      return 1;
    }
  }
  int failed = 0;
  int saved = 0;
  if (has_entries(lines)) {
    size_t len = 0;
    unique_text text = append_text(fd.get(), lines, &len);
    // A failed write or sync shows at the close, like a failed close.
    failed = write_all(fd.get(), text.get(), len) != 0 ||
             (is_regular(fd.get()) && ::fsync(fd.get()) != 0);
    saved = errno;
  }
  if (!failed && existed && give_back_owner_mode(path, fd.get(), f.st) != 0)
    return 1;
  if (close_fd(fd.release()) != 0 && !failed) {
    failed = 1;
    saved = errno;
  }
  if (failed) {
    report_msg(0, "Unable to close file %s: %s\n", path, std::strerror(saved));
    return 1;
  }
  return 0;
}

// Creates the temporary file beside the edited file for a rewrite, its
// full name in tmp. 0, or 1 after a report.
int open_temp(const char* path, const edited_file& f, char (&tmp)[text_size],
              staged_file& out) {
  char name[text_size];
  bool named = temp_name(tmp, path);
  if (named && !f.where.dir)
    errno = f.open_errno;  // a directory on the way is missing
  else if (named && temp_name(name, f.where.name.c_str()) &&
           staged_create_at(out, f.where.dir.get(), name) == 0)
    return 0;
  direct_msg("Unable to open file %s: %s\n", tmp, std::strerror(errno));
  return 1;
}

// The edited file as a stream for reading, taking over its descriptor.
unique_file read_stream(edited_file& f) {
  unique_file in(::fdopen(f.fd.get(), "r"));
  if (in)
    f.fd.release();
  return in;
}

// Flushes the directory that holds the renamed file; no report: the file is
// in place either way.
void sync_parent(const edited_file& f) {
  ::fsync(f.where.dir.get());
}

// FILE_STR_AT_BEGINNING: the entries, then the old content, into the
// temporary file, which then replaces the file.
int add_at_beginning(const char* path, edited_file& f, const char* const* lines) {
  char tmp[text_size];
  staged_file out;
  if (open_temp(path, f, tmp, out) != 0)
    return 1;
  write_entries(out.get(), lines);

  if (!f.fd)
    return open_failed(path, f);
  unique_file in = read_stream(f);
  if (!in) {
    report_msg(0, "Unable to open file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  char buf[text_size];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
    if (std::fwrite(buf, 1, n, out.get()) != n) {
      report_msg(0, "Unable to fputs to file %s: %s\n", path, std::strerror(errno));
      return 1;
    }
  }
  if (close_rewrite(path, in, out, &f.st, errno) != 0)
    return 1;
  if (staged_rename_at(out, f.where.name.c_str()) != 0) {
    direct_msg("Unable to rename file %s: %s\n", tmp, std::strerror(errno));
    return 1;
  }
  sync_parent(f);
  return 0;
}

// Length of s up to its first newline, or its whole length.
size_t first_line_len(const char* s) {
  const char* nl = std::strchr(s, '\n');
  return nl ? static_cast<size_t>(nl - s) : std::strlen(s);
}

// Length of s without one final newline.
size_t without_final_newline(const char* s) {
  size_t len = std::strlen(s);
  return len > 0 && s[len - 1] == '\n' ? len - 1 : len;
}

// Whether a whole line (line[0..len), with its newline if it had one)
// is to be dropped under mode and variant.
bool line_dropped(const char* line, size_t len, const char* const* lines, int mode, int variant) {
  size_t text_len = len > 0 && line[len - 1] == '\n' ? len - 1 : len;
  for (const char* const* l = lines; *l; ++l) {
    const char* entry = *l;
    if (mode == FILE_STR_REMOVE_LINE) {
      size_t elen = first_line_len(entry);
      if (elen == text_len && std::memcmp(entry, line, elen) == 0)
        return true;
      continue;
    }
    switch (variant) {
      case FILE_STR_PREFIX: {
        size_t plen = without_final_newline(entry);
        if (plen <= text_len && std::memcmp(line, entry, plen) == 0)
          return true;
        break;
      }
      case FILE_STR_SUFFIX: {
        size_t plen = without_final_newline(entry);
        if (plen <= text_len && std::memcmp(line + text_len - plen, entry, plen) == 0)
          return true;
        break;
      }
      case FILE_STR_SUBSTRING: {
        size_t elen = std::strlen(entry);
        if (elen == 0 || ::memmem(line, len, entry, elen))
          return true;
        break;
      }
      default:
        break;
    }
  }
  return false;
}

// FILE_STR_REMOVE_LINE and FILE_STR_REMOVE_MATCH: copies every line that
// no entry drops into the temporary file, which then replaces the file.
// Lines are compared and copied whole, whatever their length.
int remove_lines(const char* path, edited_file& f, const char* const* lines, int mode,
                 int variant, const char* const* append = nullptr) {
  if (!f.fd)
    return open_failed(path, f);
  unique_file in = read_stream(f);
  if (!in) {
    report_msg(0, "Unable to open file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  char tmp[text_size];
  staged_file out;
  if (open_temp(path, f, tmp, out) != 0)
    return 1;

  char* raw = nullptr;
  size_t cap = 0;
  ssize_t len;
  bool open_line = false;  // the last line copied lacks its newline
  while ((len = ::getline(&raw, &cap, in.get())) >= 0) {
    size_t n = static_cast<size_t>(len);
    if (line_dropped(raw, n, lines, mode, variant))
      continue;
    if (std::fwrite(raw, 1, n, out.get()) != n)
      fatal("cannot write a line to %s.tmp", path);
    open_line = n > 0 && raw[n - 1] != '\n';
  }
  int read_errno = errno;
  unique_text line_buf(raw);
  if (append) {
    if (open_line)
      std::fputc('\n', out.get());
    write_entries(out.get(), append);
  }
  if (close_rewrite(path, in, out, &f.st, read_errno) != 0)
    return 1;
  if (staged_rename_at(out, f.where.name.c_str()) != 0) {
    if (mode == FILE_STR_REMOVE_LINE)
      report_msg(0, "Error while rename file %s: %s\n", path, std::strerror(errno));
    else
      direct_msg("Error while rename file %s: %s\n", tmp, std::strerror(errno));
    return 1;
  }
  sync_parent(f);
  return 0;
}

// The mode's own work on the locked file, owner and mode given back
// included.
int apply_mode(const char* path, edited_file& f, const char* const* lines, int mode,
               int variant) {
  static const char* const no_lines[] = {nullptr};
  if (!lines)
    lines = no_lines;
  switch (mode) {
    case FILE_STR_ADD:
      if (variant == FILE_STR_AT_END)
        return add_at_end(path, f, lines);
      if (variant == FILE_STR_AT_BEGINNING)
        return add_at_beginning(path, f, lines);
      break;
    case FILE_STR_REMOVE_LINE:
      if (!f.exists())
        return 1;
      return remove_lines(path, f, lines, mode, variant);
    case FILE_STR_REMOVE_MATCH:
      return remove_lines(path, f, lines, mode, variant);
    default:
      break;
  }
  // Nothing to change; an existing file is still given back its owner and
  // mode.
  return f.fd ? give_back_owner_mode(path, f.fd.get(), f.st) : 0;
}

// Opens the edited file once, for appending when appends, else for
// reading. The path is walked by the rule of path_walk.h: a link is
// followed only where root alone could have made it. 0, or 1 after a
// report when its status cannot be had; a file that cannot be opened for
// another reason is left to the mode to report, as its open would.
int open_edited(const char* path, bool appends, bool looks_only, edited_file& f) {
  if (open_parent(path, f.where) == 0) {
    const char* name = f.where.name.c_str();
    f.fd.reset(appends ? open_for_append(f.where.dir.get(), name, 0)
                       : open_at(f.where.dir.get(), name, O_RDONLY));
  }
  f.open_errno = errno;
  if (f.fd) {
    // O_NONBLOCK kept a pipe from blocking the open, not the reads.
    int flags = ::fcntl(f.fd.get(), F_GETFL);
    if (::fstat(f.fd.get(), &f.st) == 0 &&
        (flags < 0 || ::fcntl(f.fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0))
      return 0;
    f.open_errno = errno;
    f.fd.reset();
  }
  int e = f.open_errno;
  if (e == ENOENT || (!looks_only && e != ELOOP && e != ENOTDIR && e != ENAMETOOLONG && f.where.dir))
    return 0;
  report_msg(0, "file_str: Unable to stat file %s: %s\n", path, std::strerror(e));
  return 1;
}

// Releases the lock after a failure; its own report, if any, is made by
// locked_file_release.
int fail_unlock(locked_file* lock) {
  errno_keeper keep;
  locked_file_release(lock);
  return 1;
}

// The locked edit behind file_str and file_str_replace: lock, open, apply,
// give back owner and mode, unlock. With append, lines matched by
// (mode, variant) are dropped and append added at the end in one rewrite.
int edit_under_lock(const char* path, const char* const* lines, int mode, int variant,
                    const char* const* append) {
  locked_file* lock = locked_file_lock(path, 1);
  if (!lock || !locked_file_is_locked(lock)) {
    report_msg(0, "Error occurred while locking the file %s: %s\n", path, std::strerror(errno));
    return fail_unlock(lock);
  }

  bool appends = !append && mode == FILE_STR_ADD && variant == FILE_STR_AT_END;
  bool changes = append || appends || mode == FILE_STR_REMOVE_LINE ||
                 mode == FILE_STR_REMOVE_MATCH ||
                 (mode == FILE_STR_ADD && variant == FILE_STR_AT_BEGINNING);
  edited_file f;
  if (open_edited(path, appends, !changes, f) != 0)
    return fail_unlock(lock);

  int rc;
  if (!append)
    rc = apply_mode(path, f, lines, mode, variant);
  else if (f.exists())
    rc = remove_lines(path, f, lines, mode, variant, append);
  else
    rc = add_at_end(path, f, append);
  if (rc != 0)
    return fail_unlock(lock);

  if (locked_file_release(lock) != 0) {
    report_msg(0, "Error occurred while unlocking the file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  return 0;
}

// The one opening of every lock file of the program. A lock file lies in
// a directory that other panel utilities write, so whatever is found at
// its name is not trusted: it is opened without following a link, without
// blocking on a pipe and without becoming a terminal, and truncated (for
// O_TRUNC) only once known to be a regular file whose one name is this one;
// a link, a hard link of another file or anything else there fails the
// open (ELOOP, EMLINK, EINVAL). Close-on-exec: a flock belongs to the open
// file description, so a child that inherited it would keep the lock after
// we release it. A descriptor, or -1 with errno.
int open_lock_file(const char* name, int flags) {
  path_parent where;
  if (open_parent(name, where) != 0)
    return -1;
  const char* last = where.name.c_str();
  unique_fd fd(open_nofollow(where.dir.get(), last, flags & ~O_TRUNC, 0644));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0)
    return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  unsigned long names = names_of(where.dir.get(), last, fd.get());
  if (names != 1) {
    errno = names == 0 ? ENOENT : EMLINK;
    return -1;
  }
  if ((flags & O_TRUNC) && ::ftruncate(fd.get(), 0) != 0)
    return -1;
  // O_NONBLOCK may stay: flock waits, or not, by its own LOCK_NB.
  return fd.release();
}

// edit_under_lock, leaving errno as it found it when the edit succeeds: a
// missing file is no failure, and its ENOENT must not show in a caller's
// later report as a system-error line.
int edit_locked(const char* path, const char* const* lines, int mode, int variant,
                const char* const* append) {
  errno_keeper keep;
  int rc = edit_under_lock(path, lines, mode, variant, append);
  if (rc != 0)
    keep.release();
  return rc;
}


}  // namespace

int file_str(const char* path, const char* const* lines, int mode, int variant) {
  return edit_locked(path, lines, mode, variant, nullptr);
}

int file_str_replace(const char* path, const char* const* drop, int mode, int variant,
                     const char* const* append) {
  return edit_locked(path, drop, mode, variant, append);
}

int file_str_line(const char* path, const char* line, int mode, int variant) {
  const char* const lines[] = {line, nullptr};
  return file_str(path, lines, mode, variant);
}

locked_file* locked_file_open(const char* path, int flags, int operation, int use_lock_dir) {
  auto* lock = static_cast<locked_file*>(std::malloc(sizeof(locked_file)));
  if (!lock)
    return nullptr;
  lock->fd = 0;
  lock->name = use_lock_dir ? lock_file_path(path) : alloc_printf("%s", path);

  int fd = open_lock_file(lock->name, flags);
  if (fd < 0) {
    report_msg(0, "Unable to open file \"%s\": %s.", lock->name, std::strerror(errno));
    lock->fd = fd;
    return lock;
  }
  // Descriptor 0 would read as "held by another process" and never be
  // closed by the release; move it (and the standard streams' 1 and 2) up.
  if (fd < 3) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    {
      errno_keeper keep;
      close_fd(fd);
    }
    if (moved < 0) {
      lock->fd = -1;
      return lock;
    }
    fd = moved;
  }

  int rc;
  do
    rc = ::flock(fd, operation);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    lock->fd = errno == EWOULDBLOCK ? 0 : -1;
    errno_keeper keep;
    close_fd(fd);
    return lock;
  }
  lock->fd = fd;
  return lock;
}

locked_file* locked_file_lock(const char* path, int use_lock_dir) {
  return locked_file_open(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX, use_lock_dir);
}

locked_file* locked_file_try_lock(const char* path, int use_lock_dir) {
  return locked_file_open(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX | LOCK_NB, use_lock_dir);
}

bool locked_file_is_locked(const locked_file* lock) {
  return lock && lock->fd > 0;
}

bool locked_file_is_busy(const locked_file* lock) {
  return !lock || lock->fd == 0;
}

int locked_file_release(locked_file* lock) {
  if (!lock)
    return -1;
  int result = 0;
  if (lock->fd > 0 && close_fd(lock->fd) != 0) {
    report_msg(0, "An error occured during closing '%s' file: %s\n", lock->name,
               std::strerror(errno));
    result = -1;
  }
  std::free(lock->name);
  std::free(lock);
  return result;
}

char* lock_file_path(const char* path) {
  // Without the configuration the product root would be null; loading is
  // a no-op once the front end has done it.
  load_product_conf();
  return alloc_printf("%s%s%s", product_conf.product_root_d, paths::lock_files_suffix,
                      md5_hex("", path));
}

const char* md5_hex(const char* prefix, const char* text) {
  char buf[text_size];
  int n = std::snprintf(buf, sizeof buf, "%s%s", prefix, text);
  size_t len = n < 0 ? 0 : static_cast<size_t>(n);
  if (len >= sizeof buf)
    len = sizeof buf - 1;  // the name of a longer text is that of its first 4095 bytes
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  // Without a digest there is no lock-file name, and editing unlocked is
  // not an option.
  if (EVP_Digest(buf, len, digest, &digest_len, EVP_md5(), nullptr) != 1 || digest_len != 16)
    fatal("md5_hex: Unable to compute the MD5 digest");
  return digest_hex(digest);
}

const char* digest_hex(const unsigned char* digest) {
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    digest_buf[2 * i] = hex[digest[i] >> 4];
    digest_buf[2 * i + 1] = hex[digest[i] & 0x0f];
  }
  digest_buf[32] = '\0';
  return digest_buf;
}

int file_replace(const char* dir, const char* path, const char* tmp_template, const char* text,
                 const struct stat* old) {
  staged_file out;
  if (staged_create_unique(out, tmp_template) != 0) {
    report_msg(0, "Unable to create a temporary file beside %s: %s", path, std::strerror(errno));
    return 1;
  }
  std::fputs(text, out.get());  // a failed write shows at the close
  uid_t uid = old ? old->st_uid : static_cast<uid_t>(-1);
  gid_t gid = old ? old->st_gid : static_cast<gid_t>(-1);
  mode_t mode = old ? old->st_mode & 07777 : 0644;
  if (staged_owner_mode(out, uid, gid, mode) != 0 || staged_close(out) != 0 ||
      staged_rename(out, path) != 0) {
    report_msg(0, "Unable to write %s: %s", path, std::strerror(errno));
    return 1;
  }
  // The rename is durable only once the directory is on disk too.
  if (sync_directory(dir) != 0) {
    report_msg(0, "Unable to sync directory %s: %s", dir, std::strerror(errno));
    return 1;
  }
  return 0;
}

int set_owner_mode(const char* path, uid_t uid, gid_t gid, mode_t mode) {
  errno = 0;
  struct stat st;
  if (::stat(path, &st) != 0)
    return 0;
  if (::chown(path, uid, gid) != 0) {
    report_msg(0, "ERROR: unable to chown %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  if (::chmod(path, mode) != 0) {
    report_msg(0, "ERROR: unable to chmod %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  return 0;
}
