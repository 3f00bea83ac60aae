#include "runtime/service.h"

#include <libgen.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "runtime/db.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/paths.h"
#include "runtime/product_conf.h"
#include "runtime/send_sig.h"
#include "runtime/spawn.h"
#include "runtime/tree.h"

namespace {


enum class handling { plain, samba, apache, tomcat, cold_fusion };

struct service_entry {
  const char* name;
  handling how;
};

// The services service_control accepts; looked up by exact name, first
// match wins.
constexpr service_entry service_table[] = {
    {"tav", handling::plain},
    {"apache2.sh", handling::apache},
    {"tomcat4", handling::tomcat},
    {"courier-imap", handling::plain},
    {"mysqld", handling::plain},
    {"named", handling::plain},
    {"qmail", handling::plain},
    {"stunnel", handling::plain},
    {"postgresql", handling::plain},
    {"mailman", handling::plain},
    {"coldfusion", handling::cold_fusion},
    {"jrun", handling::cold_fusion},
    {"drwebd", handling::plain},
    {"samba", handling::samba},
    {"network", handling::plain},
    {"xinetd", handling::plain},
};

constexpr const char apache_service[] = "apache2.sh";
constexpr const char tomcat_service[] = "tomcat4";
// Tomcat's server process is known by its main class on the command line.
constexpr const char tomcat_column[] = "command";
constexpr const char tomcat_bootstrap[] = "org.apache.catalina.startup.Bootstrap";
constexpr int apache_status_queries = 21;
constexpr int tomcat_term_counts = 5;

const service_entry* find_service(const char* name) {
  for (const service_entry& e : service_table)
    if (std::strcmp(e.name, name) == 0)
      return &e;
  return nullptr;
}

void pause_ms(unsigned ms) {
  errno_keeper keep;
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Formats into a path buffer; false when the text had to be cut (a cut path
// could name another file).
[[gnu::format(printf, 2, 3)]] bool compose(char (&buf)[text_size], const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return n >= 0 && static_cast<size_t>(n) < sizeof buf;
}

// A script path at a fixed place that does not fit: no such file can exist,
// and the run ends as a failed stat of it would end it.
[[noreturn]] void script_path_too_long(const char* path) {
  errno = ENAMETOOLONG;
  fatal("Error during access to '%s': %s", path, std::strerror(errno));
}

// Whether path exists: errno as it was when it does, the stat's when not.
bool exists(const char* path) {
  errno_keeper keep;
  struct stat st;
  if (stat(path, &st) == 0)
    return true;
  keep.release();
  return false;
}

// The first of <product rc dir>/<name>, /etc/rc.d/<name> and
// /usr/local/etc/rc.d/<name>.sh that exists. A candidate that does not fit
// its buffer is passed over.
bool lookup_script(const char* service, char (&script)[text_size]) {
  return (compose(script, "%s/%s", product_conf.product_rc_d, service) && exists(script)) ||
         (compose(script, "%s/%s", paths::rc_d_system, service) && exists(script)) ||
         (compose(script, "%s/%s.sh", paths::rc_d_local, service) && exists(script));
}

// Ends the run unless script is a non-empty regular file with an execute
// bit.
void check_script(const char* script) {
  struct stat st;
  if (stat(script, &st) != 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR)
      fatal("No such file '%s': %s", script, std::strerror(error));
    fatal("Error during access to '%s': %s", script, std::strerror(error));
  }
  if (!S_ISREG(st.st_mode))
    fatal("Not a regular file: '%s'", script);
  if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0 || st.st_size == 0)
    fatal("Not an executable file: '%s'", script);
}

// Where a script runs from: its directory, and the path that names it from
// there.
struct script_place {
  char dir_copy[text_size];
  const char* dir = nullptr;
  char relative[text_size];
  const char* exec_path = nullptr;
};

// The child changes to the script's directory first, so a relative path is
// executed by its last component from there.
void locate_script(const char* script, script_place& place) {
  if (!compose(place.dir_copy, "%s", script))
    script_path_too_long(script);
  place.dir = dirname(place.dir_copy);
  place.exec_path = script;
  if (script[0] != '/') {
    const char* slash = std::strrchr(script, '/');
    if (!compose(place.relative, "./%s", slash ? slash + 1 : script))
      script_path_too_long(script);
    place.exec_path = place.relative;
  }
}

// Starts the script detached: its own session, its directory as working
// directory, none of our descriptors (database sockets, lock files, pipes of
// a caller that captures our output), /dev/null on all three streams. A
// script without an interpreter line runs through /bin/sh, as with execlp.
// Returns the child's id, or -1 with errno set.
pid_t start_script(const script_place& place, const char* service, const char* argument) {
  const char* const argv[] = {service, argument, nullptr};
  spawn_plan plan;
  plan.path = place.exec_path;
  plan.argv = argv;
  for (fd_plan& fd : plan.fds)
    fd.action = fd_action::null;
  plan.dir = place.dir;
  plan.new_session = true;
  plan.close_others = true;
  plan.shell_fallback = true;
  plan.dir_status = 1;
  plan.session_status = 3;
  plan.fds_status = exit_with_errno;
  plan.exec_status = exit_with_errno;
  spawn_failure failure;
  pid_t pid = spawn_child(plan, &failure);
  // The child's streams were still ours when these steps failed.
  if (failure.step == spawn_step::dir) {
    errno = failure.error;
    report_msg(0, "Unable to change directory to %s: %s\n", place.dir,
               std::strerror(failure.error));
  } else if (failure.step == spawn_step::session && failure.stderr_open) {
    direct_msg("setsid() failed: %s\n", std::strerror(failure.error));
  }
  return pid;
}

// Waits for the script (stops reported too) and turns its end into 0 or -1,
// reporting failures.
int script_result(pid_t pid, const char* service, const char* label, int report_failure) {
  int status = 0;
  if (pid < 0 || wait_child(pid, &status, WUNTRACED) < 0) {
    report_msg(0, "Error occured during %s service %s: %s\n", label, service, std::strerror(errno));
    return -1;
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 0)
      return 0;
    // A status query that fails only says that the service does not run.
    if (report_failure && std::strcmp(label, "status") != 0)
      report_msg(0, "Service %s failed to %s\n", service, label);
    return -1;
  }
  if (WIFSTOPPED(status)) {
    report_msg(0, "Unable to %s service %s: daemon stopped by signal %i\n", label, service,
               WSTOPSIG(status));
    return -1;
  }
  report_msg(0, "Unable to %s service %s: daemon killed by signal %i\n", label, service,
             WTERMSIG(status));
  return -1;
}

int control_plain(const service_entry& entry, const char* action) {
  char script[text_size];
  if (!lookup_script(entry.name, script)) {
    report_msg(0, "Unable to find start/stop script for '%s'\n", entry.name);
    return -1;
  }
  return run_rc_script(script, action);
}

struct lock_releaser {
  void operator()(locked_file* lock) const { locked_file_release(lock); }
};

// Samba's kill-and-script sequence as one step across runs: the SIGKILL of
// every smbd also hits the daemon another run's script is starting (its
// "smbd -D" is a process named smbd), and that run would report a start
// that failed although Samba ends up running. The lock is the runtime's
// own; one that cannot be had leaves the sequence as it runs alone.
int control_samba(const service_entry& entry, const char* action) {
  if (strcasecmp(action, "status") == 0)
    return control_plain(entry, action);
  std::unique_ptr<locked_file, lock_releaser> lock;
  {
    errno_keeper keep;
    lock.reset(locked_file_lock(paths::samba_restart_lock, 1));
  }
  // Hung daemons would keep the script's own stop or start from working.
  kill_by_name("smbd", SIGKILL);
  kill_by_name("nmbd", SIGKILL);
  return control_plain(entry, action);
}

int control_cold_fusion(const service_entry& entry, const char* action,
                        const service_waits& waits) {
  char script[text_size];
  {
    unique_mysql conn(db_open());
    if (!conn)
      fatal("Unable to connect to the mysql database\n");
    const char* instance = get_misc_param("cf_instance_path", conn.get());
    if (!instance || std::strlen(instance) <= 1) {
      report_msg(0, "CF not configured in Tavra.\n");
      return -1;
    }
    if (!compose(script, "%s/bin/%s", instance, entry.name))
      script_path_too_long(script);
  }
  int result = run_rc_script(script, action);
  if (result == 0 && std::strcmp(action, "status") != 0)
    restart_apache_if_running_with(waits);
  return result;
}

// Tomcat's script could not stop it: SIGTERM to its server process, up to
// five counts waiting for it to go, then SIGKILL and a last count.
int stop_tomcat_by_signal(int result, const service_waits& waits) {
  send_signal_field(tomcat_column, tomcat_bootstrap, SIGTERM);
  for (int i = 0; i < tomcat_term_counts; ++i) {
    pause_ms(waits.tomcat_step_ms);
    int count = send_signal_field(tomcat_column, tomcat_bootstrap, 0);
    if (count == 0)
      return 0;
    if (count < 0)
      return result;
  }
  send_signal_field(tomcat_column, tomcat_bootstrap, SIGKILL);
  pause_ms(waits.tomcat_step_ms);
  if (send_signal_field(tomcat_column, tomcat_bootstrap, 0) == 0)
    return 0;
  return result;
}

int control_tomcat(const char* action, const service_waits& waits) {
  char script[text_size];
  if (!compose(script, "%s/%s", product_conf.product_rc_d, tomcat_service))
    script_path_too_long(script);
  bool stop = std::strcmp(action, "stop") == 0;
  int result = run_service_script(script, tomcat_service, action, stop ? 0 : 1);
  if (result != 0 && stop)
    result = stop_tomcat_by_signal(result, waits);
  if (result == 0 && stop)
    restart_apache_if_running_with(waits);
  return result;
}

int control_apache(const char* action, const service_waits& waits) {
  char script[text_size];
  if (!compose(script, "%s/%s", product_conf.product_rc_d, apache_service))
    script_path_too_long(script);
  int result = run_rc_script(script, action);
  if (result != 0)
    return result;
  if (std::strcmp(action, "start") != 0 && std::strcmp(action, "restart") != 0 &&
      std::strcmp(action, "force-reload") != 0)
    return 0;
  // The script returns before the server answers; follow it until it does.
  for (int i = 0; i < apache_status_queries; ++i) {
    if (service_control_with(apache_service, "status", waits) == 0)
      return 0;
    pause_ms(waits.apache_step_ms);
  }
  return -1;
}

}  // namespace

int run_service_script(const char* script, const char* service, const char* action,
                       int report_failure) {
  bool graceful = std::strcmp(action, "graceful") == 0;
  const char* argument = graceful ? "reload" : action;
  char label[text_size];
  std::snprintf(label, sizeof label, "%s", graceful ? "gracefully restart" : action);

  check_script(script);
  script_place place;
  locate_script(script, place);
  pid_t pid = start_script(place, service, argument);
  return script_result(pid, service, label, report_failure);
}

int run_rc_script(const char* script, const char* action) {
  return run_service_script(script, script, action, 1);
}

int service_control_with(const char* service, const char* action, const service_waits& waits) {
  if (get_conf_value("NO_RESTART_DAEMON"))
    return 0;
  const service_entry* entry = find_service(service);
  if (!entry) {
    report_msg(0, "Unknown service: %s\n", service);
    return -1;
  }
  load_product_conf();
  switch (entry->how) {
    case handling::cold_fusion:
      return control_cold_fusion(*entry, action, waits);
    case handling::tomcat:
      return control_tomcat(action, waits);
    case handling::apache:
      return control_apache(action, waits);
    case handling::samba:
      return control_samba(*entry, action);
    case handling::plain:
      break;
  }
  return control_plain(*entry, action);
}

int service_control(const char* service, const char* action) {
  return service_control_with(service, action, default_service_waits);
}

int restart_apache_if_running_with(const service_waits& waits) {
  if (service_control_with(apache_service, "status", waits) != 0)
    return 0;
  service_control_with(apache_service, "stop", waits);
  // Directories removed while Apache ran are deleted while it is down.
  if (hdv1_placeholder_present())
    deferred_remove_cleanup();
  return service_control_with(apache_service, "start", waits);
}

int restart_apache_if_running() {
  return restart_apache_if_running_with(default_service_waits);
}

int print_run_state(int not_running) {
  std::puts(not_running ? "is stopped" : "is running");
  return 0;
}
