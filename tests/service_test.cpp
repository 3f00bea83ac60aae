// Service control on real processes of the sandbox: fake rc scripts written
// by the tests for the runner, Apache, Tomcat and ColdFusion, and a real
// Samba (Debian's smbd and nmbd) behind an rc script of the tests' own for
// the front end's service options.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/message.h"
#include "runtime/product_conf.h"
#include "runtime/send_sig.h"
#include "runtime/service.h"
#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

const std::string rc_dir = std::string(test_product_root) + "/rc.d";
const std::string rc_log = "/tmp/rc.log";
constexpr service_waits no_pause = {0, 0};
// Tomcat's fallback counts a process that must have time to die on SIGTERM;
// six steps of this keep the test short.
constexpr service_waits tomcat_pause = {0, 200};

void write_script(const std::string& path, const std::string& body, mode_t mode = 0755) {
  write_file(path, "#!/bin/sh\n" + body, mode);
}

// A script that appends "<tag> <argument>" to the log and exits with status.
void logging_script(const std::string& path, const std::string& tag, int status = 0) {
  write_script(path, "echo \"" + tag + " $1\" >> " + rc_log + "\nexit " +
                         std::to_string(status) + "\n");
}

std::string log_text() { return file_exists(rc_log) ? read_file(rc_log) : ""; }

void use_product_conf(const std::string& extra = "") {
  write_product_conf();
  if (!extra.empty())
    write_file("/etc/tav/tav.conf", product_conf_text() + extra);
  load_product_conf();
}

// Starts argv by path with its standard streams on /dev/null (and SIGTERM
// ignored when asked, inherited across exec) and returns once it has been
// executed.
pid_t spawn(const std::vector<std::string>& argv, bool ignore_term = false) {
  return start_program(argv[0], argv, {null_stream, null_stream, null_stream}, ignore_term);
}

bool still_running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// The signal that ended our child pid (waited for), or 0 when it exited.
int ending_signal(pid_t pid) {
  int status = wait_program(pid);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

class ServiceScript : public ::testing::Test {
 protected:
  void SetUp() override {
    program_path = "cifsctl";
    use_product_conf();
  }
};

// The runner starts the script detached: its own session, its directory as
// working directory, none of our descriptors, /dev/null on all three
// streams, argv[0] = the service name and the action as the only argument.
// A script's interpreter never sees argv[0], so the "script" here is a copy
// of /bin/sh, which then reads the file named by its first argument from
// the working directory.
TEST_F(ServiceScript, RunsTheScriptDetached) {
  const std::string probe = "/tmp/probe.log";
  write_file("/opt/scripts/probe", read_file("/bin/sh"), 0755);
  write_file("/opt/scripts/start",
             "self=$$\n"
             "{\n"
             "echo \"cmdline=$(tr '\\0' ' ' < /proc/$self/cmdline)\"\n"
             "echo \"cwd=$(pwd)\"\n"
             "set -- $(cat /proc/$self/stat)\n"
             "[ \"$6\" = \"$self\" ] && echo session=own || echo session=inherited\n"
             "echo \"marker=$(ls -l /proc/$self/fd | grep -c inherited-marker)\"\n"
             "} >> " + probe + "\n"
             "for fd in 0 1 2; do echo \"fd$fd=$(readlink /proc/$self/fd/$fd)\" >> " + probe +
             "; done\n"
             "echo to-stdout; echo to-stderr >&2\n");
  int marker = open("/tmp/inherited-marker", O_RDWR | O_CREAT, 0644);  // no O_CLOEXEC
  ASSERT_GE(marker, 0);

  run_result r = run_in_child(
      [] { exit_program(run_service_script("/opt/scripts/probe", "probe-svc", "start", 1)); });
  close(marker);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_TEXT_EQ(
      "cmdline=probe-svc start \n"
      "cwd=/opt/scripts\n"
      "session=own\n"
      "marker=0\n"
      "fd0=/dev/null\nfd1=/dev/null\nfd2=/dev/null\n",
      read_file(probe));
}

// "graceful" reaches the script as "reload"; a relative script path is run
// from the script's own directory, where the child has changed to.
TEST_F(ServiceScript, GracefulBecomesReloadAndRelativePathsWork) {
  write_script(rc_dir + "/probe", "echo \"$0 $1 $(pwd)\" >> " + rc_log + "\n");
  ASSERT_EQ(0, chdir(test_product_root));
  EXPECT_EQ(0, run_rc_script("rc.d/probe", "graceful"));
  EXPECT_EQ(0, run_rc_script("rc.d/probe", "stop"));
  EXPECT_EQ("./probe reload " + rc_dir + "\n./probe stop " + rc_dir + "\n", log_text());
}

TEST_F(ServiceScript, OutcomesAndTheirMessages) {
  struct outcome {
    const char* body;
    const char* action;
    int report_failure;
    int status;           // the run's exit status: 255 for a result of -1
    const char* message;  // after "cifsctl: ", on both streams; "" for none
  };
  const outcome cases[] = {
      {"exit 0\n", "start", 1, 0, ""},
      {"exit 3\n", "start", 1, 255, "Service svc failed to start\n"},
      {"exit 3\n", "start", 0, 255, ""},
      {"exit 1\n", "status", 1, 255, ""},
      {"exit 1\n", "graceful", 1, 255, "Service svc failed to gracefully restart\n"},
      {"kill -KILL $$\n", "stop", 1, 255,
       "Unable to stop service svc: daemon killed by signal 9\n"},
      {"kill -KILL $$\n", "stop", 0, 255,
       "Unable to stop service svc: daemon killed by signal 9\n"},
      {"kill -STOP $$\n", "restart", 1, 255,
       "Unable to restart service svc: daemon stopped by signal 19\n"},
  };
  for (const outcome& c : cases) {
    write_script("/opt/scripts/outcome", c.body);
    run_result r = run_in_child([&] {
      exit_program(run_service_script("/opt/scripts/outcome", "svc", c.action, c.report_failure));
    });
    std::string expected = *c.message ? std::string("cifsctl: ") + c.message : "";
    SCOPED_TRACE(std::string(c.body) + c.action);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(expected, r.err);
    EXPECT_EQ(expected, r.out);
  }
}

// Scripts that cannot be run end the process before anything is started.
TEST_F(ServiceScript, UnusableScriptsEndTheRun) {
  const std::string apache = rc_dir + "/apache2.sh";
  const std::string samba = rc_dir + "/samba";
  auto run = [](const char* service) {
    return run_in_child([=] { service_control(service, "start"); });
  };

  // apache2.sh is looked for in the product's rc directory only.
  logging_script("/etc/rc.d/apache2.sh", "elsewhere");
  run_result r = run("apache2.sh");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("cifsctl: No such file '" + apache +
                "': No such file or directory\nSystem error 2: No such file or directory\n",
            r.err);
  EXPECT_EQ(r.err, r.out);

  ASSERT_EQ(0, symlink(apache.c_str(), apache.c_str()));  // a loop
  r = run("apache2.sh");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("cifsctl: Error during access to '" + apache +
                "': Too many levels of symbolic links\nSystem error 40: Too many levels of "
                "symbolic links\n",
            r.err);

  make_dirs(samba);
  r = run("samba");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("cifsctl: Not a regular file: '" + samba + "'\n", r.err);
  EXPECT_EQ(r.err, r.out);
  rmdir(samba.c_str());

  logging_script(samba, "samba", 0);
  chmod(samba.c_str(), 0644);
  r = run("samba");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("cifsctl: Not an executable file: '" + samba + "'\n", r.err);

  write_file(samba, "", 0755);
  r = run("samba");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("cifsctl: Not an executable file: '" + samba + "'\n", r.err);

  // Any one execute bit will do.
  logging_script(samba, "samba", 0);
  chmod(samba.c_str(), 0601);
  r = run("samba");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("samba start\n", log_text());
}

// The product's rc directory first, then /etc/rc.d, then
// /usr/local/etc/rc.d/<name>.sh; none is an ordinary failure.
TEST_F(ServiceScript, ScriptLookupOrder) {
  logging_script(rc_dir + "/named", "product");
  logging_script("/etc/rc.d/named", "system");
  logging_script("/usr/local/etc/rc.d/named.sh", "local");
  logging_script("/usr/local/etc/rc.d/named", "local-without-suffix");

  EXPECT_EQ(0, service_control("named", "reload"));
  unlink((rc_dir + "/named").c_str());
  EXPECT_EQ(0, service_control("named", "reload"));
  unlink("/etc/rc.d/named");
  EXPECT_EQ(0, service_control("named", "reload"));
  EXPECT_EQ("product reload\nsystem reload\nlocal reload\n", log_text());

  unlink("/usr/local/etc/rc.d/named.sh");
  run_result r = run_in_child([] { exit_program(service_control("named", "reload")); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(
      "cifsctl: Unable to find start/stop script for 'named'\n\n"
      "System error 2: No such file or directory\n",
      r.err);
}

TEST_F(ServiceScript, UnknownServicesAreCaseSensitive) {
  logging_script(rc_dir + "/Samba", "capital");
  run_result r = run_in_child([] { exit_program(service_control("Samba", "start")); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: Unknown service: Samba\n", r.err);
  EXPECT_EQ(r.err, r.out);
  EXPECT_EQ("", log_text());
}

// With NO_RESTART_DAEMON defined nothing at all happens, not even the report
// of an unknown service.
TEST(ServiceNoRestart, EveryCallDoesNothing) {
  program_path = "cifsctl";
  use_product_conf("NO_RESTART_DAEMON yes\n");
  logging_script(rc_dir + "/samba", "samba");
  logging_script(rc_dir + "/apache2.sh", "apache");
  run_result r = run_in_child([] {
    int results = service_control("nosuch", "start") | service_control("samba", "restart") |
                  service_control("apache2.sh", "start") | service_control("tomcat4", "stop") |
                  service_control("coldfusion", "start") | restart_apache_if_running();
    exit_program(results);
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", log_text());
}

// An Apache script whose status query succeeds from the given call on.
void apache_script(int running_from) {
  write_script(rc_dir + "/apache2.sh",
               "echo \"apache $1\" >> " + rc_log +
                   "\n"
                   "[ \"$1\" = status ] || exit 0\n"
                   "n=$(cat /tmp/status.count 2>/dev/null || echo 0)\n"
                   "n=$((n + 1)); echo $n > /tmp/status.count\n"
                   "[ $n -ge " + std::to_string(running_from) + " ]\n");
}

std::string repeated(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i)
    text += line;
  return text;
}

class ServiceApache : public ServiceScript {};

TEST_F(ServiceApache, StartIsFollowedUntilStatusSucceeds) {
  apache_script(3);
  EXPECT_EQ(0, service_control_with("apache2.sh", "start", no_pause));
  EXPECT_EQ("apache start\n" + repeated("apache status\n", 3), log_text());
}

TEST_F(ServiceApache, TwentyOneFailedStatusQueriesFailTheStart) {
  apache_script(1000);
  run_result r = run_in_child(
      [] { exit_program(service_control_with("apache2.sh", "restart", no_pause)); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.err);  // a failing status query is no failure to report
  EXPECT_EQ("apache restart\n" + repeated("apache status\n", 21), log_text());
}

TEST_F(ServiceApache, OnlyStartRestartAndForceReloadWait) {
  apache_script(1);
  EXPECT_EQ(0, service_control_with("apache2.sh", "force-reload", no_pause));
  EXPECT_EQ(0, service_control_with("apache2.sh", "graceful", no_pause));
  EXPECT_EQ(0, service_control_with("apache2.sh", "stop", no_pause));
  EXPECT_EQ("apache force-reload\napache status\napache reload\napache stop\n", log_text());
}

TEST_F(ServiceApache, AFailedScriptIsReportedAndNotFollowed) {
  logging_script(rc_dir + "/apache2.sh", "apache", 1);
  run_result r = run_in_child(
      [] { exit_program(service_control_with("apache2.sh", "graceful", no_pause)); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: Service " + rc_dir + "/apache2.sh failed to gracefully restart\n", r.err);
  EXPECT_EQ("apache reload\n", log_text());
}

TEST_F(ServiceApache, RestartIfRunningLeavesAStoppedApacheAlone) {
  apache_script(1000);
  EXPECT_EQ(0, restart_apache_if_running_with(no_pause));
  EXPECT_EQ("apache status\n", log_text());
}

class ServiceTomcat : public ServiceScript {
 protected:
  // A process whose command line holds Tomcat's main class.
  static pid_t start_server(bool ignore_term) {
    return spawn({"/bin/sh", "-c", "while :; do sleep 0.05; done",
                  "org.apache.catalina.startup.Bootstrap"},
                 ignore_term);
  }
};

TEST_F(ServiceTomcat, FailedStopFallsBackToSigterm) {
  logging_script(rc_dir + "/tomcat4", "tomcat", 1);
  apache_script(1000);
  pid_t server = start_server(false);
  ASSERT_GT(server, 0);
  run_result r = run_in_child(
      [] { exit_program(service_control_with("tomcat4", "stop", tomcat_pause)); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);  // the script's failure to stop is not reported
  EXPECT_EQ(SIGTERM, ending_signal(server));
  EXPECT_EQ("tomcat stop\napache status\n", log_text());
}

TEST_F(ServiceTomcat, AServerThatIgnoresSigtermGetsSigkill) {
  logging_script(rc_dir + "/tomcat4", "tomcat", 1);
  apache_script(1000);
  pid_t server = start_server(true);
  ASSERT_GT(server, 0);
  run_result r = run_in_child(
      [] { exit_program(service_control_with("tomcat4", "stop", tomcat_pause)); });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(SIGKILL, ending_signal(server));
}

// A stop by the script itself needs no signals; Apache, running, is
// restarted after it.
TEST_F(ServiceTomcat, SuccessfulStopRestartsARunningApache) {
  logging_script(rc_dir + "/tomcat4", "tomcat", 0);
  apache_script(1);
  pid_t server = start_server(false);
  EXPECT_EQ(0, service_control_with("tomcat4", "stop", tomcat_pause));
  EXPECT_TRUE(still_running(server));
  kill(server, SIGKILL);
  EXPECT_EQ(
      "tomcat stop\napache status\napache stop\napache start\napache status\n", log_text());
}

TEST_F(ServiceTomcat, OtherActionsReportFailuresAndNeverSignal) {
  logging_script(rc_dir + "/tomcat4", "tomcat", 1);
  pid_t server = start_server(false);
  run_result r = run_in_child(
      [] { exit_program(service_control_with("tomcat4", "start", tomcat_pause)); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: Service tomcat4 failed to start\n", r.err);
  EXPECT_TRUE(still_running(server));
  kill(server, SIGKILL);
}

class ServiceColdFusion : public ServiceScript {
 protected:
  void SetUp() override {
    ServiceScript::SetUp();
    start_mariadb();
  }
};

// A successful ColdFusion action restarts a running Apache, removing the
// deferred removals while it is down when /dev/hdv1 is a placeholder.
TEST_F(ServiceColdFusion, ScriptFromTheInstancePathThenApacheRestart) {
  db_sql("INSERT INTO misc (param, val) VALUES ('cf_instance_path', '/opt/cf');");
  write_script("/opt/cf/bin/coldfusion", "echo \"cf $1 $(pwd)\" >> " + rc_log + "\n");
  const std::string deleted = std::string(test_product_root) + "/vhosts/__deletedAb12Cd";
  make_dirs(deleted + "/site");
  make_dirs("/var/qmail/mailnames");
  write_file("/dev/hdv1", "");
  write_script(rc_dir + "/apache2.sh",
               "[ -d " + deleted + " ] && d=present || d=gone\n"
               "echo \"apache $1 $d\" >> " + rc_log + "\n");

  EXPECT_EQ(0, service_control_with("coldfusion", "start", no_pause));
  EXPECT_EQ(
      "cf start /opt/cf/bin\n"
      "apache status present\napache stop present\napache start gone\napache status gone\n",
      log_text());
}

TEST_F(ServiceColdFusion, StatusRestartsNothing) {
  db_sql("INSERT INTO misc (param, val) VALUES ('cf_instance_path', '/opt/cf');");
  logging_script("/opt/cf/bin/jrun", "jrun");
  logging_script(rc_dir + "/apache2.sh", "apache");
  EXPECT_EQ(0, service_control_with("jrun", "status", no_pause));
  EXPECT_EQ("jrun status\n", log_text());
}

TEST_F(ServiceColdFusion, AnInstancePathOfOneCharacterIsNoConfiguration) {
  db_sql("INSERT INTO misc (param, val) VALUES ('cf_instance_path', '/');");
  run_result r = run_in_child([] { exit_program(service_control("coldfusion", "start")); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: CF not configured in Tavra.\n", r.err);
  EXPECT_EQ(r.err, r.out);
  EXPECT_EQ("", log_text());

  db_sql("DELETE FROM misc WHERE param = 'cf_instance_path';");
  r = run_in_child([] { exit_program(service_control("jrun", "start")); });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: CF not configured in Tavra.\n", r.err);
}

TEST_F(ServiceColdFusion, NoDatabaseEndsTheRun) {
  stop_mariadb();
  run_result r = run_in_child([] { service_control("coldfusion", "start"); });
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("cifsctl: Unable to connect to the mysql database\n"))
      << r.err;
}

// The front end's service options against a real smbd and nmbd, started and
// stopped by an rc script of the tests' own.
class SambaService : public ::testing::Test {
 protected:
  void SetUp() override {
    program_path = "cifsctl";
    use_product_conf();
    setup_samba();
    write_script(rc_dir + "/samba", std::string("echo \"$1\" >> /tmp/rc.log\n") +
                                        samba_rc_script_body);
    // The real rcswitch, where the front end runs it.
    write_file(product_conf.rcswitch_path, read_file(std::string(BUILD_DIR) + "/rcswitch"), 0755);
  }

  // smbd and nmbd in the foreground as our own children, so that the signal
  // that ends them can be seen.
  void start_foreground_samba() {
    smbd = spawn({"/usr/local/sbin/smbd", "-F", "--no-process-group"});
    nmbd = spawn({"/usr/local/sbin/nmbd", "-F", "--no-process-group"});
    ASSERT_TRUE(eventually(accepts_on_445)) << "smbd does not accept on 445";
  }

  static std::string enabled() { return read_file("/etc/rc.conf.d/samba"); }

  pid_t smbd = -1, nmbd = -1;
};

TEST_F(SambaService, StatusReportsRunningAndStopped) {
  run_result r = run_cifsctl({"--status"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("is stopped\n", r.out);
  EXPECT_EQ("", r.err);

  start_foreground_samba();
  r = run_cifsctl({"-s"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("is running\n", r.out);
  EXPECT_EQ("", log_text());  // no script runs for the status line
  EXPECT_TRUE(still_running(smbd));
}

// "status" is the one action that leaves the daemons alone.
TEST_F(SambaService, StatusNeverKills) {
  start_foreground_samba();
  service_control("samba", "status");
  EXPECT_TRUE(still_running(smbd));
  EXPECT_TRUE(still_running(nmbd));
  EXPECT_EQ(-1, service_control("samba", "STATUSX"));  // any other action kills
  EXPECT_EQ(SIGKILL, ending_signal(smbd));
  EXPECT_EQ(SIGKILL, ending_signal(nmbd));
  EXPECT_EQ("status\nSTATUSX\n", log_text());
}

TEST_F(SambaService, StartKillsStopsStartsAndEnables) {
  start_foreground_samba();
  run_result r = run_cifsctl({"--start"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", without_vanished_pids(r.err));
  EXPECT_EQ("", r.out);
  // Killed before the script's own stop could ask them to go.
  EXPECT_EQ(SIGKILL, ending_signal(smbd));
  EXPECT_EQ(SIGKILL, ending_signal(nmbd));
  EXPECT_EQ("stop\nstart\n", log_text());
  EXPECT_EQ("samba_enable=\"YES\"\n", enabled());
  EXPECT_TRUE(eventually(accepts_on_445)) << "the script's smbd does not serve";

  r = run_cifsctl({"--status"});
  EXPECT_EQ("is running\n", r.out);
}

TEST_F(SambaService, StopWhenNothingRunsStillDisables) {
  write_file("/etc/rc.conf.d/samba", "# kept\nsamba_enable=\"YES\"\nsamba_flags=\"-D\"\n");
  run_result r = run_cifsctl({"--stop"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", log_text());
  EXPECT_EQ("# kept\nsamba_enable=\"NO\"\nsamba_flags=\"-D\"\n", enabled());
}

TEST_F(SambaService, StopWhenRunning) {
  start_foreground_samba();
  run_result r = run_cifsctl({"-o"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(SIGKILL, ending_signal(smbd));
  EXPECT_EQ(SIGKILL, ending_signal(nmbd));
  EXPECT_EQ("stop\n", log_text());
  EXPECT_EQ("samba_enable=\"NO\"\n", enabled());
}

TEST_F(SambaService, AFailingStartBecomesTheExitStatus) {
  write_script(rc_dir + "/samba", "echo \"$1\" >> /tmp/rc.log\n[ \"$1\" != start ]\n");
  run_result r = run_cifsctl({"--restart"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("cifsctl: Service " + rc_dir + "/samba failed to start\n", r.err);
  EXPECT_EQ("stop\nstart\n", log_text());
  EXPECT_EQ("samba_enable=\"YES\"\n", enabled());
}

TEST_F(SambaService, NoRestartDaemonLeavesSambaAlone) {
  write_file("/etc/tav/tav.conf", product_conf_text() + "NO_RESTART_DAEMON 1\n");
  start_foreground_samba();
  run_result r = run_cifsctl({"--restart"});
  EXPECT_EQ(0, r.status);
  r = run_cifsctl({"--stop"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", log_text());
  EXPECT_TRUE(still_running(smbd));
  EXPECT_TRUE(still_running(nmbd));
  // rcswitch is the front end's own business and still runs.
  EXPECT_EQ("samba_enable=\"NO\"\n", enabled());
}

// The whole road: start, status, a share added (configuration regenerated,
// Samba restarted), the same without restart, stop, status.
TEST_F(SambaService, StartStatusAddShareStopStatus) {
  start_mariadb();
  db_sql(
      "INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, "
      "valid_users) VALUES (1, 'docs', 'Documents', '/opt/docs', 'true', 'true', 'any');");
  make_dirs("/opt/docs");

  EXPECT_EQ(0, run_cifsctl({"--start"}).status);
  ASSERT_TRUE(eventually(accepts_on_445));
  EXPECT_EQ("is running\n", run_cifsctl({"--status"}).out);

  run_result r = run_cifsctl({"--add-share", "--share-name=docs", "--path=/opt/docs"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, read_file("/usr/local/etc/smb.conf.include").find("[docs]"));
  EXPECT_EQ("stop\nstart\nrestart\nstop\nstart\n", log_text());
  ASSERT_TRUE(eventually(accepts_on_445));
  run_result list = run_program({"/usr/bin/smbclient", "-N", "-L", "//127.0.0.1"});
  EXPECT_NE(std::string::npos, list.out.find("docs")) << list.out << list.err;

  unlink(rc_log.c_str());
  unlink("/usr/local/etc/smb.conf.include");
  r = run_cifsctl({"--add-share", "--share-name=docs", "--path=/opt/docs", "-w"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(file_exists("/usr/local/etc/smb.conf.include"));
  EXPECT_EQ("", log_text());

  r = run_cifsctl({"--stop"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("stop\n", log_text());
  EXPECT_EQ("samba_enable=\"NO\"\n", enabled());
  // Killed daemons linger as zombies until the sandbox's first process reaps
  // them; the process list shows them until then.
  ASSERT_TRUE(eventually([] { return find_process("smbd") != 0 && find_process("nmbd") != 0; }));
  EXPECT_EQ("is stopped\n", run_cifsctl({"--status"}).out);
}

}  // namespace
