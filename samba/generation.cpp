#include "samba/generation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "runtime/db.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

namespace {

// Paths and SQL statements live in buffers of this size; longer texts are
// cut at 4095 bytes.
constexpr size_t text_size = 4096;

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

constexpr const char unsafe_value[] = "holds a control character or ends in a backslash";

// Samba drops the blanks at both ends of a value and folds every run of
// blanks inside it into one. Harmless in a comment, but a path read back
// that way names another directory.
bool blanks_kept(const char* value) {
  size_t len = std::strlen(value);
  return len == 0 ||
         (value[0] != ' ' && value[len - 1] != ' ' && std::strstr(value, "  ") == nullptr);
}

[[gnu::format(printf, 3, 4)]] void format_text(char* buf, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, size, format, args);  // cut at size - 1 by design
  va_end(args);
}

bool flag_true(const char* value) {
  return value != nullptr && std::strncmp(value, "true", 4) == 0;
}

bool is_control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

// Runs a statement whose failure ends the run, and returns its stored
// result, owned by the caller.
unique_mysql_res query_or_die(MYSQL* conn, const char* sql) {
  if (mysql_real_query(conn, sql, std::strlen(sql)) != 0)
    fatal("Unable to query: %s\n", mysql_error(conn));
  unique_mysql_res res(mysql_store_result(conn));
  if (!res)
    fatal("Unable to query: %s\n", mysql_error(conn));
  return res;
}

struct lock_releaser {
  void operator()(locked_file* lock) const { locked_file_release(lock); }
};
using unique_lock_file = std::unique_ptr<locked_file, lock_releaser>;

// Writes one share's section, or reports why it is left out. keys holds
// the lookup names of the sections written so far.
void write_share(FILE* out, MYSQL* conn, MYSQL_ROW row, std::unordered_set<std::string>& keys) {
  const char* id = row[0];
  const char* name = row[1];
  const char* description = row[2];
  const char* path = row[3];
  const bool writable = flag_true(row[4]);
  const bool guest_ok = flag_true(row[5]);
  const char* valid_users = row[6];
  const bool any = valid_users != nullptr && std::strcmp(valid_users, "any") == 0;
  const bool select = valid_users != nullptr && std::strncmp(valid_users, "select", 4) == 0;

  // The id comes from the database; escaping keeps a stray quote in it from
  // changing the statement (a number passes unchanged).
  unique_text sid(db_escape(conn, id != nullptr ? id : ""));
  char sql[text_size];
  format_text(sql, sizeof sql, users_query, sid.get());
  unique_mysql_res users = query_or_die(conn, sql);

  const bool empty_selection = select && mysql_num_rows(users.get()) == 0;
  if ((empty_selection && !guest_ok) || name == nullptr || path == nullptr)
    return;

  const std::string shown = printable_value(name);
  const std::string id_text = id != nullptr ? printable_value(id) : "NULL";
  auto refuse = [&](const std::string& why) {
    report_notice("Share '%s' (id %s) is left out of %s: %s\n", shown.c_str(), id_text.c_str(),
                  paths::smb_conf_include, why.c_str());
  };

  if (!conf_value_ok(name))
    return refuse(std::string("its name ") + unsafe_value);
  if (!share_name_ok(name))
    return refuse("Samba would not read its name back as a section of its own");
  if (!conf_value_ok(path))
    return refuse(std::string("its path ") + unsafe_value);
  // A share without a path is one Samba marks unavailable.
  if (path[0] == '\0')
    return refuse("its path is empty");
  if (!blanks_kept(path))
    return refuse(
        "its path begins or ends with a blank or holds two blanks in a row, which Samba folds");
  if (description != nullptr && !conf_value_ok(description))
    return refuse(std::string("its description ") + unsafe_value);
  std::string key = share_name_key(name);
  if (keys.count(key) != 0)
    return refuse("Samba would merge it into an earlier share of the same name");

  const bool list_users = !any && !empty_selection;
  std::string user_list;
  if (list_users) {
    while (MYSQL_ROW user = mysql_fetch_row(users.get())) {
      const char* sys_name = user[1];
      if (sys_name == nullptr)
        continue;
      // Dropping just this user would leave the list shorter, or empty,
      // and Samba reads either as open to more users: the whole share
      // stays out.
      if (!account_name_ok(sys_name))
        return refuse("its valid user '" + printable_value(sys_name) +
                      "' is not a plain account name");
      user_list += ' ';
      user_list += sys_name;
    }
    // An empty "valid users =" admits every account.
    if (user_list.empty())
      return refuse("it has no valid user to list");
  }

  keys.insert(std::move(key));
  std::fprintf(out, "[%s]\n\tpath = %s\n\twritable = %s\n\tguest ok = %s\n", name, path,
               writable ? "yes" : "no", guest_ok ? "yes" : "no");
  if (empty_selection)
    std::fputs("\tguest only = yes\n", out);
  if (description != nullptr)
    std::fprintf(out, "\tcomment = %s\n", description);
  if (!list_users) {
    std::fputs("\n", out);
    return;
  }
  std::fprintf(out, "\tvalid users =%s\n\n", user_list.c_str());
}

// Flushes out to the disk and closes it, ending the run on any failure: a
// write error remembered by the stream, the flush, the sync or the close.
void close_synced(unique_file out, const char* path) {
  if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0 || fsync(fileno(out.get())) != 0) {
    if (errno == 0)
      errno = EIO;
    fatal("Unable to close file %s: %s\n", path, std::strerror(errno));
  }
  if (std::fclose(out.release()) != 0)
    fatal("Unable to close file %s: %s\n", path, std::strerror(errno));
}

// Makes the entries of path's directory durable, so that after a crash the
// include file is the old one or the new one, never a missing or empty one.
void sync_directory_of(const char* path) {
  char dir[text_size];
  format_text(dir, sizeof dir, "%s", path);
  char* slash = std::strrchr(dir, '/');
  if (slash == nullptr)
    format_text(dir, sizeof dir, ".");
  else if (slash == dir)
    slash[1] = '\0';
  else
    *slash = '\0';
  unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || fsync(fd.get()) != 0)
    fatal("Unable to sync directory %s: %s\n", dir, std::strerror(errno));
}

}  // namespace

bool conf_value_ok(const char* value) {
  if (value == nullptr)
    return false;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value);
  unsigned char last = 0;
  for (; *p != '\0'; ++p) {
    if (is_control(*p))
      return false;
    if (*p != ' ')
      last = *p;
  }
  // Samba skips blanks between the backslash and the line end.
  return last != '\\';
}

bool share_name_ok(const char* name) {
  if (!conf_value_ok(name) || name[0] == '\0')
    return false;
  if (std::strpbrk(name, "[]") != nullptr || std::strstr(name, "  ") != nullptr)
    return false;
  // Samba takes any section whose name matches "global" or "globals",
  // ignoring case and every blank, for the global one.
  std::string folded;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == ' ')
      continue;
    char c = *p;
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  // "printers" would turn the share into Samba's printer template.
  return folded != "global" && folded != "globals" && folded != "printers";
}

bool account_name_ok(const char* name) {
  if (name == nullptr || name[0] == '\0')
    return false;
  for (const char* p = name; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-' || c >= 0x80)
      continue;
    // Machine accounts end in '$'.
    if (c == '$' && p[1] == '\0' && p != name)
      continue;
    return false;
  }
  return true;
}

std::string share_name_key(const char* name) {
  std::string key;
  for (const char* p = name; *p != '\0'; ++p) {
    char c = *p;
    key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return key;
}

std::string printable_value(const char* value) {
  std::string shown;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != '\0'; ++p) {
    switch (*p) {
      case '\n':
        shown += "\\n";
        break;
      case '\r':
        shown += "\\r";
        break;
      case '\t':
        shown += "\\t";
        break;
      case '\\':
        shown += "\\\\";
        break;
      default:
        if (is_control(*p)) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", *p);
          shown += hex;
        } else {
          shown += static_cast<char>(*p);
        }
    }
  }
  return shown;
}

int write_global_section(FILE* out, MYSQL* conn) {
  std::fputs("[global]\n", out);
  std::fprintf(out, "\tusername map = %s\n", paths::smbusers);

  for (const auto& setting : global_settings) {
    const char* value = db_select_value(setting[0], params_table, "param", "val", conn);
    if (value == nullptr || value[0] == '\0')
      continue;
    if (!conf_value_ok(value)) {
      report_notice("Setting %s is left out of %s: its value %s\n", setting[0],
                    paths::smb_conf_include, unsafe_value);
      continue;
    }
    std::fprintf(out, "\t%s = %s\n", setting[1], value);
  }

  const char* interfaces = db_select_value("interfaces", params_table, "param", "val", conn);
  if (interfaces != nullptr && interfaces[0] != '\0' && !conf_value_ok(interfaces)) {
    report_notice("Setting %s is left out of %s: its value %s\n", "interfaces",
                  paths::smb_conf_include, unsafe_value);
    interfaces = nullptr;
  }
  if (interfaces != nullptr && interfaces[0] != '\0')
    std::fprintf(out, "\tinterfaces = lo %s\n", interfaces);
  else
    std::fputs("\tinterfaces = lo\n", out);

  std::fputs("\tallow hosts = ", out);
  unique_mysql_res hosts = query_or_die(conn, hosts_query);
  int written = 0;
  int refused = 0;
  while (MYSQL_ROW row = mysql_fetch_row(hosts.get())) {
    const char* host = row[0];
    // An empty or blank entry names no host; left out, it must still count
    // as refused so that a list of only such entries is not written empty.
    if (host == nullptr || !conf_value_ok(host) || host[std::strspn(host, " ")] == '\0') {
      ++refused;
      const std::string shown = host != nullptr ? "'" + printable_value(host) + "'" : "NULL";
      report_notice("Host %s is left out of %s: it %s\n", shown.c_str(), paths::smb_conf_include,
                    host == nullptr       ? "is NULL"
                    : conf_value_ok(host) ? "is blank"
                                          : unsafe_value);
      continue;
    }
    std::fprintf(out, written == 0 ? "%s" : ", %s", host);
    ++written;
  }
  hosts.reset();
  std::fputs("\n\n\n", out);
  // Samba reads an empty list as "every host": fail rather than open up.
  return written == 0 && refused > 0 ? 1 : 0;
}

int reconfigure_all() {
  unique_mysql conn(db_open());
  if (!conn)
    fatal("Unable to connect to the mysql database\n");

  char include_path[text_size];
  format_text(include_path, sizeof include_path, "%s.include", paths::smb_conf);

  // Runs at the same time share one temporary file: the lock makes each
  // one's write, rename and owner change a single step, so every run
  // installs a whole file of its own. Taken before the stat so that the
  // owner and mode read are those this run replaces.
  unique_lock_file lock(locked_file_lock(include_path, 1));
  if (!locked_file_is_locked(lock.get()))
    fatal("Error occurred while locking the file %s: %s\n", include_path,
               std::strerror(errno));

  struct stat st {};
  bool is_new = false;
  if (stat(include_path, &st) != 0) {
    if (errno != ENOENT)
      fatal("Unable to stat file %s: %s\n", include_path, std::strerror(errno));
    is_new = true;
  }

  char tmp_path[text_size];
  format_text(tmp_path, sizeof tmp_path, "%s.tmp", include_path);
  // Root's alone until it gets its final owner and mode, just before it
  // replaces the installed file.
  unique_fd tmp_fd(open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  unique_file out(tmp_fd ? fdopen(tmp_fd.get(), "w") : nullptr);
  if (!out)
    fatal("Unable to open file %s for writing: %s\n", tmp_path, std::strerror(errno));
  tmp_fd.release();  // the stream owns it now

  if (write_global_section(out.get(), conn.get()) != 0)
    fatal("Unable to print [global] section to %s", paths::smb_conf);

  {
    unique_mysql_res shares = query_or_die(conn.get(), shares_query);
    std::unordered_set<std::string> keys;
    while (MYSQL_ROW row = mysql_fetch_row(shares.get()))
      write_share(out.get(), conn.get(), row, keys);
  }
  conn.reset();

  uid_t uid = is_new ? 0 : st.st_uid;
  gid_t gid = is_new ? 0 : st.st_gid;
  mode_t mode = is_new ? 0644 : (st.st_mode & 07777);
  // The new file carries its final owner and mode before it replaces the
  // old one: a crash between the rename and set_owner_mode must not leave
  // it root's with 0600. set_owner_mode below still reports failures.
  if (fchown(fileno(out.get()), uid, gid) == 0)
    fchmod(fileno(out.get()), mode);
  close_synced(std::move(out), tmp_path);

  if (rename(tmp_path, include_path) != 0)
    fatal("Error while rename file %s to %s: %s\n", tmp_path, include_path,
               std::strerror(errno));

  if (set_owner_mode(include_path, uid, gid, mode) != 0)
    fatal("Unable to set permissions on file %s", include_path);

  unique_file map(std::fopen(paths::smbusers, "a"));
  if (!map)
    fatal("Unable to open file %s for writing: %s\n", paths::smbusers,
               std::strerror(errno));
  if (std::fclose(map.release()) != 0)
    fatal("Unable to close file %s: %s\n", paths::smbusers, std::strerror(errno));

  // One sync covers the rename and a newly created username map: both live
  // in the same directory.
  sync_directory_of(include_path);
  return 0;
}
