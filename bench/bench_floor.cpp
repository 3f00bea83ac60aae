// The floor for --reconfigure-all: the least a program can do to produce the
// same include file. It sends the same statements over the same kind of
// connection with the MySQL C API, writes the same bytes to the temporary
// file, pushes them to disk, renames the file over the include file, gives it
// its owner and mode and makes sure the username map exists, exactly as
// durable as cifsctl, and nothing else: no product configuration, no
// screening of values, no reports.
//
//   bench_floor [--snapshot]
//
// With --snapshot it reads in one consistent, read-only snapshot, with the
// statements cifsctl sends for it, so that their cost stands alone.
// It reads the same password file and connects as the same user. Exit
// status 0 on success, 1 on any failure (with a line on standard error).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/paths.h"

namespace {

[[noreturn]] void die(const char* what, MYSQL* conn) {
  std::fprintf(stderr, "bench_floor: %s: %s\n", what, conn ? mysql_error(conn) : std::strerror(errno));
  std::exit(1);
}

MYSQL_RES* query(MYSQL* conn, const char* sql) {
  if (mysql_real_query(conn, sql, std::strlen(sql)) != 0)
    die(sql, conn);
  MYSQL_RES* res = mysql_store_result(conn);
  if (!res)
    die(sql, conn);
  return res;
}

// The first column of the first row, or "" (copied into buf).
const char* value(MYSQL* conn, const char* sql, int column, char* buf, size_t size) {
  MYSQL_RES* res = query(conn, sql);
  MYSQL_ROW row = mysql_fetch_row(res);
  std::snprintf(buf, size, "%s", row && row[column] ? row[column] : "");
  mysql_free_result(res);
  return buf;
}

const char* param(MYSQL* conn, const char* key, char* buf, size_t size) {
  char sql[4096];
  std::snprintf(sql, sizeof sql, "select %s from %s where %s='%s'", "val",
                "module_fileserver_params", "param", key);
  return value(conn, sql, 0, buf, size);
}

}  // namespace

int main(int argc, char** argv) {
  const bool snapshot = argc > 1 && std::strcmp(argv[1], "--snapshot") == 0;
  char password[4096] = "";
  int pfd = open(paths::db_password_file, O_RDONLY);
  ssize_t n = pfd >= 0 ? read(pfd, password, sizeof password - 1) : -1;
  if (n < 0)
    die("password file", nullptr);
  password[n] = '\0';
  if (n > 0 && password[n - 1] == '\n')
    password[n - 1] = '\0';
  close(pfd);

  MYSQL* conn = mysql_init(nullptr);
  if (!mysql_real_connect(conn, "localhost", "admin", password, "tav", 0, nullptr, 0))
    die("connect", conn);
  // The statements that cifsctl's connection set-up sends.
  char buf[4096];
  mysql_query(conn, "set foreign_key_checks=0");
  value(conn, "SHOW VARIABLES LIKE 'version'", 1, buf, sizeof buf);
  value(conn, "select val from misc where param='mysql41_compatible'", 0, buf, sizeof buf);
  mysql_query(conn, buf[0] && std::strcmp(buf, "false") != 0 ? "SET NAMES utf8" : "SET NAMES binary");

  struct stat st;
  bool is_new = stat(paths::smb_conf_include, &st) != 0;
  FILE* out = std::fopen(paths::smb_conf_include_tmp, "w");
  if (!out)
    die(paths::smb_conf_include_tmp, nullptr);

  if (snapshot) {
    mysql_query(conn, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
    mysql_query(conn, "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY");
  }
  std::fprintf(out, "[global]\n\tusername map = %s\n", paths::smbusers);
  static const char* const keys[][2] = {
      {"workgroup", "workgroup"},     {"description", "server string"},
      {"encrypt_passwords", "encrypt passwords"}, {"guest_account", "guest account"},
      {"password_server", "password server"},     {"security", "security"},
  };
  for (const auto& k : keys)
    if (*param(conn, k[0], buf, sizeof buf))
      std::fprintf(out, "\t%s = %s\n", k[1], buf);
  if (*param(conn, "interfaces", buf, sizeof buf))
    std::fprintf(out, "\tinterfaces = lo %s\n", buf);
  else
    std::fputs("\tinterfaces = lo\n", out);
  std::fputs("\tallow hosts = ", out);
  MYSQL_RES* hosts = query(conn, "select name \t\tfrom module_fileserver_hosts");
  bool first = true;
  while (MYSQL_ROW row = mysql_fetch_row(hosts)) {
    std::fprintf(out, first ? "%s" : ", %s", row[0] ? row[0] : "");
    first = false;
  }
  mysql_free_result(hosts);
  std::fputs("\n\n\n", out);

  MYSQL_RES* shares = query(conn,
                            "select id, name, description, path, writable, guest_ok, valid_users "
                            "\t\tfrom module_fileserver_shares");
  while (MYSQL_ROW row = mysql_fetch_row(shares)) {
    char sql[4096];
    std::snprintf(sql, sizeof sql,
                  "select name, sys_name \t\t\tfrom module_fileserver_users u, "
                  "module_fileserver_valid_users v \t\t\twhere v.sid='%s' and v.uid=u.id",
                  row[0]);
    MYSQL_RES* users = query(conn, sql);
    bool writable = row[4] && std::strncmp(row[4], "true", 4) == 0;
    bool guest = row[5] && std::strncmp(row[5], "true", 4) == 0;
    bool any = row[6] && std::strcmp(row[6], "any") == 0;
    bool empty = row[6] && std::strncmp(row[6], "select", 4) == 0 && mysql_num_rows(users) == 0;
    if ((empty && !guest) || !row[1] || !row[3]) {
      mysql_free_result(users);
      continue;
    }
    std::fprintf(out, "[%s]\n\tpath = %s\n\twritable = %s\n\tguest ok = %s\n", row[1], row[3],
                 writable ? "yes" : "no", guest ? "yes" : "no");
    if (empty)
      std::fputs("\tguest only = yes\n", out);
    if (row[2])
      std::fprintf(out, "\tcomment = %s\n", row[2]);
    if (any || empty) {
      std::fputs("\n", out);
    } else {
      std::fputs("\tvalid users =", out);
      while (MYSQL_ROW user = mysql_fetch_row(users))
        if (user[1])
          std::fprintf(out, " %s", user[1]);
      std::fputs("\n\n", out);
    }
    mysql_free_result(users);
  }
  mysql_free_result(shares);
  if (snapshot)
    mysql_query(conn, "COMMIT");
  mysql_close(conn);

  if (std::fflush(out) != 0 || fsync(fileno(out)) != 0 || std::fclose(out) != 0)
    die(paths::smb_conf_include_tmp, nullptr);
  if (rename(paths::smb_conf_include_tmp, paths::smb_conf_include) != 0)
    die(paths::smb_conf_include, nullptr);
  if (chown(paths::smb_conf_include, is_new ? 0 : st.st_uid, is_new ? 0 : st.st_gid) != 0 ||
      chmod(paths::smb_conf_include, is_new ? 0644 : st.st_mode & 07777) != 0)
    die(paths::smb_conf_include, nullptr);
  std::string dir_path(paths::smb_conf_include);
  dir_path.resize(dir_path.rfind('/'));
  int dir = open(dir_path.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  FILE* map = std::fopen(paths::smbusers, "a");
  if (!map || std::fclose(map) != 0)
    die(paths::smbusers, nullptr);
  return 0;
}
