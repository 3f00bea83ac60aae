// Database connection: connections to the panel database, their set-up,
// and the small tools every database user of the runtime shares. Only the
// MySQL C API is used, so the unit builds against libmariadb and
// libmysqlclient alike.
#pragma once

#include <mysql.h>

#include <cstddef>
#include <memory>

#include "runtime/message.h"

// 1 after the last connection that chose a character set was switched to
// "SET NAMES utf8" (or "SET NAMES utf8mb4", where the server knows it), 0
// after "SET NAMES binary" (and at start).
extern int db_utf8_flag;

// The process-wide result of the last one-value query (db_query_column,
// db_query_value, db_select_value, get_misc_param); each one overwrites it.
extern char db_value_buf[text_size];

// The client library's calls that make system calls, as the whole system
// makes them. Each leaves errno as it found it, unless it failed with a
// client error that a failed system call causes (no socket, a refused or
// lost connection, no memory): the library's successful calls leave errno
// set (EAGAIN of its non-blocking reads, EOPNOTSUPP of a socket option it
// tries), and no report may show that as a system error. Its
// accessors (mysql_errno, mysql_error, mysql_num_rows, mysql_num_fields,
// mysql_real_escape_string) make none and are called directly.
MYSQL* db_init();
MYSQL* db_real_connect(MYSQL* conn, const char* host, const char* user, const char* password,
                       const char* database, unsigned int port, const char* socket);
// mysql_real_query of the whole of sql: 0, or non-zero on failure.
int db_query(MYSQL* conn, const char* sql);
MYSQL_RES* db_store_result(MYSQL* conn);
MYSQL_ROW db_fetch_row(MYSQL_RES* res);
void db_free_result(MYSQL_RES* res);
void db_close(MYSQL* conn);

// Owners for the client library's objects, so that every early return
// releases them. The operations below still hand out raw pointers.
struct mysql_closer {
  void operator()(MYSQL* conn) const { db_close(conn); }
};
using unique_mysql = std::unique_ptr<MYSQL, mysql_closer>;

struct mysql_res_freer {
  void operator()(MYSQL_RES* res) const { db_free_result(res); }
};
using unique_mysql_res = std::unique_ptr<MYSQL_RES, mysql_res_freer>;

// Stops the process the way the platform's assert does when value, a key to
// be placed unescaped between quotes in SQL, holds a backslash, double quote
// or single quote: "<program>: <unit>:<line>: Assertion `<condition_text>'
// failed." on standard error, then abort(). A null value passes. Stays on in
// release builds.
void db_check_key(const char* value, const char* unit, int line, const char* condition_text);

// The condition that db_check_key reports for the accessors' keys.
inline constexpr const char db_key_condition[] =
    R"(param_val == NULL || strpbrk(param_val, "\\\"'") == NULL)";

// The lines that the accessors' key checks report, after the unit "get" or
// "put" ("get:458: Assertion ..."). They are message text, fixed for each
// check so that a caller's log tells which key of which accessor broke the
// rule; they are not lines of these sources and never follow the code.
enum class get_check : int {
  select_value_key = 430,
  ip_address_dom_id = 458,
  domain_status_dom_id = 498,
  dom_param_dom_id = 532,
  dom_param_param = 533,
  domain_parameter_dom_id = 575,
  domain_parameter_param = 576,
  service_parameter_dom_id = 619,
  service_parameter_type = 620,
  service_parameter_param = 621,
  domain_limit_dom_id = 665,
  domain_limit_name = 666,
  www_prefix_dom_id = 725,
  anon_ftp_dom_id = 780,
  frontpage_dom_name = 838,
  client_email_dom_id = 885,
  client_id_dom_id = 934,
  dom_id_name = 969,
  find_domain_name = 1037,
  dns_zone_id_dom_id = 1134,
};
enum class put_check : int {
  domain_status_dom_id = 16,
  misc_param_name = 45,
  dom_param_dom_id = 68,
  dom_param_param = 69,
  parameter_id = 102,
  parameter_param = 103,
  del_misc_param_name = 135,
  del_dom_param_dom_id = 165,
  del_dom_param_param = 166,
  del_parameter_id = 196,
  del_parameter_param = 197,
};

// The error text of a statement that did not fit its buffer. A statement
// cut at 4095 bytes could still parse and act on other rows than meant, so
// it is never sent.
inline constexpr const char db_too_long[] = "query too long";

// A null key reaches statements and messages as an empty text.
inline const char* db_key_text(const char* key) {
  return key ? key : "";
}

// conn itself, or a new connection held by own; null when db_open failed
// (db_open has reported why).
MYSQL* db_use_or_open(MYSQL* conn, unique_mysql& own);

// Formats a statement into sql[size]; false when it had to be cut.
[[gnu::format(printf, 3, 4)]] bool db_format_sql(char* sql, size_t size, const char* format, ...);

// The container set-up, run first by every db_connect: TAV_DB_HOST from the
// target of the /etc/tav/kv_mode link, TAV_DB_NAME and TAV_DB_LOGIN from the
// container number in /proc/kv/veinfo; none overwrites a value already set.
// Returns 0 or -1.
int setup_container_env();
// The same with the container information read from veinfo_path.
int setup_container_env_at(const char* veinfo_path);
// The container number at the start of the first line of path (after
// blanks); 0 for none or no line, -1 when the file can't be opened.
int read_container_number(const char* path);

// In run mode 3 (TAV_RUN_MODE) with TAV_DB_HOST set, makes /etc/tav/kv_mode
// a link to that host name; otherwise does nothing.
void apply_run_mode();

// The MySQL server's socket: from the [mysqld] section of /etc/my.cnf, else
// /var/lib/mysql/mysql.sock, else /tmp/mysql.sock, whichever is a socket
// that root may trust: owned, like every directory above it, by root or
// the server's account (paths::mysql_account), with no directory on the
// way that others may write unless it is sticky. A socket that fails this
// is passed over with a notice. Returns the socket's name with links
// resolved, or null when none is found, or when MYSQL_UNIX_PORT is set (the
// client library uses it itself). The text lives in a process-wide buffer.
const char* find_mysql_socket();

// The database password from /etc/tav/.tav.shadow, one final newline
// dropped, in a process-wide buffer refilled at each call. Ends the process
// when the file can't be opened or read.
const char* read_admin_password();

// A new connection to the panel database, owned by the caller (mysql_close),
// or null with the reason written into err (err_size bytes). The client
// library is told to refuse every authentication method that would send
// the password as it is. Over the local socket without one found, the
// library's own place is checked as find_mysql_socket checks its own.
MYSQL* db_connect(char* err, size_t err_size);
// db_connect, reporting the reason itself (status 0) when it fails.
MYSQL* db_open();

// Chooses the connection's character set by server version and the misc
// parameter "mysql41_compatible". Returns 1 when a SET NAMES statement was
// sent and succeeded, else 0 (the reason of a failed one in err).
int db_set_names(MYSQL* conn, char* err, size_t err_size);
// db_set_names after the version query, for a server that reported version.
int db_set_names_version(MYSQL* conn, const char* version, char* err, size_t err_size);

// db_utf8_flag after opening (and closing) one connection.
int db_is_utf8();

// "DB Error %u: %s" for the connection's last error, or "\n" when there is
// none, cut to fit buf.
void db_error_text(MYSQL* conn, char* buf, size_t size);

// text escaped for SQL in the connection's character set, in new memory the
// caller frees; null for null text. Ends the process when no connection is
// given for a text or memory runs out.
char* db_escape(MYSQL* conn, const char* text);

// Column `column` (0-based) of the first row of sql's result, on conn or,
// when conn is null, on a connection of its own closed before returning.
// Returns db_value_buf (value cut at 4095 bytes; empty for no row or NULL),
// or null after reporting a failed connection or query.
const char* db_query_column(const char* sql, MYSQL* conn, int column);
// db_query_column with column 0.
const char* db_query_value(const char* sql, MYSQL* conn);
// value_column of the first row of table whose key_column equals key; key
// is placed into the SQL unescaped and checked by db_check_key first.
// Results as db_query_column.
const char* db_select_value(const char* key, const char* table, const char* key_column,
                            const char* value_column, MYSQL* conn);
// The value of parameter name in table misc; results as db_query_column.
const char* get_misc_param(const char* name, MYSQL* conn);
