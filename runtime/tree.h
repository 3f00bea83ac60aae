// Directory tree operations: recursive owner, mode, removal and renaming,
// deferred removal below the web-hosting and mail roots, directory creation
// and a few small path and file helpers.
//
// Every operation reaches its path through descriptors (path_walk.h): a
// symbolic link in an earlier component is followed only where root alone
// could have made it, and one that a user could have made fails the lookup
// with ELOOP. The tree walkers never follow a symbolic link inside the tree
// and make every change relative to the open directory that holds the
// entry, with POSIX calls that leave a link alone (fstatat, openat with
// O_NOFOLLOW, then fchown or fchmod of what was opened), so swapping an
// entry for a link while a walk runs cannot make them change anything
// outside the tree. A regular file with more than one name keeps its owner,
// mode and content, with a notice ("%s is left alone: a file with %lu
// names"): it may be a hard link of another's file. They need no /proc and
// leave the working directory alone. Every failure not stated otherwise
// ends the process (report_msg status 1).
#pragma once

#include <sys/types.h>

#include <cstdio>

// Gives every regular file and directory below path the user and group,
// depth first; path itself too when apply_to_top. A link as path is left
// alone; a regular file as path is changed.
void chown_tree(const char* path, uid_t uid, gid_t gid, bool apply_to_top);

// As chown_tree for modes: file_mode for regular files, dir_mode for
// directories (each directory after its contents).
void chmod_tree(const char* path, mode_t file_mode, mode_t dir_mode, bool apply_to_top);

// chown_tree, then chmod_tree. Returns 0.
int chown_chmod_tree(const char* path, uid_t uid, gid_t gid, mode_t file_mode, mode_t dir_mode,
                     bool apply_to_top);

// Removes everything below path (links themselves, never their targets) and
// path itself when apply_to_top. A missing path is nothing to do.
void remove_tree(const char* path, bool apply_to_top);

// Renames every regular file called old_name to new_name within its own
// directory, in every subdirectory of path and, when apply_to_top, in path
// itself. Both must be plain names (no "/", not "." or ".."). A regular file
// as path is reported (status 0) and left alone.
void rename_in_tree(const char* path, const char* old_name, const char* new_name,
                    bool apply_to_top);

// Moves a directory lying below the web-hosting or the mail root aside, to
// "<root>/__deletedXXXXXX", for deferred_remove_cleanup to remove later.
// Checked and renamed through the descriptor of the directory holding it.
// Loads the product configuration when needed. Every failure is fatal.
void deferred_remove(const char* path);

// Removes the "__deleted" directories lying directly in each root through
// /bin/rm. Reports failures (status 0) and goes on; never ends the process.
void deferred_remove_cleanup();

// 1 when path and root are directories (not links) and path lies strictly
// below root, both taken by their physical location (climbing ".." from
// path, compared by device and inode); else 0. Nothing lies below "/".
int is_subdir(const char* path, const char* root);

// Renames old_path to new_path unless new_path exists. 0 on success or when
// old_path does not exist; -1 (reported, status 0) otherwise.
int rename_dir(const char* old_path, const char* new_path);

// Creates path and its missing parents top down, each new level owned by
// uid and gid; only the last level gets the set-id and sticky bits of mode.
// An existing level is left as it is. path is not changed (a heap copy is
// worked on). Failure to create or enter a level is fatal.
void make_path(const char* path, uid_t uid, gid_t gid, mode_t mode);

// As make_path, working on the caller's writable text (restored on return).
void make_path_in_place(char* path, uid_t uid, gid_t gid, mode_t mode);

// Creates a directory (an existing one is fine) and gives it owner and mode.
// A symbolic link or another non-directory at path is refused (ELOOP,
// ENOTDIR). 0, or -1 (reported, status 0).
int make_dir(const char* path, uid_t uid, gid_t gid, mode_t mode);

// Creates path (mode 0644 before the umask) or truncates it; a symbolic
// link at path is refused, and a file with more than one name is left
// alone with a notice (-1). 0, or -1 (reported, status 0).
int create_truncate_file(const char* path);

// As create_truncate_file, but an existing file keeps its content.
int create_file(const char* path);

// fclose(stream), reporting a failure (status 0). Returns fclose's result.
int close_stream(FILE* stream);

// Sets *out to the first of the null-terminated paths that exists and
// returns 1; else sets *out to null and returns 0. errno is left clear of
// the failed stats.
int first_existing_path(const char** out, const char* const* paths);

// 1 for a null or empty text, else 0.
int is_empty_string(const char* text);

// The absolute physical path of path, in a process-wide 4096-byte buffer
// overwritten by each call: for a directory the whole path is resolved, for
// anything else its directory part, the final name kept as it is. Null
// (reported, status 0) when path does not exist, cannot be resolved or the
// result would not fit.
char* real_path(const char* path);
