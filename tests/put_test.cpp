#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "runtime/db.h"
#include "runtime/message.h"
#include "runtime/put.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

namespace {

// A value that needs every kind of escaping on its way into SQL.
const std::string tricky_value = "O'Brien said \"hi\" \\n back\\slash; --";

// Runs body in a child named cifsctl; what it prints after "=" on standard
// output is the result the test looks at.
run_result in_child(const std::function<void()>& body) {
  return run_in_child([&] {
    program_path = "cifsctl";
    body();
  });
}

}  // namespace

TEST(PutDomainStatus, UpdatesOneDomainAndReportsFailures) {
  start_mariadb();
  db_sql("INSERT INTO domains (id, name, status) VALUES (1, 'a.test', 0), (2, 'b.test', 0);");
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(set_domain_status("1", 16, conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT id, status FROM domains ORDER BY id"), "1\t16\n2\t0\n");
  // No such domain: nothing to update is no failure.
  EXPECT_EQ(set_domain_status("9", 1, conn.get()), 0);

  run_result r = in_child([] { std::printf("=%d\n", set_domain_status("1", 2, nullptr)); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(last_line(r.out), "=-1");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to update status for domain with id=\"1\": no database connection.\n");

  db_sql("DROP TABLE domains;");
  r = in_child([] {
    unique_mysql conn(db_open());
    std::printf("=%d\n", set_domain_status("1", 2, conn.get()));
  });
  EXPECT_EQ(last_line(r.out), "=-1");
  EXPECT_EQ(r.err, "cifsctl: Unable to update status for domain with id=\"1\": Table "
                            "'tav.domains' doesn't exist.\n");
}

TEST(PutMiscParam, StoresReplacesAndDeletes) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(put_misc_param("admin_email", "root@example.test", conn.get()), 0);
  EXPECT_EQ(put_misc_param("admin_email", "admin@example.test", nullptr), 0);
  // Without a value the row is there, its value NULL.
  EXPECT_EQ(put_misc_param("flag", nullptr, conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT param, IFNULL(val, 'NULL') FROM misc ORDER BY param"),
            "admin_email\tadmin@example.test\nflag\tNULL\n");

  // The misc statement has no length limit: a long value is stored whole.
  const std::string long_value(6000, 'v');
  EXPECT_EQ(put_misc_param("long", long_value.c_str(), conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT LENGTH(val) FROM misc WHERE param='long'"), "6000\n");

  EXPECT_EQ(del_misc_param("flag", conn.get()), 0);
  EXPECT_EQ(del_misc_param("long", nullptr), 0);
  EXPECT_EQ(del_misc_param("never-there", conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT param FROM misc"), "admin_email\n");
}

TEST(PutMiscParam, QuotedValueComesBackIntact) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  ASSERT_EQ(put_misc_param("note", tricky_value.c_str(), conn.get()), 0);
  const char* back = get_misc_param("note", conn.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back, tricky_value);
  EXPECT_EQ(db_sql("SELECT COUNT(*) FROM misc"), "1\n");
}

TEST(PutDomParam, StoresValuesAndAbsentValueAsNull) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(put_dom_param("7", "shell", "/bin/sh", conn.get()), 0);
  EXPECT_EQ(put_dom_param("7", "shell", "/bin/bash", nullptr), 0);
  EXPECT_EQ(put_dom_param("8", "shell", tricky_value.c_str(), conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT dom_id, param, val FROM dom_param WHERE dom_id=7"),
            "7\tshell\t/bin/bash\n");
  EXPECT_EQ(db_sql("SELECT val = " + std::string("'O\\'Brien said \"hi\" \\\\n back\\\\slash; --'") +
                   " FROM dom_param WHERE dom_id=8"),
            "1\n");

  // An absent value keeps the parameter and clears the value stored before.
  EXPECT_EQ(put_dom_param("7", "shell", nullptr, conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT dom_id, param, IFNULL(val, 'NULL') FROM dom_param WHERE dom_id=7"),
            "7\tshell\tNULL\n");

  EXPECT_EQ(del_dom_param("7", "shell", conn.get()), 0);
  EXPECT_EQ(del_dom_param("8", "other", nullptr), 0);
  EXPECT_EQ(db_sql("SELECT dom_id, param FROM dom_param"), "8\tshell\n");
}

TEST(PutDomParam, OverlongStatementIsRefusedNotCut) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  // 2100 quotes escape to 4200 bytes: the statement can't fit 4095 bytes.
  const std::string quotes(2100, '\'');
  run_result r = in_child([&] {
    unique_mysql conn(db_open());
    std::printf("=%d\n", put_dom_param("1", "p", quotes.c_str(), conn.get()));
  });
  EXPECT_EQ(last_line(r.out), "=-1");
  EXPECT_EQ(r.err, "cifsctl: Unable to put parameter p into dom_param: query too long\n");
  EXPECT_EQ(db_sql("SELECT COUNT(*) FROM dom_param"), "0\n");
  // Just below the limit it is stored whole.
  const std::string fits(1990, '\'');
  EXPECT_EQ(put_dom_param("1", "p", fits.c_str(), conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT LENGTH(val) FROM dom_param"), "1990\n");
}

TEST(PutParameter, SeveralValuesAndTheirDeletion) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(put_parameter("3", "alias", "www.a.test", conn.get()), 0);
  EXPECT_EQ(put_parameter("3", "alias", tricky_value.c_str(), conn.get()), 0);
  EXPECT_EQ(put_parameter("3", "alias", "www.a.test", nullptr), 0);  // same value: one row
  EXPECT_EQ(put_parameter("3", "quota", "100", conn.get()), 0);
  EXPECT_EQ(put_parameter("4", "alias", "www.b.test", conn.get()), 0);
  EXPECT_EQ(put_parameter("4", "empty", nullptr, conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT id, parameter, COUNT(*) FROM Parameters GROUP BY id, parameter"),
            "3\talias\t2\n3\tquota\t1\n4\talias\t1\n4\tempty\t1\n");
  EXPECT_EQ(db_sql("SELECT IFNULL(value, 'NULL') FROM Parameters WHERE parameter='empty'"),
            "NULL\n");

  // With a value only that row goes, the quoted one included.
  EXPECT_EQ(del_parameter("3", "alias", tricky_value.c_str(), conn.get()), 0);
  EXPECT_EQ(db_sql("SELECT value FROM Parameters WHERE id=3 AND parameter='alias'"),
            "www.a.test\n");
  EXPECT_EQ(put_parameter("3", "alias", "mail.a.test", conn.get()), 0);
  // Without one every row of the parameter in that set goes, no other.
  EXPECT_EQ(del_parameter("3", "alias", nullptr, nullptr), 0);
  EXPECT_EQ(db_sql("SELECT id, parameter, value FROM Parameters ORDER BY id, parameter"),
            "3\tquota\t100\n4\talias\twww.b.test\n4\tempty\tNULL\n");
}

TEST(PutConnection, OwnConnectionIsClosedOnEveryPath) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  const int before = open_fds();
  EXPECT_EQ(put_misc_param("a", "1", nullptr), 0);
  EXPECT_EQ(put_dom_param("1", "a", "1", nullptr), 0);
  EXPECT_EQ(put_parameter("1", "a", "1", nullptr), 0);
  EXPECT_EQ(del_misc_param("a", nullptr), 0);
  EXPECT_EQ(del_dom_param("1", "a", nullptr), 0);
  EXPECT_EQ(del_parameter("1", "a", "1", nullptr), 0);
  EXPECT_EQ(open_fds(), before);

  // Tables that refuse every write: each statement fails on the server.
  db_sql("INSERT INTO misc VALUES ('a', '1'); INSERT INTO dom_param VALUES (1, 'a', '1');"
         " INSERT INTO Parameters VALUES (1, 'a', '1');");
  for (const char* table : {"misc", "dom_param", "Parameters"})
    for (const char* event : {"INSERT", "DELETE"})
      db_sql(std::string("CREATE TRIGGER ") + table + "_" + event + " BEFORE " + event + " ON " +
             table + " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '" + table +
             " is read-only';");
  run_result r = in_child([] {
    const int before = open_fds();
    int results = put_misc_param("a", "1", nullptr);
    results += put_dom_param("1", "a", "1", nullptr);
    results += put_parameter("1", "a", nullptr, nullptr);
    results += del_misc_param("a", nullptr);
    results += del_dom_param("1", "a", nullptr);
    results += del_parameter("1", "a", nullptr, nullptr);
    std::printf("=%d %d\n", results, open_fds() - before);
  });
  EXPECT_EQ(last_line(r.out), "=-6 0");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to put parameter a into misc: misc is read-only\n"
            "cifsctl: Unable to put parameter a into dom_param: dom_param is read-only\n"
            "cifsctl: Unable to put parameter a into Parameters: Parameters is read-only\n"
            "cifsctl: Unable to delete parameter a from misc: misc is read-only\n"
            "cifsctl: Unable to delete parameter a from dom_param: dom_param is read-only\n"
            "cifsctl: Unable to delete parameter a from Parameters: Parameters is read-only\n");

  // A connection the caller passed stays open after a failure.
  EXPECT_EQ(mysql_ping(conn.get()), 0);
}

TEST(PutConnection, FailedConnectReportsAndFails) {
  start_mariadb();
  run_result r = in_child([] {
    setenv("TAV_DB_NAME", "missing", 1);
    int results = put_misc_param("a", "1", nullptr);
    results += put_dom_param("1", "a", "1", nullptr);
    results += put_parameter("1", "a", "1", nullptr);
    results += del_misc_param("a", nullptr);
    results += del_dom_param("1", "a", nullptr);
    results += del_parameter("1", "a", nullptr, nullptr);
    std::printf("=%d\n", results);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(last_line(r.out), "=-6");
  std::string connect_failed =
      "cifsctl: db_connect: failed to connect to database: Error: Unknown database 'missing'\n";
  std::string expected;
  for (int i = 0; i < 6; ++i)
    expected += connect_failed + "cifsctl: Unable to connect to mysql database\n";
  EXPECT_EQ(r.err, expected);
}

TEST(PutKeyCheck, QuoteOrBackslashInAKeyStopsTheProcess) {
  start_mariadb();
  struct key_case {
    int line;
    std::function<void()> call;
  };
  const std::vector<key_case> cases = {
      {16, [] { set_domain_status("1' or '1", 0, nullptr); }},
      {45, [] { put_misc_param("a'b", "v", nullptr); }},
      {68, [] { put_dom_param("1\\", "p", "v", nullptr); }},
      {69, [] { put_dom_param("1", "p\"", "v", nullptr); }},
      {102, [] { put_parameter("'", "p", "v", nullptr); }},
      {103, [] { put_parameter("1", "p'", "v", nullptr); }},
      {135, [] { del_misc_param("x'", nullptr); }},
      {165, [] { del_dom_param("1'", "p", nullptr); }},
      {166, [] { del_dom_param("1", "p'", nullptr); }},
      {196, [] { del_parameter("1'", "p", nullptr, nullptr); }},
      {197, [] { del_parameter("1", "p'", "v", nullptr); }},
  };
  for (const key_case& c : cases) {
    run_result r = in_child(c.call);
    EXPECT_EQ(r.status, 128 + SIGABRT) << "line " << c.line;
    EXPECT_EQ(r.err, "cifsctl: put:" + std::to_string(c.line) + ": " + key_assertion + "\n");
  }
  // Nothing reached the database; values with quotes are no keys.
  EXPECT_EQ(db_sql("SELECT (SELECT COUNT(*) FROM misc) + (SELECT COUNT(*) FROM dom_param) + "
                   "(SELECT COUNT(*) FROM Parameters)"),
            "0\n");
  EXPECT_EQ(put_dom_param("1", "p", "it's", nullptr), 0);
}
