// Weak stand-ins for operations whose units are not built yet: each ends the
// run with a clear report instead of pretending success. A unit's real
// definition replaces its stand-in at link time.
#include "runtime/exec.h"
#include "runtime/message.h"
#include "runtime/send_sig.h"
#include "runtime/service.h"
#include "samba/generation.h"
#include "samba/reports.h"
#include "samba/users.h"

#define PENDING(name) report_msg(1, "%s is not available in this build", name)

[[gnu::weak]] int exec_program(const char*, ...) { PENDING("exec_program"); return -1; }
[[gnu::weak]] int find_process(const char*) { PENDING("find_process"); return -1; }
[[gnu::weak]] int service_control(const char*, const char*) { PENDING("service_control"); return -1; }
[[gnu::weak]] int print_run_state(int) { PENDING("print_run_state"); return -1; }
[[gnu::weak]] int add_smbuser(const char*, const char*) { PENDING("add_smbuser"); return -1; }
[[gnu::weak]] int set_smbuser_password(const char*, const char*) { PENDING("set_smbuser_password"); return -1; }
[[gnu::weak]] int rename_smbuser(const char*, const char*, const char*) { PENDING("rename_smbuser"); return -1; }
[[gnu::weak]] int del_smbuser(const char*, const char*) { PENDING("del_smbuser"); return -1; }
[[gnu::weak]] int reconfigure_all() { PENDING("reconfigure_all"); return -1; }
[[gnu::weak]] int usage_status() { PENDING("usage_status"); return -1; }
[[gnu::weak]] int check_packages() { PENDING("check_packages"); return -1; }
