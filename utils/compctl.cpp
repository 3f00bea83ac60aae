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
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "runtime/file_str.h"
#include "runtime/message.h"
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
  std::string var_dir = std::string(product_conf.product_root_d) + paths::var_suffix;
  {
    errno_keeper keep;  // a directory already there is no failure
    if (mkdir(var_dir.c_str(), 0755) != 0 && errno != EEXIST) {
      report_msg(0, "Unable to create directory %s: %s", var_dir.c_str(), std::strerror(errno));
      return status_failure;
    }
  }
  std::string path = std::string(product_conf.product_root_d) + paths::components_dirty_suffix;
  std::string tmp_template = path + ".XXXXXX";
  if (file_replace(var_dir.c_str(), path.c_str(), tmp_template.c_str(), timestamp_line().c_str(),
                   nullptr) != 0)
    return status_failure;
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
    report_msg(status_usage, "Unknown option '%s'\n%s", printable_value(argv[1]).c_str(),
               usage_text);
  exit_program(set_dirty_flag());
}
