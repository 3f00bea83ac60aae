#include "runtime/db.h"

#include <errmsg.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"
#include "runtime/staged_file.h"

int db_utf8_flag = 0;
char db_value_buf[text_size];

namespace {

// The password file's contents: at most 4096 bytes plus the terminator.
char password_buf[text_size + 1];
// The socket path found in /etc/my.cnf, kept until the process ends.
char cnf_socket_buf[text_size];
// The resolved path of the socket chosen, kept until the process ends.
char socket_buf[PATH_MAX];

#ifdef MYSQL_UNIX_ADDR
constexpr const char* library_default_socket = MYSQL_UNIX_ADDR;
#else
constexpr const char* library_default_socket = paths::mysql_sock_library_default;
#endif

// Authentication methods that never hand the password itself to the server:
// the server sees a scramble's hash (mysql_native_password) or a signature
// (client_ed25519, parsec). Left out are mysql_clear_password and dialog,
// which send it as it is, and sha256_password and caching_sha2_password,
// which send it as it is over a Unix socket and encrypt it over TCP with a
// key that the server itself hands over. A name the library lacks (parsec
// before Connector/C 3.4.1) only fails that method.
constexpr const char allowed_auth_plugins[] = "mysql_native_password,client_ed25519,parsec";

constexpr const char select_value_format[] = "select %s from %s where %s='%s'";

[[gnu::format(printf, 3, 4)]] void put_text(char* buf, size_t size, const char* format, ...) {
  if (!buf || size == 0)
    return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, size, format, args);
  va_end(args);
}

// An unset or empty variable counts as absent.
const char* env_value(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

bool is_socket(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Who may own the database server's socket and every directory above it:
// root, and the server's own account where the system has one.
struct socket_owners {
  bool has_server = false;
  uid_t server_uid = 0;
  gid_t server_gid = 0;
};

// Looked up once a process: every socket tried and the connection made
// ask the same question of the account database.
const socket_owners& trusted_owners() {
  static const socket_owners owners = [] {
    errno_keeper keep;  // an account database without the account is no failure
    socket_owners found;
    if (const passwd* pw = getpwnam(paths::mysql_account)) {
      found.has_server = true;
      found.server_uid = pw->pw_uid;
      found.server_gid = pw->pw_gid;
    }
    return found;
  }();
  return owners;
}

bool trusted_uid(const socket_owners& owners, uid_t uid) {
  return uid == 0 || (owners.has_server && uid == owners.server_uid);
}

bool trusted_gid(const socket_owners& owners, gid_t gid) {
  return gid == 0 || (owners.has_server && gid == owners.server_gid);
}

// Why another user could replace an entry of the directory dir (lstat: a
// link counts as what it is), or "" when only root or the server's account
// can. A sticky directory such as /tmp keeps others from renaming or
// removing the entries they do not own, but not from adding new ones:
// fixed_entries asks for no writer but those two at all.
std::string directory_fault(const std::string& dir, const socket_owners& owners,
                            bool fixed_entries) {
  struct stat st;
  const std::string shown = printable_value(dir.c_str());
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return shown + " is not a directory";
  if (!trusted_uid(owners, st.st_uid))
    return "directory " + shown + " belongs to uid " + std::to_string(st.st_uid);
  bool others_write =
      (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !trusted_gid(owners, st.st_gid));
  if (others_write && (fixed_entries || !(st.st_mode & S_ISVTX)))
    return "directory " + shown + " can be written by other users";
  return "";
}

// directory_fault for every directory from "/" down to dir, an absolute
// path without links; fixed_entries applies to dir itself. Checked from the
// top: a directory found safe cannot have its entries swapped afterwards,
// so each check below it stays true until the connection is made.
std::string directories_fault(const std::string& dir, const socket_owners& owners,
                              bool fixed_entries) {
  std::string prefix = "/";
  size_t pos = 1;
  for (;;) {
    const bool last = pos >= dir.size();
    std::string fault = directory_fault(prefix, owners, last && fixed_entries);
    if (!fault.empty() || last)
      return fault;
    size_t end = dir.find('/', pos);
    if (end == std::string::npos)
      end = dir.size();
    prefix = dir.substr(0, end);
    pos = end + 1;
  }
}

// Why root must not connect through the socket at path, or "" when it may:
// the socket and every directory above it, links resolved, belong to root
// or the server's account, and no one else can replace an entry on the
// way. The resolved name goes to socket_buf; connecting by that name, no
// link on the way can be turned elsewhere after the check.
std::string socket_fault(const char* path, const socket_owners& owners) {
  if (!realpath(path, socket_buf))
    return "it cannot be resolved";
  std::string fault = directories_fault(directory_of(socket_buf), owners, false);
  if (!fault.empty())
    return fault;
  struct stat st;
  if (lstat(socket_buf, &st) != 0 || !S_ISSOCK(st.st_mode))
    return "it is not a socket";
  if (!trusted_uid(owners, st.st_uid))
    return "it belongs to uid " + std::to_string(st.st_uid) + ", neither root nor " +
           paths::mysql_account;
  return "";
}

// The resolved name of the socket at path when root may connect through
// it; otherwise null, after a notice.
const char* trusted_socket(const char* path) {
  errno_keeper keep;
  std::string fault = socket_fault(path, trusted_owners());
  if (fault.empty())
    return socket_buf;
  report_notice("find_mysql_socket: socket %s is not used: %s", printable_value(path).c_str(),
                fault.c_str());
  return nullptr;
}

// The socket the client library takes when given none, checked as the
// discovered ones are; a missing one passes where no one else can create
// it (the library then fails to connect, as it always did). Null, with the
// reason in why, otherwise: on FreeBSD the library's own place is
// /tmp/mysql.sock, so leaving the choice to the library would take the very
// socket just refused.
const char* checked_library_socket(std::string& why) {
  errno_keeper keep;
  const socket_owners& owners = trusted_owners();
  struct stat st;
  if (lstat(library_default_socket, &st) == 0 || errno != ENOENT) {
    why = socket_fault(library_default_socket, owners);
    return why.empty() ? socket_buf : nullptr;
  }
  // The nearest directory on the way that exists must keep others out.
  std::string dir = directory_of(library_default_socket);
  char resolved[PATH_MAX];
  while (!realpath(dir.c_str(), resolved)) {
    if (errno != ENOENT || dir == "/") {
      why = "its directory cannot be resolved";
      return nullptr;
    }
    dir = directory_of(dir.c_str());
  }
  why = directories_fault(resolved, owners, true);
  return why.empty() ? library_default_socket : nullptr;
}

// Who is at the other end of fd when it is a connected Unix socket: the
// platform's own answer where it has one (Linux's SO_PEERCRED, the BSDs'
// getpeereid). 1 with uid set; 0 for a network connection or where the
// platform cannot tell; -1 with errno when asking failed.
int socket_peer_uid(int fd, uid_t& uid) {
  sockaddr_storage addr;
  socklen_t addr_len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0)
    return -1;
  if (addr.ss_family != AF_UNIX)
    return 0;  // a network connection: the host was named explicitly
#if defined(__linux__) && defined(SO_PEERCRED)
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
    return -1;
  uid = cred.uid;
  return 1;
#elif defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__APPLE__)
  gid_t gid;
  return getpeereid(fd, &uid, &gid) == 0 ? 1 : -1;
#else
  (void)fd;
  (void)uid;
  return 0;
#endif
}

// Why the server behind conn, connected through a socket that the checks
// above passed, is not root's or the server account's, or "". The checks
// judge a name; this asks the connection itself, before any statement goes
// to it, so that a socket put in place after them is refused all the same.
std::string peer_fault(MYSQL* conn) {
#if defined(MARIADB_PACKAGE_VERSION_ID)
  errno_keeper keep;
  uid_t uid = 0;
  const int known = socket_peer_uid(static_cast<int>(mysql_get_socket(conn)), uid);
  if (known < 0)
    return std::string("its server cannot be asked who it is: ") + std::strerror(errno);
  if (known > 0 && !trusted_uid(trusted_owners(), uid))
    return "its server runs as uid " + std::to_string(uid) + ", neither root nor " +
           paths::mysql_account;
#else
  (void)conn;  // libmysqlclient does not hand out the connection's socket
#endif
  return "";
}

// Keeps the password from any server that asks for it as it is. False when
// the library refuses the restriction.
bool restrict_authentication(MYSQL* conn) {
  // libmysqlclient's switch for mysql_clear_password (off by default there);
  // libmariadb accepts and ignores it, and is restricted by the list below.
  bool cleartext = false;
  mysql_options(conn, MYSQL_ENABLE_CLEARTEXT_PLUGIN, &cleartext);
#if defined(MARIADB_PACKAGE_VERSION_ID) && MARIADB_PACKAGE_VERSION_ID >= 30300
  return mysql_options(conn, MARIADB_OPT_RESTRICTED_AUTH, allowed_auth_plugins) == 0;
#else
  // libmysqlclient has no such list: the socket checks above are all there
  // is between the password and a server that asks for it.
  return true;
#endif
}

// Looks for the first socket setting of the [mysqld] section of the open
// option file; true (and the path in cnf_socket_buf) when it names a socket.
bool socket_from_cnf(FILE* cnf) {
  char line[text_size];
  bool in_section = false;
  while (std::fgets(line, sizeof line, cnf)) {
    const char* p = line;
    while (std::isspace(static_cast<unsigned char>(*p)))
      ++p;
    if (*p == '\0' || *p == '#' || *p == ';')
      continue;
    if (!in_section) {
      if (std::strncmp(p, "[mysqld]", 8) == 0)
        in_section = true;
      continue;
    }
    if (*p == '[')
      return false;
    if (std::strncmp(p, "socket", 6) != 0)
      continue;
    // Only the first socket line of the section counts, whatever it holds.
    const char* eq = std::strchr(p + 6, '=');
    if (!eq)
      return false;
    const char* value = eq + 1;
    while (std::isspace(static_cast<unsigned char>(*value)))
      ++value;
    if (*value == '\0')
      return false;
    size_t len = 0;
    while (value[len] && !std::isspace(static_cast<unsigned char>(value[len])))
      ++len;
    char path[text_size];
    std::memcpy(path, value, len);
    path[len] = '\0';
    if (!is_socket(path))
      return false;
    std::memcpy(cnf_socket_buf, path, len + 1);
    return true;
  }
  return false;
}

// Whether a server that reports version knows the four-byte character set
// utf8mb4: MySQL and MariaDB from 5.5.3 on (MariaDB's numbers went on from
// 5.5 to 10 and later). An answer that does not begin with three numbers
// counts as an older server.
bool knows_utf8mb4(const char* version) {
  unsigned long part[3];
  const char* p = version;
  for (int i = 0; i < 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(*p)))
      return false;
    char* end = nullptr;
    part[i] = std::strtoul(p, &end, 10);
    p = end;
    if (i < 2 && *p++ != '.')
      return false;
  }
  if (part[0] != 5)
    return part[0] > 5;
  return part[1] > 5 || (part[1] == 5 && part[2] >= 3);
}

// Whether a client error on the connection is one that a failed system
// call causes, so that errno tells which call and why.
bool system_caused(unsigned int error) {
  switch (error) {
    case CR_SOCKET_CREATE_ERROR:
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_IPSOCK_ERROR:
    case CR_SERVER_GONE_ERROR:
    case CR_OUT_OF_MEMORY:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
      return true;
    default:
      return false;
  }
}

// The one place that settles errno around a call of the client library:
// the call's errno stays only when it failed with a system-caused client
// error on conn (null for calls that leave no error there). EAGAIN is never
// such a cause: the library waits and reads again on its non-blocking
// socket, so it is what a read before the failure left.
struct client_call {
  MYSQL* conn;
  errno_keeper keep;
  explicit client_call(MYSQL* c) : conn(c) {}
  client_call(const client_call&) = delete;
  client_call& operator=(const client_call&) = delete;
  ~client_call() {
    if (conn && system_caused(mysql_errno(conn)) && errno != 0 && errno != EAGAIN &&
        errno != EWOULDBLOCK)
      keep.release();
  }
};

void copy_value(const char* value) {
  size_t len = strnlen(value, text_size - 1);
  std::memcpy(db_value_buf, value, len);
  db_value_buf[len] = '\0';
}

}  // namespace

MYSQL* db_init() {
  client_call call(nullptr);
  return mysql_init(nullptr);
}

MYSQL* db_real_connect(MYSQL* conn, const char* host, const char* user, const char* password,
                       const char* database, unsigned int port, const char* socket) {
  client_call call(conn);
  return mysql_real_connect(conn, host, user, password, database, port, socket, 0);
}

int db_query(MYSQL* conn, const char* sql) {
  client_call call(conn);
  return mysql_real_query(conn, sql, std::strlen(sql));
}

MYSQL_RES* db_store_result(MYSQL* conn) {
  client_call call(conn);
  return mysql_store_result(conn);
}

MYSQL_ROW db_fetch_row(MYSQL_RES* res) {
  client_call call(nullptr);
  return mysql_fetch_row(res);
}

void db_free_result(MYSQL_RES* res) {
  client_call call(nullptr);
  mysql_free_result(res);
}

void db_close(MYSQL* conn) {
  client_call call(nullptr);  // conn is gone when the call returns
  mysql_close(conn);
}

void db_check_key(const char* value, const char* unit, int line, const char* condition_text) {
  if (value == nullptr || std::strpbrk(value, "\\\"'") == nullptr)
    return;
  assertion_failed(unit, line, condition_text);
}

int read_container_number(const char* path) {
  unique_file info(std::fopen(path, "r"));
  if (!info)
    return -1;
  char line[text_size];
  if (!std::fgets(line, sizeof line, info.get()))
    return 0;
  const char* p = line;
  while (*p == ' ' || *p == '\t')
    ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p)))
    return 0;
  errno_keeper keep;
  errno = 0;
  long number = std::strtol(p, nullptr, 10);
  // A number that does not fit is no container number the platform makes.
  if (errno == ERANGE || number > INT_MAX)
    return 0;
  return static_cast<int>(number);
}

int setup_container_env_at(const char* veinfo_path) {
  char host[text_size];
  ssize_t len = readlink(paths::kv_mode_link, host, sizeof host - 1);
  if (len < 0) {
    apply_run_mode();
    return -1;
  }
  host[len] = '\0';
  if (setenv("TAV_DB_HOST", host, 0) != 0) {
    apply_run_mode();
    return 0;
  }
  int number = read_container_number(veinfo_path);
  if (number < 0)
    return -1;
  if (number != 0) {
    char name[64];
    std::snprintf(name, sizeof name, "tav%d", number);
    setenv("TAV_DB_NAME", name, 0);
    std::snprintf(name, sizeof name, "admin%d", number);
    setenv("TAV_DB_LOGIN", name, 0);
  }
  return 0;
}

int setup_container_env() {
  return setup_container_env_at(paths::kv_veinfo);
}

void apply_run_mode() {
  const char* mode = std::getenv("TAV_RUN_MODE");
  const char* host = std::getenv("TAV_DB_HOST");
  if (!mode || std::strtoul(mode, nullptr, 10) != 3 || !host)
    return;
  unlink(paths::kv_mode_link);
  if (symlink(host, paths::kv_mode_link) != 0) {
    // Ignored: without the link this run still uses TAV_DB_HOST.
  }
}

const char* find_mysql_socket() {
  if (env_value("MYSQL_UNIX_PORT"))
    return nullptr;
  const char* found = nullptr;
  errno = 0;
  if (unique_file cnf{std::fopen(paths::my_cnf, "r")}) {
    if (socket_from_cnf(cnf.get()))
      found = trusted_socket(cnf_socket_buf);
  }
  if (!found && is_socket(paths::mysql_sock_var))
    found = trusted_socket(paths::mysql_sock_var);
  if (!found && is_socket(paths::mysql_sock_tmp))
    found = trusted_socket(paths::mysql_sock_tmp);
  return found;
}

const char* read_admin_password() {
  unique_fd fd(open(paths::db_password_file, O_RDONLY | O_CLOEXEC));
  if (!fd)
    fatal("Unable to open admin password file");
  ssize_t n;
  do {
    n = read(fd.get(), password_buf, text_size);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    fatal("Unable to read admin password file");
  fd.reset();
  size_t len = static_cast<size_t>(n);
  password_buf[len] = '\0';
  if (len > 0 && password_buf[len - 1] == '\n')
    password_buf[len - 1] = '\0';
  return password_buf;
}

MYSQL* db_connect(char* err, size_t err_size) {
  // A missing container link, container information or option file is no
  // failure: those steps yield nothing, and the errno of their look-ups
  // must not show in a later report.
  {
    errno_keeper keep;
    setup_container_env();
  }

  const char* host = env_value("TAV_DB_HOST");
  const char* port_text = env_value("TAV_DB_PORT");
  const char* database = env_value("TAV_DB_NAME");
  const char* user = env_value("TAV_DB_LOGIN");
  if (!host)
    host = "localhost";
  if (!database)
    database = "tav";
  if (!user)
    user = "admin";
  unsigned int port = port_text ? static_cast<unsigned int>(std::strtoul(port_text, nullptr, 10)) : 0;

  const char* socket;
  {
    errno_keeper keep;
    socket = find_mysql_socket();
  }

  unique_mysql conn(db_init());
  if (!conn) {
    put_text(err, err_size, "db_connect: insufficient memory to allocate new object.");
    return nullptr;
  }
  if (!restrict_authentication(conn.get())) {
    put_text(err, err_size, "db_connect: failed to connect to database: Error: %s",
             "the authentication methods cannot be restricted");
    return nullptr;
  }
  const char* password = read_admin_password();
  // Without a socket of its own the library would connect to its built-in
  // place unchecked; a remote host, or MYSQL_UNIX_PORT, is the caller's
  // explicit choice.
  if (!socket && !env_value("MYSQL_UNIX_PORT") && std::strcmp(host, "localhost") == 0) {
    std::string why;
    {
      errno_keeper keep;  // a socket not there yet is no failure
      socket = checked_library_socket(why);
    }
    if (!socket) {
      const std::string text =
          "Can't use socket '" + printable_value(library_default_socket) + "': " + why;
      put_text(err, err_size, "db_connect: failed to connect to database: Error: %s", text.c_str());
      return nullptr;
    }
  }
  if (!db_real_connect(conn.get(), host, user, password, database, port, socket)) {
    // The text is the server's as much as the library's: one line whatever
    // it holds.
    put_text(err, err_size, "db_connect: failed to connect to database: Error: %s",
             printable_value(mysql_error(conn.get())).c_str());
    return nullptr;
  }
  if (socket) {
    const std::string shown = printable_value(socket);
    if (const std::string why = peer_fault(conn.get()); !why.empty()) {
      put_text(err, err_size, "db_connect: failed to connect to database: Error: socket '%s': %s",
               shown.c_str(), why.c_str());
      return nullptr;
    }
  }
  db_query(conn.get(), "set foreign_key_checks=0");
  db_set_names(conn.get(), err, err_size);
  return conn.release();
}

MYSQL* db_open() {
  char err[text_size + 1] = "";
  MYSQL* conn = db_connect(err, sizeof err);
  if (!conn)
    report_msg(0, "%s", err);
  return conn;
}

int db_set_names_version(MYSQL* conn, const char* version, char* err, size_t err_size) {
  // Servers before 4.1 know neither SET NAMES nor character sets per
  // connection.
  if (std::strncmp(version, "3.", 2) == 0 || std::strncmp(version, "4.0.", 4) == 0)
    return 0;
  // Decided before the misc query: version may be db_value_buf, which that
  // query overwrites.
  const bool four_byte = knows_utf8mb4(version);
  const char* compatible = get_misc_param("mysql41_compatible", conn);
  const char* statement;
  if (!compatible || !*compatible || std::strcmp(compatible, "false") == 0) {
    db_utf8_flag = 0;
    statement = "SET NAMES binary";
  } else {
    db_utf8_flag = 1;
    // "utf8" is the three-byte subset: a four-byte character would arrive
    // as '?'.
    statement = four_byte ? "SET NAMES utf8mb4" : "SET NAMES utf8";
  }
  if (db_query(conn, statement) == 0)
    return 1;
  db_error_text(conn, err, err_size);
  return 0;
}

int db_set_names(MYSQL* conn, char* err, size_t err_size) {
  const char* version = db_query_column("SHOW VARIABLES LIKE 'version'", conn, 1);
  if (!version)
    return 0;
  return db_set_names_version(conn, version, err, err_size);
}

int db_is_utf8() {
  if (MYSQL* conn = db_open())
    db_close(conn);
  return db_utf8_flag;
}

void db_error_text(MYSQL* conn, char* buf, size_t size) {
  unsigned int number = mysql_errno(conn);
  if (number != 0)
    put_text(buf, size, "DB Error %u: %s", number, mysql_error(conn));
  else
    put_text(buf, size, "\n");
}

char* db_escape(MYSQL* conn, const char* text) {
  if (!text)
    return nullptr;
  // The client library would dereference the missing connection for its
  // character set.
  if (!conn)
    fatal("db_escape: no database connection");
  size_t len = std::strlen(text);
  char* escaped = static_cast<char*>(mem_realloc(nullptr, 2 * len + 1));
  mysql_real_escape_string(conn, escaped, text, static_cast<unsigned long>(len));
  return escaped;
}

const char* db_query_column(const char* sql, MYSQL* conn, int column) {
  unique_mysql own;
  if (!conn) {
    own.reset(db_open());
    if (!own) {
      report_msg(0, "Unable to connect to the mysql database\n");
      return nullptr;
    }
    conn = own.get();
  }
  if (db_query(conn, sql) != 0) {
    report_msg(0, "Unable to query parameter by query %s: %s\n", sql, mysql_error(conn));
    return nullptr;
  }
  unique_mysql_res result(db_store_result(conn));
  MYSQL_ROW row = result ? db_fetch_row(result.get()) : nullptr;
  // A column beyond the result's counts as NULL rather than a read past
  // the row.
  if (row && column >= 0 && static_cast<unsigned int>(column) < mysql_num_fields(result.get()) &&
      row[column])
    copy_value(row[column]);
  else
    db_value_buf[0] = '\0';
  return db_value_buf;
}

const char* db_query_value(const char* sql, MYSQL* conn) {
  return db_query_column(sql, conn, 0);
}

const char* db_select_value(const char* key, const char* table, const char* key_column,
                            const char* value_column, MYSQL* conn) {
  db_check_key(key, "get", static_cast<int>(get_check::select_value_key), db_key_condition);
  char sql[text_size];
  int n = std::snprintf(sql, sizeof sql, select_value_format, value_column, table, key_column,
                        key ? key : "");
  // A statement cut short could still parse ("... whe" reads as a table
  // alias) and answer with the wrong row: refuse it as a failed query.
  if (n < 0 || static_cast<size_t>(n) >= sizeof sql) {
    report_msg(0, "Unable to query parameter by query %s: %s\n", sql, "query too long");
    return nullptr;
  }
  return db_query_value(sql, conn);
}

const char* get_misc_param(const char* name, MYSQL* conn) {
  return db_select_value(name, "misc", "param", "val", conn);
}

MYSQL* db_use_or_open(MYSQL* conn, unique_mysql& own) {
  if (conn)
    return conn;
  own.reset(db_open());
  return own.get();
}

bool db_format_sql(char* sql, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(sql, size, format, args);
  va_end(args);
  return n >= 0 && static_cast<size_t>(n) < size;
}
