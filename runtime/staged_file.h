// A whole file replaced through a temporary file beside it, in the manner
// of a lock file: the temporary file is created afresh, written through
// get(), given the final owner and mode, synced and closed, then renamed
// over its target, and the directory is synced. Until the rename the target
// is untouched. A replacement abandoned before its rename (any early
// return) removes its temporary file; one ended by the process exiting
// leaves it, and the next creation under the same name removes it.
//
// Calling sequence:
//   staged_file out;
//   if (staged_create(out, tmp) != 0) ...          // report, errno set
//   fputs(text, out.get());
//   staged_owner_mode(out, uid, gid, mode);         // best effort or checked
//   if (staged_close(out) != 0) ...                 // write errors show here
//   if (staged_rename(out, path) != 0) ...
//   sync_directory(directory_of(path).c_str());
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

struct staged_file {
  // The temporary file, open for writing, until staged_close.
  FILE* out = nullptr;
  // Its name while it is this record's to remove (empty once renamed).
  std::string tmp;
  // The directory tmp is relative to: the working directory (AT_FDCWD), or
  // a descriptor of the record's own (staged_create_at).
  int dir = AT_FDCWD;

  staged_file() = default;
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;
  ~staged_file();

  FILE* get() const { return out; }
};

// Creates the temporary file tmp for writing, mode 0600. Whatever a killed
// run left under the name (a file, a symbolic link, a second hard link of
// another file) is removed first, and the new file is created exclusively
// and without following links, so nothing is ever written through the
// name. 0, or -1 with errno.
int staged_create(staged_file& staged, const char* tmp);

// staged_create for the name tmp in the open directory dir, which the
// record keeps a descriptor of: the replacement is created, renamed
// (staged_rename_at) and removed there, whatever the names leading to dir
// turn into meanwhile. 0, or -1 with errno.
int staged_create_at(staged_file& staged, int dir, const char* tmp);

// The same under a new name made from tmp_template (ending in "XXXXXX"),
// as mkstemp makes it. 0, or -1 with errno.
int staged_create_unique(staged_file& staged, const char* tmp_template);

// Gives the temporary file its final owner and mode; (uid_t)-1 and
// (gid_t)-1 keep the creator's. The owner goes first: a change of owner
// may clear set-id bits that the mode then restores. 0, or -1 with errno
// (the mode is then left as it was).
int staged_owner_mode(staged_file& staged, uid_t uid, gid_t gid, mode_t mode);

// Flushes, syncs and closes the temporary file. 0, or -1 with errno (EIO
// for a write error the stream remembers without one); the file stays the
// record's to remove.
int staged_close(staged_file& staged);

// Renames the closed temporary file over path. From then on the file is
// path's and no longer the record's. 0, or -1 with errno.
int staged_rename(staged_file& staged, const char* path);

// Renames the closed temporary file over name in the record's directory
// (staged_create_at). 0, or -1 with errno.
int staged_rename_at(staged_file& staged, const char* name);

// Closes and removes the temporary file unless it has been renamed; what
// the destructor does. errno is kept.
void staged_abandon(staged_file& staged);

// Flushes the directory dir so that a rename in it survives a crash.
// 0, also when its file system cannot sync a directory (EINVAL): the
// renamed file is in place either way. -1 with errno on other failures.
int sync_directory(const char* dir);

// The directory holding path: the text before its last '/', "/" for a
// path in the root, "." for a bare name.
std::string directory_of(const char* path);
