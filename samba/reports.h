// Server reports and package state.
#pragma once

#include <cstddef>

// Passes smbstatus's report through to standard output unchanged; returns
// its exit status (-1 when it was ended by a signal or not collected).
int usage_status();

// Prints "0" when the Samba daemon is installed, "1" when it is not; has
// compctl mark the package records dirty when the database disagrees with
// the disk, and (Samba installed) leaves exactly one include line at the end
// of smb.conf, mode 0644. Returns 0; database problems end the process.
int check_packages();

// Copies the version recorded for package in table Components into out (at
// most size - 1 bytes and a NUL). Every failure (no connection, query error,
// no row, several rows, NULL version) ends the process.
void get_component_version(const char* package, char* out, size_t size);

// True unless the recorded version of package is exactly "not_installed";
// failures end the process as in get_component_version.
bool is_package_installed(const char* package);

// The same question without reports of its own: false on every failure
// (db_open still reports a failed connection), on no row or several rows, a
// NULL version or one that begins with "not_installed".
bool is_package_installed_quiet(const char* package);
