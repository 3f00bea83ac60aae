#include "samba/reports.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "runtime/db.h"
#include "runtime/exec.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

namespace {

constexpr const char samba_package[] = "samba";
constexpr const char not_installed[] = "not_installed";
constexpr const char package_utility[] = "compctl";

// The version query for package, its name escaped on conn. False when the
// statement would not fit (a cut statement must never be sent).
bool version_query(MYSQL* conn, const char* package, char (&sql)[text_size]) {
  unique_text escaped(db_escape(conn, package));
  int n = std::snprintf(sql, sizeof sql, "SELECT version FROM Components WHERE name = '%s'",
                        escaped.get());
  return n >= 0 && static_cast<size_t>(n) < sizeof sql;
}

}  // namespace

int usage_status() {
  char* out = nullptr;
  int result = fork_execl_getout(&out, paths::smbstatus, paths::smbstatus, nullptr);
  unique_text report(out);
  if (report && report.get()[0] != '\0') {
    std::fputs(report.get(), stdout);
    std::fflush(stdout);
  }
  return result;
}

void get_component_version(const char* package, char* out, size_t size) {
  unique_mysql conn(db_open());
  if (!conn)
    fatal("Unable to connect to the Tavra database");
  char sql[text_size];
  if (!version_query(conn.get(), package, sql))
    fatal("Error during mysql_query: %s", "statement too long");
  if (db_query(conn.get(), sql) != 0)
    fatal("Error during mysql_query: %s", mysql_error(conn.get()));
  unique_mysql_res res(db_store_result(conn.get()));
  if (!res)
    fatal("Error during mysql_store_result: %s", mysql_error(conn.get()));
  my_ulonglong rows = mysql_num_rows(res.get());
  if (rows > 1)
    fatal("Duplicate record in Components table for package %s", package);
  if (rows == 0)
    fatal("Package '%s' is not found in Components table", package);
  MYSQL_ROW row = db_fetch_row(res.get());
  if (!row)
    fatal("Error during mysql_fetch_row: %s", mysql_error(conn.get()));
  if (!row[0])
    fatal("NULL version for package '%s' in database", package);
  if (size > 0)
    std::snprintf(out, size, "%s", row[0]);
}

bool is_package_installed(const char* package) {
  char version[text_size];
  get_component_version(package, version, sizeof version);
  return std::strcmp(version, not_installed) != 0;
}

bool is_package_installed_quiet(const char* package) {
  unique_mysql conn(db_open());
  if (!conn)
    return false;
  char sql[text_size];
  if (!version_query(conn.get(), package, sql) || db_query(conn.get(), sql) != 0)
    return false;
  unique_mysql_res res(db_store_result(conn.get()));
  if (!res || mysql_num_rows(res.get()) != 1)
    return false;
  MYSQL_ROW row = db_fetch_row(res.get());
  return row && row[0] && std::strncmp(row[0], not_installed, sizeof not_installed - 1) != 0;
}

int check_packages() {
  bool present;
  {
    errno_keeper keep;  // a missing daemon is the answer, not a failure
    struct stat st;
    present = stat(paths::smbd, &st) == 0;
  }
  bool recorded = is_package_installed(samba_package);
  if (present != recorded)
    exec_utility(package_utility, "--set-dirty-flag", nullptr);
  std::printf("%d\n", present ? 0 : 1);
  std::fflush(stdout);
  if (!present)
    return 0;

  char line[text_size];
  std::snprintf(line, sizeof line, "include = %s", paths::smb_conf_include);
  // Indented and commented copies go too: exactly one line stays, last.
  // One rewrite, so that a run killed halfway never leaves smb.conf
  // without its include line.
  const char* const lines[] = {line, nullptr};
  if (file_str_replace(paths::smb_conf, lines, FILE_STR_REMOVE_MATCH, FILE_STR_SUFFIX, lines) != 0)
    fatal("Unable to add '%s' record to %s\n", line, paths::smb_conf);
  chmod(paths::smb_conf, 0644);
  return 0;
}
