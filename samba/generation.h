// Generation of the Samba include file from the panel database.
#pragma once

#include <cstdio>
#include <string>

#include "runtime/db.h"
#include "runtime/message.h"

// Rewrites /usr/local/etc/smb.conf.include from the database. Returns 0;
// every failure ends the process with status 1.
int reconfigure_all();

// Writes the [global] section to out, reading the settings and hosts on
// conn (both owned by the caller). Returns 0, or 1 when the hosts table has
// rows but none of them may be written (an empty host list would admit
// every host).
int write_global_section(FILE* out, MYSQL* conn);

