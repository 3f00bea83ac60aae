// rcswitch SERVICE on|off
//
// Records whether SERVICE starts at boot, the way the system's rc reads it:
// the line SERVICE_enable="YES" (on) or SERVICE_enable="NO" (off) in
// /etc/rc.conf.d/SERVICE, a '-' in the name becoming '_' in the variable
// (rc sources the file, so the variable must be a shell name). Every other
// line of the file is kept; an earlier setting of the variable is replaced
// in place and repeated settings are dropped. The file is replaced
// atomically (a temporary file beside it, fsync, rename, fsync of the
// directory), keeping its owner and mode (new files: root, 0644).
//
// Exit status: 0 done, 1 the file could not be written, 2 usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

namespace {

constexpr int status_failure = 1;
constexpr int status_usage = 2;
// Leaves room for the temporary name ".SERVICE.XXXXXX" within NAME_MAX.
constexpr size_t name_max = 128;

constexpr const char usage_text[] =
    "Usage: rcswitch SERVICE on|off\n"
    "  Records whether SERVICE starts at boot: SERVICE_enable=\"YES\" or \"NO\"\n"
    "  in /etc/rc.conf.d/SERVICE. SERVICE: letters, digits, '_' and '-',\n"
    "  beginning with a letter or '_'.";

[[noreturn]] void usage_error(const char* what, const char* value) {
  errno = 0;
  report_msg(status_usage, "%s'%s'\n%s", what, printable_value(value).c_str(), usage_text);
  std::exit(status_usage);  // not reached
}

bool valid_service_name(const char* name) {
  size_t len = std::strlen(name);
  if (len == 0 || len > name_max)
    return false;
  char first = name[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || first == '_'))
    return false;
  for (const char* p = name; *p; ++p) {
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok)
      return false;
  }
  return true;
}

// True when line (without its newline) sets variable: blanks, then
// "<variable>=".
bool sets_variable(const std::string& line, const std::string& variable) {
  size_t i = line.find_first_not_of(" \t");
  return i != std::string::npos && line.compare(i, variable.size(), variable) == 0 &&
         line.size() > i + variable.size() && line[i + variable.size()] == '=';
}

// old with the variable's setting replaced (or appended), every line ending
// in a newline.
std::string switched_text(const std::string& old, const std::string& variable,
                          const std::string& setting) {
  std::string text;
  bool placed = false;
  for (size_t pos = 0; pos < old.size();) {
    size_t nl = old.find('\n', pos);
    size_t end = nl == std::string::npos ? old.size() : nl;
    std::string line = old.substr(pos, end - pos);
    pos = end + 1;
    if (sets_variable(line, variable)) {
      if (placed)
        continue;
      line = setting;
      placed = true;
    }
    text += line;
    text += '\n';
  }
  if (!placed)
    text += setting + '\n';
  return text;
}

bool read_all(int fd, std::string& text) {
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
      text.append(buf, static_cast<size_t>(n));
    else if (n == 0)
      return true;
    else if (errno != EINTR)
      return false;
  }
}

int switch_service(const char* service, bool on) {
  const char* dir = paths::rc_conf_d;
  {
    errno_keeper keep;  // a directory already there is no failure
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
      report_msg(0, "Unable to create directory %s: %s", dir, std::strerror(errno));
      return status_failure;
    }
  }
  std::string path = std::string(dir) + "/" + service;
  std::string variable = service;
  for (char& c : variable)
    if (c == '-')
      c = '_';
  variable += "_enable";
  std::string setting = variable + (on ? "=\"YES\"" : "=\"NO\"");

  std::string old_text;
  struct stat st;
  bool existed = false;
  unique_fd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (in) {
    if (fstat(in.get(), &st) != 0) {
      report_msg(0, "Unable to read %s: %s", path.c_str(), std::strerror(errno));
      return status_failure;
    }
    if (!S_ISREG(st.st_mode)) {
      errno = 0;  // refused by this utility's own rule, not by a failed call
      report_msg(0, "Not a regular file: '%s'", path.c_str());
      return status_failure;
    }
    if (!read_all(in.get(), old_text)) {
      report_msg(0, "Unable to read %s: %s", path.c_str(), std::strerror(errno));
      return status_failure;
    }
    existed = true;
  } else if (errno != ENOENT) {
    // A link here is refused: rc would read whatever it points to.
    report_msg(0, "Unable to open %s: %s", path.c_str(), std::strerror(errno));
    return status_failure;
  }

  std::string text = switched_text(old_text, variable, setting);
  if (existed && text == old_text)
    return 0;
  return file_replace(dir, path.c_str(), (std::string(dir) + "/." + service + ".XXXXXX").c_str(),
                      text.c_str(), existed ? &st : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  program_path = argv[0];
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts(usage_text);
    return 0;
  }
  if (argc != 3) {
    errno = 0;
    report_msg(status_usage, "Expected two arguments, got %d\n%s", argc - 1, usage_text);
  }
  if (!valid_service_name(argv[1]))
    usage_error("Invalid service name ", argv[1]);
  bool on = std::strcmp(argv[2], "on") == 0;
  if (!on && std::strcmp(argv[2], "off") != 0)
    usage_error("Expected on or off, not ", argv[2]);
  exit_program(switch_service(argv[1], on));
}
