// Service control through the services' rc scripts.
//
// service_control knows a fixed table of sixteen services. Each request runs
// the service's rc script detached (own session, the script's directory as
// working directory, no inherited descriptors, standard streams on
// /dev/null) and waits for the script itself, not for the daemons it starts.
// Nothing is done at all while the product configuration defines
// NO_RESTART_DAEMON.
#pragma once

// The pauses between status polls. Apache's start, restart and force-reload
// are followed by up to 21 status queries, apache_step_ms apart; Tomcat's
// stop fallback counts its server processes up to six times, tomcat_step_ms
// apart. Tests pass short steps; the counts never change.
struct service_waits {
  unsigned apache_step_ms;
  unsigned tomcat_step_ms;
};
inline constexpr service_waits default_service_waits = {1000, 5000};

// Runs action ("start", "stop", "restart", "status", ...) on service through
// its rc script. 0 on success, -1 on failure (reported, except a failing
// status query and an Apache that never answers its status); fatal
// conditions (unusable script, no database for ColdFusion or JRun) end the
// process.
int service_control(const char* service, const char* action);
// service_control with the given pauses between status polls.
int service_control_with(const char* service, const char* action, const service_waits& waits);

// Runs script with argv[0] = service and one argument (the action, or
// "reload" for "graceful") detached, and waits for it. 0 when it exited with
// 0, else -1 after a report (a non-zero exit is not reported when
// report_failure is 0 or the action is "status"). A missing, non-regular,
// empty or non-executable script ends the process.
int run_service_script(const char* script, const char* service, const char* action,
                       int report_failure);

// run_service_script with the script path as service name, failures reported.
int run_rc_script(const char* script, const char* action);

// Stops and starts Apache again when its status query succeeds (running the
// deferred-removal cleanup in between when /dev/hdv1 is a placeholder).
// 0 when Apache did not run, else the result of the start.
int restart_apache_if_running();
// restart_apache_if_running with the given pauses between status polls.
int restart_apache_if_running_with(const service_waits& waits);

// Prints "is stopped" when not_running is non-zero, "is running" when it is
// 0, each with a newline, on standard output. Returns 0.
int print_run_state(int not_running);
