#include "tests/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> merged_env(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    env.emplace_back(*e);
  for (const std::string& c : changes) {
    std::string name = c.substr(0, c.find('='));
    std::erase_if(env, [&](const std::string& e) {
      return e.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (c.find('=') != std::string::npos)
      env.push_back(c);
  }
  return env;
}

std::vector<char*> c_vector(std::vector<std::string>& texts) {
  std::vector<char*> v;
  for (std::string& t : texts)
    v.push_back(t.data());
  v.push_back(nullptr);
  return v;
}

}  // namespace

namespace {

// Reads out_fd and err_fd to end of file while feeding input to in_fd
// (closed when done; -1 for none), then reaps pid.
run_result collect(pid_t pid, int out_fd, int err_fd, int in_fd, const std::string& input) {
  signal(SIGPIPE, SIG_IGN);
  run_result r{};
  size_t written = 0;
  if (in_fd >= 0 && input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents)
        continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0)
        written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0)
    close(fds[2].fd);
  int status = wait_program(pid);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace

namespace {

// Forks; the child gets the pipes on 0 (when input is given), 1 and 2 and
// runs child, which must not return. The parent feeds input, collects both
// streams and reaps the child.
run_result fork_captured(const std::string* input, const std::function<void()>& child) {
  int in[2] = {-1, -1}, out[2], err[2];
  if ((input && pipe2(in, O_CLOEXEC)) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (input)
      dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd > 2)
        close(fd);
    child();
  }
  if (input)
    close(in[0]);
  close(out[1]);
  close(err[1]);
  return collect(pid, out[0], err[0], in[1], input ? *input : "");
}

}  // namespace

run_result run_program(const std::vector<std::string>& argv_in,
                       const std::vector<std::string>& env_changes, const std::string& input) {
  std::vector<std::string> args = argv_in;
  std::vector<std::string> env = merged_env(env_changes);
  std::vector<char*> cargv = c_vector(args);
  std::vector<char*> cenv = c_vector(env);
  return fork_captured(&input, [&] {
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  });
}

run_result run_in_child(const std::function<void()>& body) {
  return fork_captured(nullptr, [&] {
    errno = 0;
    body();
    fflush(nullptr);
    _exit(0);
  });
}

pid_t start_program(const std::string& path, const std::vector<std::string>& argv_in,
                    std::array<int, 3> streams, bool ignore_term) {
  std::vector<std::string> args = argv_in;
  std::vector<char*> cargv = c_vector(args);
  // The close-on-exec pipe reaches end of file when exec has closed it, or
  // when the child has ended.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0)
    return -1;
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    for (int target = 0; target < 3; ++target) {
      int from = streams[target] == null_stream ? null_fd : streams[target];
      if (from >= 0 && from != target)
        dup2(from, target);
    }
    if (ignore_term)
      signal(SIGTERM, SIG_IGN);
    execv(path.c_str(), cargv.data());
    _exit(127);
  }
  close(ready[1]);
  close(null_fd);
  char c;
  while (pid > 0 && read(ready[0], &c, 1) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  return pid;
}

int wait_program(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

run_result run_cifsctl(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const std::string& input) {
  std::vector<std::string> argv{CIFSCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, env, input);
}

std::string without_vanished_pids(const std::string& err) {
  static const std::regex vanished("/bin/kill: \\([0-9]+\\): No such process\n");
  return std::regex_replace(err, vanished, "");
}

int open_fds() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir))
      ++count;
    closedir(dir);
  }
  return count;
}

std::string last_line(const std::string& text) {
  size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n')
    --end;
  size_t start = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end - start);
}

std::string sh(const std::string& command, int* status) {
  run_result r = run_program({"/bin/sh", "-c", command});
  if (status)
    *status = r.status;
  return r.out;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path, mode_t mode) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    mkdir(path.substr(0, pos).c_str(), mode);
  }
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  make_dirs(path.substr(0, path.rfind('/')));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  chmod(path.c_str(), mode);
}

std::string product_conf_text(const std::string& root) {
  return "PRODUCT_ROOT_D " + root + "\n"
         "HTTPD_VHOSTS_D " + root + "/vhosts\n"
         "HTTPD_CONF_D /usr/local/etc/apache\n"
         "HTTPD_INCLUDE_D /usr/local/etc/apache/include\n"
         "HTTPD_BIN_D /usr/local/sbin\n"
         "HTTPD_LOG_D /var/log/httpd\n"
         "QMAIL_ROOT_D /var/qmail\n"
         "QMAIL_MAILNAMES_D /var/qmail/mailnames\n"
         "FTPD_CONF /usr/local/etc/proftpd.conf\n"
         "FTPD_CONF_INC /usr/local/etc/proftpd.include\n"
         "FTPD_BIN_D /usr/local/sbin\n"
         "NAMED_RUN_ROOT_D /var/named\n"
         "WEB_STAT /usr/local/bin/webalizer\n"
         "LOGROTATE /usr/local/sbin/logrotate\n"
         "MYSQL_VAR_D /var/db/mysql\n"
         "MYSQL_BIN_D /usr/local/bin\n"
         "PGSQL_BIN_D /usr/local/bin\n"
         "PGSQL_DATA_D /usr/local/pgsql/data\n"
         "MAILMAN_ROOT_D /usr/local/mailman\n"
         "MAILMAN_VAR_D /usr/local/mailman\n"
         "PRODUCT_RC_D " + root + "/rc.d\n"
         "DUMP_D " + root + "/backup\n"
         "CATALINA_HOME /usr/local/tomcat\n"
         "DRWEB_ROOT_D /usr/local/drweb\n"
         "DRWEB_ETC_D /usr/local/etc/drweb\n"
         "CURL_CA_BUNDLE_FILE /usr/local/share/certs/ca-root-nss.crt\n"
         "AWSTATS_ETC_D /usr/local/etc/awstats\n"
         "AWSTATS_BIN_D /usr/local/www/awstats/cgi-bin\n"
         "AWSTATS_TOOLS_D /usr/local/www/awstats/tools\n";
}

void write_product_conf(const std::string& root) {
  write_file("/etc/tav/tav.conf", product_conf_text(root));
  make_dirs(root + "/admin/bin");
  make_dirs(root + "/var/lock/files");
  make_dirs(root + "/rc.d");
}

std::string golden(const std::string& name) {
  std::string path = std::string(TESTS_DIR) + "/golden/" + name;
  if (!file_exists(path))
    throw std::runtime_error("missing golden file " + path);
  return read_file(path);
}

std::string text_diff(const std::string& expected, const std::string& actual) {
  char dir[] = "/tmp/diffXXXXXX";
  if (!mkdtemp(dir))
    return "(no diff: mkdtemp failed)";
  std::string a = std::string(dir) + "/expected", b = std::string(dir) + "/actual";
  write_file(a, expected);
  write_file(b, actual);
  run_result r = run_program({"/usr/bin/diff", "-u", a, b});
  unlink(a.c_str());
  unlink(b.c_str());
  rmdir(dir);
  return r.out;
}
