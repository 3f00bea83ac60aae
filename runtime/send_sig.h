// Process lookup and signalling.
#pragma once

// 0 when a process whose command name is exactly name runs; non-zero when
// none runs or the lookup failed.
int find_process(const char* name);

// Sends sig to every process whose command name (without path or
// arguments) is exactly name. Returns the raw result of system(3) for the
// pipeline (callers ignore it), or -1 after a report when name is not a
// plain name.
int kill_by_name(const char* name, int sig);

// Sends sig to pid after checking that it runs command as user. 0 when the
// signal was sent, -1 otherwise (each failure reported).
int send_sig_pid(const char* command, int pid, const char* user, int sig);

// Sends sig to every process whose "ps -o pid,<column>" line contains
// pattern (the header line never counts; sig 0 sends nothing). Returns the
// number of matching lines, or -1 when the process list was not obtained.
int send_signal_field(const char* column, const char* pattern, int sig);

// 1 when /dev/hdv1 is an empty regular file, else 0; decided on the first
// call and kept for the rest of the process.
int hdv1_placeholder_present();
