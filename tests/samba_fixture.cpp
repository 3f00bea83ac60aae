#include "tests/samba_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

#include "runtime/owners.h"
#include "tests/harness.h"

namespace {

const std::string state_dir = samba_test_dir;

std::string smb_conf_text() {
  return "[global]\n"
         "   workgroup = WORKGROUP\n"
         "   server role = standalone server\n"
         "   security = user\n"
         "   passdb backend = tdbsam\n"
         "   private dir = " + state_dir + "/private\n"
         "   state directory = " + state_dir + "/state\n"
         "   lock directory = " + state_dir + "/lock\n"
         "   cache directory = " + state_dir + "/cache\n"
         "   pid directory = " + state_dir + "/pid\n"
         "   ncalrpc dir = " + state_dir + "/ncalrpc\n"
         "   log file = " + state_dir + "/log/log.%m\n"
         "   logging = file\n"
         "   interfaces = lo\n"
         "   bind interfaces only = yes\n"
         "   disable netbios = yes\n"
         "   smb ports = 445\n"
         "   map to guest = bad user\n"
         "include = /usr/local/etc/smb.conf.include\n";
}

void write_exec_wrapper(const std::string& path, const std::string& target,
                        const std::string& config_option) {
  // exec, so that the tool runs under its own name and its exit status and
  // signals are the caller's to see.
  write_file(path, "#!/bin/sh\nexec " + target + " " + config_option +
                       " /usr/local/etc/smb.conf \"$@\"\n",
             0755);
}

void make_link(const std::string& target, const std::string& link) {
  unlink(link.c_str());
  make_dirs(link.substr(0, link.rfind('/')));
  if (symlink(target.c_str(), link.c_str()) != 0)
    ADD_FAILURE() << "symlink " << link << " -> " << target << " failed";
}

// The processes of the sandboxed Samba: smbd and its helpers (all run the
// smbd binary), nmbd, and the RPC daemons that smbd starts on demand.
std::vector<pid_t> samba_pids() {
  std::vector<pid_t> pids;
  unique_dir dir(opendir("/proc"));
  if (!dir)
    return pids;
  while (dirent* e = readdir(dir.get())) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
      continue;
    std::string proc = std::string("/proc/") + e->d_name;
    char exe[4096];
    ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0)
      continue;  // gone, a kernel thread or a zombie
    std::string path(exe, static_cast<size_t>(n));
    if (path == "/usr/sbin/smbd" || path == "/usr/sbin/nmbd" ||
        path.rfind("/usr/libexec/samba/", 0) == 0)
      pids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
  }
  return pids;
}

// True while any process named smbd or nmbd is left, in whatever state: one
// that is still exiting (its executable link already gone) or a dead one
// waiting to be reaped by the sandbox's first process ("[smbd] <defunct>")
// counts as running for a lookup by name.
bool samba_names_left() {
  unique_dir dir(opendir("/proc"));
  if (!dir)
    return false;
  while (dirent* e = readdir(dir.get())) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
      continue;
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    if (stat.find("(smbd) ") != std::string::npos || stat.find("(nmbd) ") != std::string::npos)
      return true;
  }
  return false;
}


// Polls condition every 10 ms for at most limit; true once it holds.
template <typename Condition>
bool wait_for(Condition condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

const char samba_rc_script_body[] = R"(piddir=/var/lib/samba-test/pid
# A zombie is gone for our purpose: it waits only for its parent.
alive() { [ -r /proc/$1/stat ] && ! grep -q ') Z ' /proc/$1/stat; }
stop_daemon() {
  f=$piddir/$1.pid
  [ -s $f ] || return 0
  pid=$(cat $f)
  kill $pid 2>/dev/null
  i=0
  while alive $pid && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  rm -f $f
}
case "$1" in
start) /usr/local/sbin/smbd -D && /usr/local/sbin/nmbd -D ;;
stop) stop_daemon smbd; stop_daemon nmbd ;;
restart) "$0" stop && "$0" start ;;
status) [ -s $piddir/smbd.pid ] && alive $(cat $piddir/smbd.pid) ;;
*) exit 3 ;;
esac
)";

bool accepts_on_445() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(445);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

void setup_samba() {
  for (const char* sub : {"private", "state", "lock", "cache", "pid", "log", "ncalrpc"})
    make_dirs(state_dir + "/" + sub);
  chmod((state_dir + "/private").c_str(), 0700);
  write_file("/usr/local/etc/smb.conf", smb_conf_text());
  make_link("/usr/local/etc/smb.conf", "/etc/samba/smb.conf");
  write_exec_wrapper("/usr/local/bin/smbpasswd", "/usr/bin/smbpasswd", "-c");
  write_exec_wrapper("/usr/local/bin/smbstatus", "/usr/bin/smbstatus", "-s");
  // testparm reads the configuration named on its command line.
  make_link("/usr/bin/testparm", "/usr/local/bin/testparm");
  make_link("/usr/sbin/smbd", "/usr/local/sbin/smbd");
  make_link("/usr/sbin/nmbd", "/usr/local/sbin/nmbd");
}

void add_system_user(const std::string& name) {
  run_result r = run_program({"/usr/sbin/useradd", "-M", name});
  if (r.status != 0)
    ADD_FAILURE() << "useradd " << name << " failed (" << r.status << "): " << r.err;
}

void start_smbd(bool with_nmbd) {
  const std::string out = state_dir + "/log/start.out";
  int status = 0;
  // The daemons keep no descriptor of ours, so nothing waits on them.
  sh("/usr/local/sbin/smbd -D </dev/null >>" + out + " 2>&1", &status);
  if (status != 0) {
    ADD_FAILURE() << "smbd -D failed (" << status << "): " << read_file(out);
    return;
  }
  if (with_nmbd) {
    sh("/usr/local/sbin/nmbd -D </dev/null >>" + out + " 2>&1", &status);
    if (status != 0)
      ADD_FAILURE() << "nmbd -D failed (" << status << "): " << read_file(out);
  }
  if (!wait_for(accepts_on_445, std::chrono::seconds(10)))
    ADD_FAILURE() << "smbd does not accept on 127.0.0.1:445; log: "
                  << read_file(state_dir + "/log/log.smbd");
}

void stop_smbd() {
  for (int sig : {SIGTERM, SIGKILL}) {
    for (pid_t pid : samba_pids())
      kill(pid, sig);
    if (wait_for([] { return samba_pids().empty(); }, std::chrono::seconds(5))) {
      if (!wait_for([] { return !samba_names_left(); }, std::chrono::seconds(5)))
        ADD_FAILURE() << "exiting Samba processes never go away";
      return;
    }
  }
  ADD_FAILURE() << "Samba processes survive SIGKILL";
}

std::vector<std::vector<std::string>> testparm_sections(const std::string& view) {
  std::vector<std::vector<std::string>> sections;
  std::istringstream in(view);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line[0] == '[')
      sections.push_back({line});
    else if (!sections.empty())
      sections.back().push_back(line);
  }
  return sections;
}

std::string nt_hash(const std::string& password) {
  run_result r = run_program(
      {"/bin/sh", "-c",
       "iconv -f utf-8 -t utf-16le | openssl dgst -md4 -provider legacy -provider default -r"},
      {}, password);
  std::string hex = r.out.substr(0, r.out.find(' '));
  if (r.status != 0 || hex.size() != 32)
    ADD_FAILURE() << "MD4 by openssl failed: " << r.err;
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return hex;
}

std::string pdbedit_nt_hash(const std::string& user) {
  run_result r = run_program({"/usr/bin/pdbedit", "-Lw"});
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cols(line);
    for (std::string f; std::getline(cols, f, ':');)
      fields.push_back(f);
    if (fields.size() > 3 && fields[0] == user)
      return fields[3];
  }
  return "";
}

std::string pdbedit_users() {
  run_result r = run_program({"/usr/bin/pdbedit", "-L"});
  std::vector<std::string> names;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    names.push_back(line.substr(0, line.find(':')));
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& n : names)
    text += n + "\n";
  return text;
}
