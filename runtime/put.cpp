#include "runtime/put.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/db.h"
#include "runtime/message.h"
#include "runtime/owners.h"

namespace {


constexpr const char no_connection[] = "no database connection";

void check_key(const char* value, put_check line) {
  db_check_key(value, "put", static_cast<int>(line), db_key_condition);
}

// Sends a statement made by db_format_sql: null on success, else the text
// that explains the failure (valid until the next call on conn).
const char* send_statement(MYSQL* conn, const char* sql, bool fits) {
  if (!fits)
    return db_too_long;
  if (db_query(conn, sql) != 0)
    return mysql_error(conn);
  return nullptr;
}

// Runs the statement that make(conn, sql) formats into sql (false when it
// had to be cut) on conn or on a connection of its own. 0, or -1 after
// reporting "Unable to <verb> parameter <param> <place>: <error>".
template <typename Make>
int run_statement(MYSQL* conn, const char* verb, const char* param, const char* place, Make make) {
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to mysql database\n");
    return -1;
  }
  char sql[text_size];
  bool fits = make(conn, sql);
  if (const char* error = send_statement(conn, sql, fits)) {
    report_msg(0, "Unable to %s parameter %s %s: %s", verb, db_key_text(param), place, error);
    return -1;
  }
  return 0;
}

}  // namespace

int set_domain_status(const char* dom_id, unsigned int status, MYSQL* conn) {
  check_key(dom_id, put_check::domain_status_dom_id);
  const char* error = no_connection;
  char sql[text_size];
  if (conn) {
    bool fits = db_format_sql(sql, sizeof sql, "update domains set status=%u where id=\"%s\"",
                              status, db_key_text(dom_id));
    error = send_statement(conn, sql, fits);
  }
  if (error) {
    report_msg(0, "Unable to update status for domain with id=\"%s\": %s.", db_key_text(dom_id),
               error);
    return -1;
  }
  return 0;
}

int put_misc_param(const char* name, const char* value, MYSQL* conn) {
  check_key(name, put_check::misc_param_name);
  unique_mysql own;
  conn = db_use_or_open(conn, own);
  if (!conn) {
    report_msg(0, "Unable to connect to mysql database");
    return -1;
  }
  // No length limit here: a long value is stored whole.
  unique_text sql;
  if (value) {
    unique_text escaped(db_escape(conn, value));
    sql.reset(alloc_printf("replace into misc (param, val) values('%s', '%s')", db_key_text(name),
                           escaped.get()));
  } else {
    sql.reset(alloc_printf("replace into misc (param) values('%s')", db_key_text(name)));
  }
  if (db_query(conn, sql.get()) != 0) {
    report_msg(0, "Unable to put parameter %s into misc: %s", db_key_text(name), mysql_error(conn));
    return -1;
  }
  return 0;
}

int put_dom_param(const char* dom_id, const char* param, const char* value, MYSQL* conn) {
  check_key(dom_id, put_check::dom_param_dom_id);
  check_key(param, put_check::dom_param_param);
  return run_statement(conn, "put", param, "into dom_param", [&](MYSQL* db, char(&sql)[text_size]) {
    if (value) {
      unique_text escaped(db_escape(db, value));
      return db_format_sql(sql, sizeof sql,
                           "replace into dom_param (dom_id, param, val) values('%s', '%s', '%s')",
                           db_key_text(dom_id), db_key_text(param), escaped.get());
    }
    // Like misc without a value: the row exists, its value is the column's
    // default (NULL), and a value stored before is gone.
    return db_format_sql(sql, sizeof sql,
                         "replace into dom_param (dom_id, param) values('%s', '%s')",
                         db_key_text(dom_id), db_key_text(param));
  });
}

int put_parameter(const char* id, const char* param, const char* value, MYSQL* conn) {
  check_key(id, put_check::parameter_id);
  check_key(param, put_check::parameter_param);
  return run_statement(conn, "put", param, "into Parameters", [&](MYSQL* db, char(&sql)[text_size]) {
    if (value) {
      unique_text escaped(db_escape(db, value));
      return db_format_sql(
          sql, sizeof sql,
          "replace into Parameters (id, parameter, value) values('%s', '%s', '%s')",
          db_key_text(id), db_key_text(param), escaped.get());
    }
    return db_format_sql(sql, sizeof sql,
                         "replace into Parameters (id, parameter) values('%s', '%s')",
                         db_key_text(id), db_key_text(param));
  });
}

int del_misc_param(const char* name, MYSQL* conn) {
  check_key(name, put_check::del_misc_param_name);
  return run_statement(conn, "delete", name, "from misc", [&](MYSQL*, char(&sql)[text_size]) {
    return db_format_sql(sql, sizeof sql, "delete from misc where param='%s'", db_key_text(name));
  });
}

int del_dom_param(const char* dom_id, const char* param, MYSQL* conn) {
  check_key(dom_id, put_check::del_dom_param_dom_id);
  check_key(param, put_check::del_dom_param_param);
  return run_statement(conn, "delete", param, "from dom_param", [&](MYSQL*, char(&sql)[text_size]) {
    return db_format_sql(sql, sizeof sql, "delete from dom_param where dom_id='%s' and param='%s'",
                         db_key_text(dom_id), db_key_text(param));
  });
}

int del_parameter(const char* id, const char* param, const char* value, MYSQL* conn) {
  check_key(id, put_check::del_parameter_id);
  check_key(param, put_check::del_parameter_param);
  return run_statement(
      conn, "delete", param, "from Parameters", [&](MYSQL* db, char(&sql)[text_size]) {
        if (value) {
          unique_text escaped(db_escape(db, value));
          return db_format_sql(
              sql, sizeof sql,
              "delete from Parameters where id='%s' and parameter='%s' and value='%s'",
              db_key_text(id), db_key_text(param), escaped.get());
        }
        return db_format_sql(sql, sizeof sql,
                             "delete from Parameters where id='%s' and parameter='%s'",
                             db_key_text(id), db_key_text(param));
      });
}
