// Server reports and package state.
#pragma once

// Passes smbstatus's report through; returns its exit status.
int usage_status();

// Prints "1" when the Samba daemon is installed, "0" otherwise, and brings
// the panel's package records and smb.conf's include line in step. Returns 0.
int check_packages();
