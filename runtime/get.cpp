#include "runtime/get.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/db.h"
#include "runtime/idn.h"
#include "runtime/message.h"
#include "runtime/owners.h"

namespace {


constexpr const char no_connection[] = "no database connection";

// The readers' own result buffers.
char ip_address_buf[text_size];
char dom_param_buf[text_size];
char domain_parameter_buf[text_size];
char service_parameter_buf[text_size];
char domain_limit_buf[text_size];
char client_email_buf[text_size];
char dom_id_buf[text_size];
char dns_zone_id_buf[text_size];
char lowercase_buf[text_size];

void check_key(const char* value, get_check line) {
  db_check_key(value, "get", static_cast<int>(line), db_key_condition);
}

void copy_text(char (&buf)[text_size], const char* text) {
  size_t len = strnlen(text, text_size - 1);
  std::memcpy(buf, text, len);
  buf[len] = '\0';
}

// What a one-column read found.
struct first_value {
  const char* error;  // null when the statement succeeded, else why not
  bool row;           // a first row came back
  bool null;          // and its first column is NULL
};

// Sends a statement made by format_sql and copies the first column of the
// first row into buf: empty for no row or NULL, untouched on failure. A
// missing result set is a failure when the server reports an error (the
// rows were lost on the way, not absent) or when no_result_fails is set;
// otherwise it reads as no row. The result set is released before return.
first_value read_first_column(MYSQL* conn, const char* sql, bool fits, char (&buf)[text_size],
                              bool no_result_fails) {
  if (!fits)
    return {db_too_long, false, false};
  if (db_query(conn, sql) != 0)
    return {mysql_error(conn), false, false};
  unique_mysql_res result(db_store_result(conn));
  if (!result) {
    if (no_result_fails || mysql_errno(conn) != 0)
      return {mysql_error(conn), false, false};
    buf[0] = '\0';
    return {nullptr, false, false};
  }
  MYSQL_ROW row = db_fetch_row(result.get());
  if (!row && mysql_errno(conn) != 0)
    return {mysql_error(conn), false, false};
  if (!row || mysql_num_fields(result.get()) == 0 || !row[0]) {
    buf[0] = '\0';
    return {nullptr, row != nullptr, row != nullptr};
  }
  copy_text(buf, row[0]);
  return {nullptr, true, false};
}

// The tail shared by the parameter readers: runs sql on conn or on a
// connection of its own and copies the first value into buf. Null after
// reporting connect_msg, or "Unable to query domain <kind> <name>: <error>".
const char* read_parameter(MYSQL* conn, const char* connect_msg, const char* sql, bool fits,
                           char (&buf)[text_size], const char* kind, const char* name) {
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "%s", connect_msg);
    return nullptr;
  }
  first_value v = read_first_column(conn, sql, fits, buf, false);
  if (v.error) {
    report_msg(0, "Unable to query domain %s %s: %s\n", kind, db_key_text(name), v.error);
    return nullptr;
  }
  return buf;
}

// 1 when the value begins with "true" (a longer word counts too), else 0.
int is_true(const char* value) {
  return std::strncmp(value, "true", 4) == 0 ? 1 : 0;
}

}  // namespace

const char* get_ip_address(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::ip_address_dom_id);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "get_ip_address: Unable to connect to the mysql database");
    return nullptr;
  }
  char sql[text_size];
  bool fits =
      db_format_sql(sql, sizeof sql,
                    "select ipa.ip_address from domains d, hosting h, IP_Addresses ipa where "
                    "d.id='%s' and d.id=h.dom_id and h.ip_address_id=ipa.id",
                    db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, ip_address_buf, true);
  if (v.error) {
    report_msg(0, "Unable to query IP address: %s\n", v.error);
    return nullptr;
  }
  return ip_address_buf;
}

const char* get_domain_htype(const char* dom_id, MYSQL* conn) {
  // db_select_value checks the key (get, line 430).
  return db_select_value(dom_id, "domains", "id", "htype", conn);
}

int get_domain_status(const char* dom_id, unsigned int* status, MYSQL* conn) {
  check_key(dom_id, get_check::domain_status_dom_id);
  if (!conn) {
    report_msg(0, "Unable to get status for domain with id=\"%s\": %s", db_key_text(dom_id),
               no_connection);
    return -1;
  }
  char sql[text_size];
  char value[text_size];
  bool fits = db_format_sql(sql, sizeof sql, "select status from domains where id=\"%s\"",
                            db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, value, false);
  if (v.error) {
    report_msg(0, "Unable to get status for domain with id=\"%s\": %s", db_key_text(dom_id),
               v.error);
    return -1;
  }
  if (!v.row) {
    report_msg(0, "Unable to get status for domain with id=\"%s\": such domain is not exist.",
               db_key_text(dom_id));
    return -2;
  }
  // An unsigned decimal from the first character on: no sign, no blanks,
  // nothing beyond what an unsigned int holds.
  unsigned long long number = 0;
  bool valid = !v.null && std::isdigit(static_cast<unsigned char>(value[0]));
  if (valid) {
    errno_keeper keep;
    errno = 0;
    number = std::strtoull(value, nullptr, 10);
    valid = errno != ERANGE && number <= UINT_MAX;
  }
  if (!valid) {
    report_msg(0,
               "Unable to get status for domain with id=\"%s\": error translate status value from "
               "char to unsigned int.",
               db_key_text(dom_id));
    return -3;
  }
  if (status)
    *status = static_cast<unsigned int>(number);
  return 0;
}

const char* get_dom_param(const char* dom_id, const char* param, MYSQL* conn) {
  check_key(dom_id, get_check::dom_param_dom_id);
  check_key(param, get_check::dom_param_param);
  char sql[text_size];
  bool fits =
      db_format_sql(sql, sizeof sql, "select val from dom_param where dom_id='%s' and param='%s'",
                    db_key_text(dom_id), db_key_text(param));
  return read_parameter(conn, "Unable to connect to mysql database\n", sql, fits, dom_param_buf,
                        "parameter", param);
}

const char* get_domain_parameter(const char* dom_id, const char* param, MYSQL* conn) {
  check_key(dom_id, get_check::domain_parameter_dom_id);
  check_key(param, get_check::domain_parameter_param);
  char sql[text_size];
  bool fits = db_format_sql(sql, sizeof sql,
                            "select r.value from domains d, Parameters r \t\twhere d.id='%s' and "
                            "d.params_id=r.id and r.parameter='%s'",
                            db_key_text(dom_id), db_key_text(param));
  return read_parameter(conn, "Unable to connect to the mysql database\n", sql, fits,
                        domain_parameter_buf, "parameter", param);
}

const char* get_service_parameter(const char* dom_id, const char* type, const char* param,
                                  MYSQL* conn) {
  check_key(dom_id, get_check::service_parameter_dom_id);
  check_key(type, get_check::service_parameter_type);
  check_key(param, get_check::service_parameter_param);
  char sql[text_size];
  bool fits = db_format_sql(sql, sizeof sql,
                            "select r.value from DomainServices s, Parameters r \t\t\t\t where "
                            "s.dom_id='%s' and s.type='%s' and s.parameters_id=r.id  and "
                            "r.parameter='%s'",
                            db_key_text(dom_id), db_key_text(type), db_key_text(param));
  return read_parameter(conn, "Unable to connect to the mysql database\n", sql, fits,
                        service_parameter_buf, "parameter", param);
}

const char* get_domain_limit(const char* dom_id, const char* limit_name, MYSQL* conn) {
  check_key(dom_id, get_check::domain_limit_dom_id);
  check_key(limit_name, get_check::domain_limit_name);
  char sql[text_size];
  bool fits = db_format_sql(sql, sizeof sql,
                            "select l.value from domains d, Limits l \t\t\t\t where d.id='%s' and "
                            "d.limits_id=l.id  and l.limit_name='%s'",
                            db_key_text(dom_id), db_key_text(limit_name));
  return read_parameter(conn, "Unable to connect to the mysql database\n", sql, fits,
                        domain_limit_buf, "limit", limit_name);
}

int has_www_prefix(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::www_prefix_dom_id);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to the mysql database\n");
    return -1;
  }
  char sql[text_size];
  char value[text_size];
  bool fits =
      db_format_sql(sql, sizeof sql,
                    "select * from domains d, dns_zone z, dns_recs r \t\twhere d.id='%s' and "
                    "d.dns_zone_id=z.id and r.dns_zone_id=z.id \t\tand ((r.type='A') or "
                    "(r.type='CNAME')) \t\tand left(r.host,4)='www.'",
                    db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, value, true);
  if (v.error) {
    report_msg(0, "Unable to query www prefix: %s\n", v.error);
    return -1;
  }
  if (!v.row)
    return 0;
  // A www record that belongs to a subdomain named www is not the domain's
  // own prefix.
  fits = db_format_sql(sql, sizeof sql,
                       "select * from subdomains \t\t\twhere dom_id='%s' and name='www'",
                       db_key_text(dom_id));
  v = read_first_column(conn, sql, fits, value, true);
  if (v.error) {
    report_msg(0, "Unable to query www subdomain: %s\n", v.error);
    return -1;
  }
  return v.row ? 0 : 1;
}

int get_anon_ftp_status(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::anon_ftp_dom_id);
  char value[text_size];
  {
    unique_mysql own;
    conn = db_use_or_open(conn, own);
    if (!conn) {
      report_msg(0, "Unable to connect to the mysql database\n");
      return 0;
    }
    char sql[text_size];
    bool fits = db_format_sql(sql, sizeof sql,
                              "select a.status from domains d, anon_ftp a \t\t\t\t\t\t\t\t\twhere "
                              "d.id='%s' and a.dom_id=d.id",
                              db_key_text(dom_id));
    first_value v = read_first_column(conn, sql, fits, value, false);
    if (v.error) {
      report_msg(0, "Unable to query anon_ftp: %s\n", v.error);
      return 0;
    }
  }
  return is_true(value);
}

int get_frontpage_status(const char* dom_name, int secure, MYSQL* conn) {
  check_key(dom_name, get_check::frontpage_dom_name);
  char value[text_size];
  {
    unique_mysql own;
    conn = db_use_or_open(conn, own);
    if (!conn) {
      report_msg(0, "Unable to connect to the mysql database\n");
      return 0;
    }
    char sql[text_size];
    bool fits;
    if (secure)
      fits = db_format_sql(sql, sizeof sql,
                           "select h.fp_ssl from domains d, hosting h \t\t\t\t\t\t\t\t\twhere "
                           "d.name='%s' and h.dom_id=d.id",
                           db_key_text(dom_name));
    else
      fits = db_format_sql(sql, sizeof sql,
                           "select h.fp from domains d, hosting h \t\t\t\t\t\t\t\t\twhere "
                           "d.name='%s' and h.dom_id=d.id",
                           db_key_text(dom_name));
    first_value v = read_first_column(conn, sql, fits, value, false);
    if (v.error) {
      report_msg(0, "Unable to query frontpage status: %s\n", v.error);
      return 0;
    }
  }
  return is_true(value);
}

const char* get_client_email(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::client_email_dom_id);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to the mysql database\n");
    return nullptr;
  }
  char sql[text_size];
  bool fits = db_format_sql(sql, sizeof sql,
                            "select c.email from domains d, clients c \t\t\t\t\t\t\t\t\twhere "
                            "d.cl_id=c.id and d.id='%s'",
                            db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, client_email_buf, false);
  if (v.error) {
    report_msg(0, "Unable to define clients email: %s\n", v.error);
    return nullptr;
  }
  if (client_email_buf[0] == '\0') {
    const char* admin_email = get_misc_param("admin_email", conn);
    if (!admin_email || !*admin_email) {
      report_msg(0, "Unable to define admin email\n");
      return nullptr;
    }
    copy_text(client_email_buf, admin_email);
  }
  return client_email_buf;
}

int get_client_id(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::client_id_dom_id);
  if (!conn) {
    report_msg(0, "Unable to define client's ID: %s\n", no_connection);
    return 0;
  }
  char sql[text_size];
  char value[text_size];
  bool fits = db_format_sql(sql, sizeof sql,
                            "select c.id from domains d, clients c \t\t\t\t\t\t\t\t\twhere "
                            "d.cl_id=c.id and d.id='%s'",
                            db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, value, false);
  if (v.error) {
    report_msg(0, "Unable to define client's ID: %s\n", v.error);
    return 0;
  }
  char* end = nullptr;
  errno_keeper keep;
  errno = 0;
  long id = std::strtol(value, &end, 10);
  bool valid = end != value && errno != ERANGE && id >= INT_MIN && id <= INT_MAX;
  return valid ? static_cast<int>(id) : 0;
}

const char* get_dom_id_ex(const char* name, MYSQL* conn, int missing_allowed) {
  check_key(name, get_check::dom_id_name);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to the mysql database\n");
    return nullptr;
  }
  unique_text ascii(idn_toascii(db_key_text(name)));
  if (!ascii)
    fatal("idn_toascii() failed: %s", idn_error_text(idn_last_error));
  // Nameprep maps some letters to ASCII quotes and backslashes (a
  // full-width apostrophe becomes '), so the converted name is escaped
  // although the name as given passed the key check.
  unique_text escaped(db_escape(conn, ascii.get()));
  ascii.reset();
  char sql[text_size];
  char value[text_size];
  bool fits =
      db_format_sql(sql, sizeof sql, "select id from domains where name='%s'", escaped.get());
  escaped.reset();
  first_value v = read_first_column(conn, sql, fits, value, false);
  if (v.error)
    fatal("Unable to query domain ID: %s\n", v.error);
  if (value[0] == '\0') {
    if (missing_allowed)
      return nullptr;
    fatal("get_dom_id(): domains record not found in DB for '%s'\n", db_key_text(name));
  }
  copy_text(dom_id_buf, value);
  return dom_id_buf;
}

const char* get_dom_id(const char* name, MYSQL* conn) {
  return get_dom_id_ex(name, conn, 0);
}

const char* find_domain_name(const char* name) {
  check_key(name, get_check::find_domain_name);
  unique_mysql conn(db_open());
  if (!conn)
    fatal("Unable to connect to the mysql database\n");
  char sql[text_size];
  char value[text_size];
  bool fits =
      db_format_sql(sql, sizeof sql, "select name from domains where name='%s'", db_key_text(name));
  first_value v = read_first_column(conn.get(), sql, fits, value, false);
  if (v.error)
    fatal("Unable to query domain name: %s\n", v.error);
  if (!v.row)
    return nullptr;
  return lowercase_copy(value);
}

int get_max_id(const char* table, MYSQL* conn) {
  // The table name is placed into the SQL as it is, so only a plain name
  // is accepted.
  bool plain = table && *table;
  for (const char* p = table; plain && *p; ++p)
    plain = std::isalnum(static_cast<unsigned char>(*p)) || *p == '_';
  if (!plain) {
    report_msg(0, "Unable to define max id: invalid table name \"%s\"", db_key_text(table));
    return 0;
  }
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to the mysql database\n");
    return 0;
  }
  char sql[text_size];
  char value[text_size];
  bool fits = db_format_sql(sql, sizeof sql, "SELECT max(id) FROM %s", table);
  first_value v = read_first_column(conn, sql, fits, value, true);
  if (v.error) {
    report_msg(0, "Unable to define max id: %s", v.error);
    return 0;
  }
  // NULL, the max of an empty table, reads as 0.
  long long max;
  bool in_range;
  {
    errno_keeper keep;
    errno = 0;
    max = std::strtoll(value, nullptr, 10);
    in_range = errno != ERANGE && max >= INT_MIN && max < INT_MAX;
  }
  if (!in_range) {
    report_msg(0, "Unable to define max id: %s", "id out of range");
    return 0;
  }
  return static_cast<int>(max) + 1;
}

const char* get_dns_zone_id(const char* dom_id, MYSQL* conn) {
  check_key(dom_id, get_check::dns_zone_id_dom_id);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn)
    return nullptr;  // db_open has said why
  char sql[text_size];
  bool fits = db_format_sql(sql, sizeof sql, "select dns_zone_id from domains where id='%s'",
                            db_key_text(dom_id));
  first_value v = read_first_column(conn, sql, fits, dns_zone_id_buf, true);
  if (v.error) {
    report_msg(0, "Unable to query dns_zone_id: %s\n", v.error);
    return nullptr;
  }
  return dns_zone_id_buf;
}

int get_run_mode() {
  const char* value = std::getenv("TAV_RUN_MODE");
  if (!value)
    return 0;
  // A non-number reads as 0 and a negative one as a huge number: both are
  // refused below.
  unsigned long mode;
  {
    errno_keeper keep;
    mode = std::strtoul(value, nullptr, 10);
  }
  if (mode < 1 || mode > 3)
    fatal("unrecognized TAV_RUNMODE");
  return static_cast<int>(mode);
}

const char* lowercase_copy(const char* text) {
  if (!text)
    return nullptr;
  copy_text(lowercase_buf, text);
  // The "C" locale's mapping whatever locale the process runs in: bytes of
  // UTF-8 names stay as they are.
  for (char* p = lowercase_buf; *p; ++p)
    if (*p >= 'A' && *p <= 'Z')
      *p = static_cast<char>(*p - 'A' + 'a');
  return lowercase_buf;
}
