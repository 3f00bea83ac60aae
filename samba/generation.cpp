#include "samba/generation.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "runtime/db.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"
#include "runtime/staged_file.h"
#include "samba/conf_reader.h"
#include "samba/twin_probe.h"

namespace {

constexpr const char params_table[] = "module_fileserver_params";

// Settings keys in the order they are written, with the Samba parameter
// each one sets.
constexpr const char* const global_settings[][2] = {
    {"workgroup", "workgroup"},
    {"description", "server string"},
    {"encrypt_passwords", "encrypt passwords"},
    {"guest_account", "guest account"},
    {"password_server", "password server"},
    {"security", "security"},
};

constexpr const char hosts_query[] = "select name \t\tfrom module_fileserver_hosts";
constexpr const char shares_query[] =
    "select id, name, description, path, writable, guest_ok, valid_users \t\tfrom "
    "module_fileserver_shares";
constexpr const char users_query[] =
    "select name, sys_name \t\t\tfrom module_fileserver_users u, module_fileserver_valid_users v "
    "\t\t\twhere v.sid='%s' and v.uid=u.id";

[[gnu::format(printf, 3, 4)]] void format_text(char* buf, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, size, format, args);  // cut at size - 1 by design
  va_end(args);
}

bool flag_true(const char* value) {
  return value != nullptr && std::strncmp(value, "true", 4) == 0;
}

// Runs a statement whose failure ends the run, and returns its stored
// result, owned by the caller.
unique_mysql_res query_or_die(MYSQL* conn, const char* sql) {
  if (db_query(conn, sql) != 0)
    fatal("Unable to query: %s\n", mysql_error(conn));
  unique_mysql_res res(db_store_result(conn));
  if (!res)
    fatal("Unable to query: %s\n", mysql_error(conn));
  return res;
}

struct lock_releaser {
  void operator()(locked_file* lock) const { locked_file_release(lock); }
};
using unique_lock_file = std::unique_ptr<locked_file, lock_releaser>;

// A share's row as the generator reads it.
struct share_row {
  const char* id;
  const char* name;
  const char* description;
  const char* path;
  bool writable, guest_ok, any, select;
};

share_row read_share(MYSQL_ROW row) {
  const char* valid_users = row[6];
  return {row[0],
          row[1],
          row[2],
          row[3],
          flag_true(row[4]),
          flag_true(row[5]),
          valid_users != nullptr && std::strcmp(valid_users, "any") == 0,
          valid_users != nullptr && std::strncmp(valid_users, "select", 4) == 0};
}

// Why Samba would not serve the share under its name from its path, or ""
// when it would.
std::string name_and_path_fault(const share_row& s) {
  switch (conf_check_share_name(s.name)) {
    case conf_share_name::not_read_back:
      return "Samba would not read its name back as a section of its own";
    case conf_share_name::samba_own:
      return "Samba gives its name a meaning of its own";
    case conf_share_name::unreachable:
      return "smbd would not find it under its name";
    case conf_share_name::ok:
      break;
  }
  // A share without a path is one Samba marks unavailable.
  if (s.path[0] == '\0')
    return "its path is empty";
  if (!conf_value_exact(s.path))
    return "Samba would not read its path back unchanged";
  return "";
}

// Appends " <user>" to list for every linked user with a system account,
// each as Samba's list reader takes back exactly that one account. Returns
// why the list cannot be written, or "". Dropping one user would leave the
// list shorter, or empty, and Samba reads either as open to more users.
std::string valid_user_list(MYSQL_RES* users, std::string& list) {
  while (MYSQL_ROW user = db_fetch_row(users)) {
    const char* sys_name = user[1];
    if (sys_name == nullptr)
      continue;
    const std::string shown = "its valid user '" + printable_value(sys_name) + "'";
    switch (conf_account_kind(sys_name)) {
      case conf_account::group:
        return shown + " would be read by Samba as a group";
      case conf_account::sid:
        return shown + " would be read by Samba as a security identifier";
      case conf_account::macro:
        return shown + " would be read by Samba as another name for each client";
      case conf_account::nobody:
        return shown + " would be read by Samba as nobody";
      case conf_account::user:
        break;
    }
    std::optional<std::string> text = conf_list_text(sys_name);
    if (!text)
      return "Samba would not read " + shown + " back unchanged";
    list += ' ';
    list += *text;
  }
  // An empty "valid users =" admits every account.
  return list.empty() ? "it has no valid user to list" : "";
}

// Writes one share's section, or reports why it is left out.
void write_share(FILE* out, MYSQL* conn, MYSQL_ROW row, twin_registry& written) {
  const share_row s = read_share(row);
  // The id comes from the database; escaping keeps a stray quote in it from
  // changing the statement (a number passes unchanged).
  unique_text sid(db_escape(conn, s.id != nullptr ? s.id : ""));
  char sql[text_size];
  format_text(sql, sizeof sql, users_query, sid.get());
  unique_mysql_res users = query_or_die(conn, sql);

  const bool empty_selection = s.select && mysql_num_rows(users.get()) == 0;
  if ((empty_selection && !s.guest_ok) || s.name == nullptr || s.path == nullptr)
    return;

  const std::string shown = printable_value(s.name);
  const std::string id_text = s.id != nullptr ? printable_value(s.id) : "NULL";
  auto refuse = [&](const std::string& why) {
    report_notice("Share '%s' (id %s) is left out of %s: %s\n", shown.c_str(), id_text.c_str(),
                  paths::smb_conf_include, why.c_str());
  };
  if (std::string fault = name_and_path_fault(s); !fault.empty())
    return refuse(fault);
  if (std::optional<twin_share> twin = twin_of(written, s.name))
    return refuse((twin->unconfirmed ? "testparm could not tell whether Samba would merge it into "
                                       "the earlier share '"
                                     : "Samba would merge it into the earlier share '") +
                  twin->shown + "' (id " + twin->id + ")");
  const bool list_users = !s.any && !empty_selection;
  std::string user_list;
  if (list_users) {
    if (std::string fault = valid_user_list(users.get(), user_list); !fault.empty())
      return refuse(fault);
  }
  twin_add(written, {s.name, shown, id_text});

  std::fprintf(out, "[%s]\n\tpath = %s\n\twritable = %s\n\tguest ok = %s\n", s.name, s.path,
               s.writable ? "yes" : "no", s.guest_ok ? "yes" : "no");
  if (empty_selection)
    std::fputs("\tguest only = yes\n", out);
  // A description Samba would read otherwise is left out; the share stays.
  if (s.description != nullptr && conf_value_exact(s.description))
    std::fprintf(out, "\tcomment = %s\n", s.description);
  else if (s.description != nullptr)
    report_notice("The description of share '%s' (id %s) is left out of %s: Samba would not read "
                  "it back unchanged\n",
                  shown.c_str(), id_text.c_str(), paths::smb_conf_include);
  if (list_users)
    std::fprintf(out, "\tvalid users =%s\n", user_list.c_str());
  std::fputs("\n", out);
}

// One section per share row, in the order the server returns them.
void write_shares(FILE* out, MYSQL* conn) {
  unique_mysql_res shares = query_or_die(conn, shares_query);
  twin_registry written;
  while (MYSQL_ROW row = db_fetch_row(shares.get()))
    write_share(out, conn, row, written);
}

// Statements run without their result looked at: a server or engine that
// cannot give a snapshot leaves the reads as separate statements, each
// seeing what was committed by then.
constexpr const char snapshot_isolation[] = "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ";
constexpr const char snapshot_start[] = "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY";
constexpr const char snapshot_end[] = "COMMIT";

void run_quietly(MYSQL* conn, const char* sql) {
  errno_keeper keep;
  if (db_query(conn, sql) == 0) {
    // None of them has rows; a result is freed all the same.
    unique_mysql_res res(db_store_result(conn));
  }
}

// One committed state for every read of the run: the settings, the hosts,
// the shares and each share's users. Without it a file can list a share
// with the users of the next state. Repeatable read is the isolation level
// under which a consistent snapshot holds for the whole transaction, and
// the next transaction only is given it, whatever the server's default.
void begin_snapshot(MYSQL* conn) {
  run_quietly(conn, snapshot_isolation);
  run_quietly(conn, snapshot_start);
}

// Gives the complete temporary file its final owner and mode, pushes it to
// disk and renames it over path, ending the run on any failure: a write
// error remembered by the stream, the flush, the sync, the close or the
// rename. The owner and mode go first: a crash between the rename and
// set_owner_mode must not leave the file root's with 0600 (set_owner_mode
// still reports their failures).
void install_synced(staged_file& out, const char* tmp_path, const char* path, uid_t uid,
                    gid_t gid, mode_t mode) {
  staged_owner_mode(out, uid, gid, mode);
  if (staged_close(out) != 0)
    fatal("Unable to close file %s: %s\n", tmp_path, std::strerror(errno));
  if (staged_rename(out, path) != 0)
    fatal("Error while rename file %s to %s: %s\n", tmp_path, path, std::strerror(errno));
}

// Makes the entries of path's directory durable, so that after a crash the
// include file is the old one or the new one, never a missing or empty one.
void sync_directory_of(const char* path) {
  std::string dir = directory_of(path);
  if (sync_directory(dir.c_str()) != 0)
    fatal("Unable to sync directory %s: %s\n", dir.c_str(), std::strerror(errno));
}

void report_setting(const char* key, const char* why) {
  report_notice("Setting %s is left out of %s: %s\n", key, paths::smb_conf_include, why);
}

// True when the system resolves one of the names smbd looks account up by.
bool account_known(const char* account) {
  // A name the system does not know leaves errno set by some lookups; it
  // must not show in a later report as a system error.
  errno_keeper keep;
  for (const std::string& name : conf_account_spellings(account))
    if (getpwnam(name.c_str()) != nullptr)
      return true;
  return false;
}

// Why Samba would not take value for parameter as stored, or "": it must
// read the line back unchanged, its loader must accept the value (a value it
// refuses makes it load no share at all), and an account it names must be
// one smbd can resolve (smbd does not start otherwise).
std::string setting_fault(const char* parameter, const char* value) {
  if (!conf_value_exact(value))
    return "Samba would not read its value back unchanged";
  const conf_param* param = conf_find_param(parameter);
  if (param == nullptr)
    return "";
  if (std::string refusal = conf_value_refusal(*param, value); !refusal.empty())
    return refusal;
  if (param->names_account && !account_known(value))
    return "smbd would not start: no system account answers to its value";
  return "";
}

// The settings' lines; each value Samba would not take as stored is left
// out with a report, so that Samba uses its own default for it.
void write_settings(FILE* out, MYSQL* conn) {
  for (const auto& setting : global_settings) {
    const char* value = db_select_value(setting[0], params_table, "param", "val", conn);
    if (value == nullptr || value[0] == '\0')
      continue;
    if (std::string fault = setting_fault(setting[1], value); !fault.empty()) {
      report_setting(setting[0], fault.c_str());
      continue;
    }
    std::fprintf(out, "\t%s = %s\n", setting[1], value);
  }

  const char* interfaces = db_select_value("interfaces", params_table, "param", "val", conn);
  if (interfaces != nullptr && interfaces[0] != '\0') {
    if (std::string fault = setting_fault("interfaces", (std::string("lo ") + interfaces).c_str());
        !fault.empty()) {
      report_setting("interfaces", fault.c_str());
      interfaces = nullptr;
    }
  }
  if (interfaces != nullptr && interfaces[0] != '\0')
    std::fprintf(out, "\tinterfaces = lo %s\n", interfaces);
  else
    std::fputs("\tinterfaces = lo\n", out);
}

// Why a hosts row cannot stand in Samba's list as written, or null. A row
// is written unchanged, in Samba's own list syntax (several names, networks,
// EXCEPT, ALL, LOCAL), when Samba reads back exactly its items.
const char* host_fault(const char* host) {
  if (host == nullptr)
    return "it is NULL";
  // An empty or blank entry names no host.
  if (conf_list_items(host).empty())
    return "it is blank";
  // Samba drops the quotes of a list item, so a quote never reads back.
  if (std::strchr(host, '"') != nullptr)
    return "Samba would not read it back unchanged";
  std::optional<std::string> read = conf_read_value(host);
  if (!read || conf_list_items(*read) != conf_list_items(host))
    return "Samba would not read it back unchanged";
  return nullptr;
}

// The hosts rows, unchanged and joined by ", "; returns how many were
// written and counts in *refused those left out (a list of only such rows
// must not be written empty).
int write_hosts(FILE* out, MYSQL* conn, int* refused) {
  unique_mysql_res hosts = query_or_die(conn, hosts_query);
  int written = 0;
  while (MYSQL_ROW row = db_fetch_row(hosts.get())) {
    const char* host = row[0];
    if (const char* fault = host_fault(host)) {
      ++*refused;
      const std::string shown = host != nullptr ? "'" + printable_value(host) + "'" : "NULL";
      report_notice("Host %s is left out of %s: %s\n", shown.c_str(), paths::smb_conf_include,
                    fault);
      continue;
    }
    std::fprintf(out, written == 0 ? "%s" : ", %s", host);
    ++written;
  }
  return written;
}

}  // namespace

int write_global_section(FILE* out, MYSQL* conn) {
  std::fputs("[global]\n", out);
  std::fprintf(out, "\tusername map = %s\n", paths::smbusers);
  write_settings(out, conn);
  std::fputs("\tallow hosts = ", out);
  int refused = 0;
  const int written = write_hosts(out, conn, &refused);
  std::fputs("\n\n\n", out);
  // Samba reads an empty list as "every host": fail rather than open up.
  return written == 0 && refused > 0 ? 1 : 0;
}

int reconfigure_all() {
  unique_mysql conn(db_open());
  if (!conn)
    fatal("Unable to connect to the mysql database\n");

  // Runs at the same time share one temporary file: the lock makes each
  // one's write, rename and owner change a single step, so every run
  // installs a whole file of its own. Taken before the stat so that the
  // owner and mode read are those this run replaces. The lock is the
  // panel's, not Samba's: a lock that cannot be had (its directory missing
  // on a damaged install) leaves the run as it is without one, a run that
  // succeeds on its own, rather than failing a request.
  unique_lock_file lock;
  {
    errno_keeper keep;
    lock.reset(locked_file_lock(paths::smb_conf_include, 1));
  }

  struct stat st {};
  bool is_new = false;
  {
    errno_keeper keep;  // a missing include file is a new one, not a failure
    if (stat(paths::smb_conf_include, &st) != 0) {
      if (errno != ENOENT)
        fatal("Unable to stat file %s: %s\n", paths::smb_conf_include, std::strerror(errno));
      is_new = true;
    }
  }

  // Private (0600) until it is complete and given its final mode.
  staged_file out;
  if (staged_create(out, paths::smb_conf_include_tmp) != 0)
    fatal("Unable to open file %s for writing: %s\n", paths::smb_conf_include_tmp,
          std::strerror(errno));

  begin_snapshot(conn.get());
  if (write_global_section(out.get(), conn.get()) != 0)
    fatal("Unable to print [global] section to %s", paths::smb_conf);

  write_shares(out.get(), conn.get());
  run_quietly(conn.get(), snapshot_end);
  conn.reset();

  uid_t uid = is_new ? 0 : st.st_uid;
  gid_t gid = is_new ? 0 : st.st_gid;
  mode_t mode = is_new ? 0644 : (st.st_mode & 07777);
  install_synced(out, paths::smb_conf_include_tmp, paths::smb_conf_include, uid, gid, mode);
  if (set_owner_mode(paths::smb_conf_include, uid, gid, mode) != 0)
    fatal("Unable to set permissions on file %s", paths::smb_conf_include);

  unique_file map(std::fopen(paths::smbusers, "a"));
  if (!map)
    fatal("Unable to open file %s for writing: %s\n", paths::smbusers, std::strerror(errno));
  if (std::fclose(map.release()) != 0)
    fatal("Unable to close file %s: %s\n", paths::smbusers, std::strerror(errno));

  // One sync covers the rename and a newly created username map: both live
  // in the same directory.
  sync_directory_of(paths::smb_conf_include);
  return 0;
}
