// compctl --set-dirty-flag
//
// Records that the panel's package records (table Components) no longer
// match what is installed and must be renewed. The record is the file
// <product root>/var/components.dirty: while it exists the records are
// stale. Its one line holds the time of the latest request, as seconds since
// the epoch and as UTC, for example
//   1700000000 2023-11-14T22:13:20Z
// It is replaced atomically and durably (temporary file beside it, fsync,
// rename, fsync of the directory), mode 0644. Whoever renews the records
// removes the file afterwards.
//
// Exit status: 0 done, 1 the flag could not be recorded (or the product
// configuration is unusable), 2 usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"
#include "runtime/product_conf.h"

namespace {

constexpr int status_failure = 1;
constexpr int status_usage = 2;

constexpr const char usage_text[] =
    "Usage: compctl --set-dirty-flag\n"
    "  Records that the panel's package records must be renewed: writes the\n"
    "  time of the request (\"<seconds since the epoch> <UTC time>\") to\n"
    "  <product root>/var/components.dirty, which stays until the records\n"
    "  have been renewed.";

bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      return false;
  }
  return true;
}

// "<seconds> <YYYY-MM-DDTHH:MM:SSZ>\n" for now.
std::string timestamp_line() {
  time_t now = std::time(nullptr);
  struct tm utc;
  char iso[32] = "";
  if (gmtime_r(&now, &utc))
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::to_string(static_cast<long long>(now)) + " " + iso + "\n";
}

int set_dirty_flag() {
  load_product_conf();
  std::string var_dir = std::string(product_conf.product_root_d) + "/var";
  if (mkdir(var_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    report_msg(0, "Unable to create directory %s: %s", var_dir.c_str(), std::strerror(errno));
    return status_failure;
  }
  std::string path = std::string(product_conf.product_root_d) + paths::components_dirty_suffix;
  std::string tmp = path + ".XXXXXX";
  unique_fd fd(mkstemp(tmp.data()));
  if (!fd) {
    report_msg(0, "Unable to create a temporary file beside %s: %s", path.c_str(),
               std::strerror(errno));
    return status_failure;
  }
  bool ok = write_all(fd.get(), timestamp_line()) && fchmod(fd.get(), 0644) == 0 &&
            fsync(fd.get()) == 0;
  if (ok)
    ok = close(fd.release()) == 0;
  if (ok)
    ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    report_msg(0, "Unable to write %s: %s", path.c_str(), std::strerror(errno));
    unlink(tmp.c_str());
    return status_failure;
  }
  // The rename is durable only once the directory is on disk too.
  unique_fd dir_fd(open(var_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd || fsync(dir_fd.get()) != 0) {
    report_msg(0, "Unable to sync directory %s: %s", var_dir.c_str(), std::strerror(errno));
    return status_failure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  program_path = argv[0];
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts(usage_text);
    return 0;
  }
  errno = 0;
  if (argc != 2)
    report_msg(status_usage, "Expected one option, got %d arguments\n%s", argc - 1, usage_text);
  if (std::strcmp(argv[1], "--set-dirty-flag") != 0)
    report_msg(status_usage, "Unknown option '%s'\n%s", argv[1], usage_text);
  exit_program(set_dirty_flag());
}
