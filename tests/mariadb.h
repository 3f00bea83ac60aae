// A private MariaDB server for database tests. Every test process runs in a
// sandbox of its own (tests/sandbox), so the server, its socket and the
// panel's password file live at the system's real paths and vanish with the
// sandbox.
#pragma once

#include <string>

#include "runtime/db.h"

// Starts a private MariaDB server inside the test's sandbox: --skip-networking, socket at the client
// library's compiled-in default /run/mysqld/mysqld.sock, data directory copied from a template that is
// made once per build directory (BUILD_DIR/mariadb-template, created under an flock by the first test
// that needs it, with mariadb-install-db). Creates database `tav`, user admin@localhost with the password
// written to /etc/tav/.tav.shadow, and loads every tests/schema/*.sql file (in name order). Stops the
// server at process exit (the sandbox kills it anyway). Fails the test with a clear message if anything
// goes wrong.
void start_mariadb();

// Runs SQL statements as root on database tav with the mariadb client over the socket; returns its
// batch output (tab-separated, no column names). On error: ADD_FAILURE with the client's message, "".
std::string db_sql(const std::string& statements);

// Stops the server (tests of "no server answers").
void stop_mariadb();

// The panel administrator's database password; /etc/tav/.tav.shadow holds
// exactly this text (no trailing newline).
inline constexpr const char test_admin_password[] = "tav-Test_pw.42";

// A connection to the test server through the code under test (db_open);
// fails the test when there is none.
unique_mysql connect_db();

// What the platform's assert prints for the accessors' key check.
inline const std::string key_assertion =
    R"(Assertion `param_val == NULL || strpbrk(param_val, "\\\"'") == NULL' failed.)";
