// Service control through the services' rc scripts.
#pragma once

// Runs action ("start", "stop", "restart", "status") on service through its
// rc script. 0 on success, -1 on failure; fatal conditions end the process.
int service_control(const char* service, const char* action);

// Prints "is stopped" when not_running is non-zero, "is running" when it is
// 0, each with a newline, on standard output. Returns 0.
int print_run_state(int not_running);
