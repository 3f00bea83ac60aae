// Generation of the Samba include file from the panel database.
#pragma once

#include <cstdio>
#include <string>

#include "runtime/db.h"

// Rewrites /usr/local/etc/smb.conf.include from the database. Returns 0;
// every failure ends the process with status 1.
int reconfigure_all();

// Writes the [global] section to out, reading the settings and hosts on
// conn (both owned by the caller). Returns 0, or 1 when the hosts table has
// rows but none of them may be written (an empty host list would admit
// every host).
int write_global_section(FILE* out, MYSQL* conn);

// Screening of stored values before they reach smb.conf. Samba's parser
// ends a value at a newline and joins a line ending in a backslash (blanks
// after it included) to the next one, so such values could add parameters
// of their own. All of these are pure and take any byte string.

// True when value may stand as a parameter value: it holds no control
// character and its last non-blank character is not a backslash.
bool conf_value_ok(const char* value);

// True when Samba reads "[name]" back as a section of exactly that name:
// a value as above, not empty, without '[' or ']', without a run of blanks
// (Samba folds it into one), and neither the global section ("global" or
// "globals" in any case, blanks anywhere ignored) nor the printer template
// ("printers" likewise).
bool share_name_ok(const char* name);

// True when name is a plain account name that a valid users list reads as
// one user and nothing else: not empty, only ASCII letters, digits, '.',
// '_', '-' and bytes above 127, with at most a final '$'. Blanks and commas
// would split it, a leading '@', '+' or '&' would name a group, a quote is
// dropped, '%' is expanded as a macro and '\' names a domain.
bool account_name_ok(const char* name);

// The name under which Samba looks a share up (ASCII letters folded to
// lower case): two shares with the same key land in one section.
std::string share_name_key(const char* name);

// value for a report: control characters as \n, \r, \t or \xHH and
// backslashes doubled, so that a report stays one line per message.
std::string printable_value(const char* value);
