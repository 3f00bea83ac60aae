#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "runtime/db.h"
#include "runtime/get.h"
#include "runtime/message.h"
#include "runtime/put.h"
#include "tests/harness.h"
#include "tests/mariadb.h"

namespace {

// "münchen.test" and its ASCII form.
const char munich[] = "m\xC3\xBCnchen.test";
const char munich_ace[] = "xn--mnchen-3ya.test";

run_result in_child(const std::function<void()>& body) {
  return run_in_child([&] {
    program_path = "cifsctl";
    body();
  });
}

std::string shown(const char* text) {
  return text ? "[" + std::string(text) + "]" : "(absent)";
}

// Two domains with hosting, addresses, a client, a parameter set, services,
// limits and a DNS zone each; domain 3 has nothing but its row.
void seed_domains() {
  db_sql(
      "INSERT INTO clients (id, email) VALUES (10, 'owner@a.test'), (11, NULL), (12, '');\n"
      "INSERT INTO domains (id, name, status, htype, params_id, limits_id, dns_zone_id, cl_id)"
      " VALUES (1, 'a.test', 5, 'vrt_hst', 100, 200, 300, 10),"
      " (2, 'Mixed.Example.TEST', 0, NULL, 101, 201, NULL, 11),"
      " (3, 'bare.test', NULL, 'none', NULL, NULL, NULL, 12),"
      " (4, 'xn--mnchen-3ya.test', 0, 'vrt_hst', NULL, NULL, NULL, 99);\n"
      "INSERT INTO IP_Addresses (id, ip_address) VALUES (50, '192.0.2.10'), (51, NULL);\n"
      "INSERT INTO hosting (dom_id, ip_address_id, fp, fp_ssl) VALUES"
      " (1, 50, 'true', 'false'), (2, 51, 'false', 'trueish');\n"
      "INSERT INTO Parameters (id, parameter, value) VALUES (100, 'php', 'true'),"
      " (101, 'php', NULL), (400, 'quota', '2048');\n"
      "INSERT INTO DomainServices (dom_id, type, parameters_id) VALUES (1, 'mail', 400);\n"
      "INSERT INTO Limits (id, limit_name, value) VALUES (200, 'disk_space', '1073741824');\n"
      "INSERT INTO dns_zone (id) VALUES (300);\n"
      "INSERT INTO anon_ftp (dom_id, status) VALUES (1, 'true'), (2, 'false');\n"
      "INSERT INTO dom_param (dom_id, param, val) VALUES (1, 'shell', '/bin/sh'),"
      " (1, 'nothing', NULL);\n");
}

}  // namespace

TEST(GetDomainValues, ReadsValuesNoRowsAndNulls) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);

  EXPECT_EQ(shown(get_ip_address("1", conn.get())), "[192.0.2.10]");
  EXPECT_EQ(shown(get_ip_address("2", nullptr)), "[]");  // NULL address
  EXPECT_EQ(shown(get_ip_address("3", conn.get())), "[]");  // no hosting

  EXPECT_EQ(shown(get_domain_htype("1", conn.get())), "[vrt_hst]");
  EXPECT_EQ(shown(get_domain_htype("2", nullptr)), "[]");

  EXPECT_EQ(shown(get_dom_param("1", "shell", conn.get())), "[/bin/sh]");
  EXPECT_EQ(shown(get_dom_param("1", "nothing", nullptr)), "[]");  // NULL value
  EXPECT_EQ(shown(get_dom_param("1", "missing", conn.get())), "[]");

  EXPECT_EQ(shown(get_domain_parameter("1", "php", conn.get())), "[true]");
  EXPECT_EQ(shown(get_domain_parameter("2", "php", nullptr)), "[]");
  EXPECT_EQ(shown(get_domain_parameter("3", "php", conn.get())), "[]");

  EXPECT_EQ(shown(get_service_parameter("1", "mail", "quota", conn.get())), "[2048]");
  EXPECT_EQ(shown(get_service_parameter("1", "web", "quota", nullptr)), "[]");

  EXPECT_EQ(shown(get_domain_limit("1", "disk_space", conn.get())), "[1073741824]");
  EXPECT_EQ(shown(get_domain_limit("1", "traffic", nullptr)), "[]");

  EXPECT_EQ(shown(get_dns_zone_id("1", conn.get())), "[300]");
  EXPECT_EQ(shown(get_dns_zone_id("2", nullptr)), "[]");
  EXPECT_EQ(shown(get_dns_zone_id("9", conn.get())), "[]");
}

TEST(GetDomainValues, EachReaderKeepsItsOwnBuffer) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  const char* ip = get_ip_address("1", conn.get());
  const char* param = get_dom_param("1", "shell", conn.get());
  const char* limit = get_domain_limit("1", "disk_space", conn.get());
  const char* zone = get_dns_zone_id("1", conn.get());
  get_domain_htype("1", conn.get());
  get_misc_param("anything", conn.get());
  get_service_parameter("1", "mail", "quota", conn.get());
  get_domain_parameter("1", "php", conn.get());
  get_client_email("1", conn.get());
  EXPECT_EQ(shown(ip), "[192.0.2.10]");
  EXPECT_EQ(shown(param), "[/bin/sh]");
  EXPECT_EQ(shown(limit), "[1073741824]");
  EXPECT_EQ(shown(zone), "[300]");
  // The same reader overwrites its own result.
  get_dom_param("1", "nothing", conn.get());
  EXPECT_EQ(shown(param), "[]");
}

TEST(GetDomainValues, ValueWithQuotesReadBackIntact) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  const std::string value = "it's \"quoted\" and back\\slashed\\";
  ASSERT_EQ(put_dom_param("1", "motto", value.c_str(), conn.get()), 0);
  EXPECT_EQ(shown(get_dom_param("1", "motto", nullptr)), "[" + value + "]");
  ASSERT_EQ(put_parameter("100", "motto", value.c_str(), nullptr), 0);
  EXPECT_EQ(shown(get_domain_parameter("1", "motto", conn.get())), "[" + value + "]");
  // A value longer than the buffer comes back cut to 4095 bytes.
  const std::string long_value(5000, 'x');
  ASSERT_EQ(put_misc_param("admin_email", long_value.c_str(), conn.get()), 0);
  EXPECT_EQ(shown(get_client_email("3", conn.get())), "[" + long_value.substr(0, 4095) + "]");
}

TEST(GetDomainValues, QueryFailuresAreReported) {
  start_mariadb();
  seed_domains();
  db_sql("DROP TABLE IP_Addresses; DROP TABLE dom_param; DROP TABLE Parameters;"
         " DROP TABLE Limits; DROP TABLE dns_zone;");
  run_result r = in_child([] {
    unique_mysql conn(db_open());
    std::string out = "=" + shown(get_ip_address("1", conn.get()));
    out += " " + shown(get_dom_param("1", "shell", nullptr));
    out += " " + shown(get_domain_parameter("1", "php", conn.get()));
    out += " " + shown(get_service_parameter("1", "mail", "quota", nullptr));
    out += " " + shown(get_domain_limit("1", "disk_space", conn.get()));
    out += " " + shown(get_dns_zone_id("1", conn.get()));
    std::printf("%s\n", out.c_str());
  });
  EXPECT_EQ(r.status, 0);
  // dns_zone_id is a column of domains, which is still there.
  EXPECT_EQ(last_line(r.out), "=(absent) (absent) (absent) (absent) (absent) [300]");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query IP address: Table 'tav.IP_Addresses' doesn't exist\n"
            "cifsctl: Unable to query domain parameter shell: Table 'tav.dom_param' doesn't "
            "exist\n"
            "cifsctl: Unable to query domain parameter php: Table 'tav.Parameters' doesn't exist\n"
            "cifsctl: Unable to query domain parameter quota: Table 'tav.Parameters' doesn't "
            "exist\n"
            "cifsctl: Unable to query domain limit disk_space: Table 'tav.Limits' doesn't exist\n");

  db_sql("DROP TABLE domains;");
  r = in_child([] {
    std::string out = "=" + shown(get_dns_zone_id("1", nullptr));
    out += " " + shown(get_domain_htype("1", nullptr));
    std::printf("%s\n", out.c_str());
  });
  EXPECT_EQ(last_line(r.out), "=(absent) (absent)");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query dns_zone_id: Table 'tav.domains' doesn't exist\n"
            "cifsctl: Unable to query parameter by query select htype from domains where id='1': "
            "Table 'tav.domains' doesn't exist\n");
}

TEST(GetDomainValues, RowsLostOnTheWayAreAFailureNotAnEmptyValue) {
  start_mariadb();
  // A view whose rows fail while they are sent: the statement is accepted,
  // the result set never arrives.
  db_sql(
      "DROP TABLE dom_param;\n"
      "DELIMITER //\n"
      "CREATE FUNCTION lost_val() RETURNS TEXT BEGIN"
      " SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'rows lost'; RETURN ''; END//\n"
      "DELIMITER ;\n"
      "CREATE TABLE dom_param_rows (dom_id INT, param VARCHAR(245));\n"
      "INSERT INTO dom_param_rows VALUES (1, 'p');\n"
      "CREATE VIEW dom_param AS SELECT dom_id, param, lost_val() AS val FROM dom_param_rows;\n");
  run_result r = in_child([] {
    unique_mysql conn(db_open());
    std::printf("=%s\n", shown(get_dom_param("1", "p", conn.get())).c_str());
  });
  EXPECT_EQ(last_line(r.out), "=(absent)");
  EXPECT_EQ(r.err, "cifsctl: Unable to query domain parameter p: rows lost\n");
}

TEST(GetDomainValues, FailedConnectGivesEachReadersMessage) {
  start_mariadb();
  run_result r = in_child([] {
    setenv("TAV_DB_NAME", "missing", 1);
    std::string out = "=" + shown(get_ip_address("1", nullptr));
    out += " " + shown(get_dom_param("1", "p", nullptr));
    out += " " + shown(get_domain_parameter("1", "p", nullptr));
    out += " " + shown(get_service_parameter("1", "t", "p", nullptr));
    out += " " + shown(get_domain_limit("1", "l", nullptr));
    out += " " + shown(get_dns_zone_id("1", nullptr));
    out += " " + std::to_string(has_www_prefix("1", nullptr));
    out += " " + std::to_string(get_anon_ftp_status("1", nullptr));
    out += " " + std::to_string(get_frontpage_status("a.test", 1, nullptr));
    out += " " + shown(get_client_email("1", nullptr));
    out += " " + shown(get_dom_id_ex("a.test", nullptr, 0));
    out += " " + std::to_string(get_max_id("domains", nullptr));
    std::printf("%s\n", out.c_str());
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(last_line(r.out),
            "=(absent) (absent) (absent) (absent) (absent) (absent) -1 0 0 (absent) (absent) 0");
  const std::string failed =
      "cifsctl: db_connect: failed to connect to database: Error: Unknown database 'missing'\n";
  EXPECT_EQ(r.err,
            failed + "cifsctl: get_ip_address: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed +  // get_dns_zone_id adds nothing
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n" +
                failed + "cifsctl: Unable to connect to the mysql database\n");
}

TEST(GetDomainValues, OwnConnectionIsClosedGivenOneKept) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  const int before = open_fds();
  get_ip_address("1", nullptr);
  get_domain_htype("1", nullptr);
  get_dom_param("1", "shell", nullptr);
  get_domain_parameter("1", "php", nullptr);
  get_service_parameter("1", "mail", "quota", nullptr);
  get_domain_limit("1", "disk_space", nullptr);
  has_www_prefix("1", nullptr);
  get_anon_ftp_status("1", nullptr);
  get_frontpage_status("a.test", 0, nullptr);
  get_client_email("3", nullptr);
  get_dom_id("a.test", nullptr);
  get_dom_id_ex("none.test", nullptr, 1);
  find_domain_name("a.test");
  find_domain_name("none.test");
  get_max_id("domains", nullptr);
  get_dns_zone_id("1", nullptr);
  EXPECT_EQ(open_fds(), before);

  // And on the failure paths.
  db_sql("DROP TABLE hosting; DROP TABLE dns_recs; DROP TABLE anon_ftp; DROP TABLE clients;");
  EXPECT_EQ(get_ip_address("1", nullptr), nullptr);
  EXPECT_EQ(has_www_prefix("1", nullptr), -1);
  EXPECT_EQ(get_anon_ftp_status("1", nullptr), 0);
  EXPECT_EQ(get_frontpage_status("a.test", 0, nullptr), 0);
  EXPECT_EQ(get_client_email("1", nullptr), nullptr);
  EXPECT_EQ(get_max_id("nothing_here", nullptr), 0);
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(mysql_ping(conn.get()), 0);
}

TEST(GetDomainStatus, StatusAndItsFailureCodes) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  unsigned int status = 77;
  EXPECT_EQ(get_domain_status("1", &status, conn.get()), 0);
  EXPECT_EQ(status, 5u);

  run_result r = in_child([] {
    unique_mysql conn(db_open());
    unsigned int status = 77;
    int missing = get_domain_status("9", &status, conn.get());
    int null = get_domain_status("3", &status, conn.get());
    int no_conn = get_domain_status("1", &status, nullptr);
    std::printf("=%d %d %d %u\n", missing, null, no_conn, status);
  });
  EXPECT_EQ(last_line(r.out), "=-2 -3 -1 77");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to get status for domain with id=\"9\": such domain is not exist.\n"
            "cifsctl: Unable to get status for domain with id=\"3\": error translate status value "
            "from char to unsigned int.\n"
            "cifsctl: Unable to get status for domain with id=\"1\": no database connection\n");

  // A panel whose status column holds text.
  db_sql("ALTER TABLE domains MODIFY status VARCHAR(32) NULL;"
         " UPDATE domains SET status='active' WHERE id=1;"
         " UPDATE domains SET status='-1' WHERE id=2;"
         " UPDATE domains SET status='4294967296' WHERE id=4;");
  r = in_child([] {
    unique_mysql conn(db_open());
    unsigned int status = 77;
    int letters = get_domain_status("1", &status, conn.get());
    int negative = get_domain_status("2", &status, conn.get());
    int too_big = get_domain_status("4", &status, conn.get());
    std::printf("=%d %d %d %u\n", letters, negative, too_big, status);
  });
  EXPECT_EQ(last_line(r.out), "=-3 -3 -3 77");

  db_sql("DROP TABLE domains;");
  r = in_child([] {
    unique_mysql conn(db_open());
    unsigned int status = 77;
    std::printf("=%d\n", get_domain_status("1", &status, conn.get()));
  });
  EXPECT_EQ(last_line(r.out), "=-1");
  EXPECT_EQ(r.err, "cifsctl: Unable to get status for domain with id=\"1\": Table "
                            "'tav.domains' doesn't exist\n");
}

TEST(GetWwwPrefix, RecordOfTheDomainOrOfItsSubdomain) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  // Zone 300 of domain 1 has no www record yet.
  db_sql("INSERT INTO dns_recs (dns_zone_id, type, host) VALUES (300, 'MX', 'www.a.test.'),"
         " (300, 'A', 'ftp.a.test.'), (301, 'A', 'www.a.test.');");
  EXPECT_EQ(has_www_prefix("1", conn.get()), 0);
  db_sql("INSERT INTO dns_recs (dns_zone_id, type, host) VALUES (300, 'CNAME', 'www.a.test.');");
  EXPECT_EQ(has_www_prefix("1", conn.get()), 1);
  db_sql("DELETE FROM dns_recs WHERE type='CNAME';"
         " INSERT INTO dns_recs (dns_zone_id, type, host) VALUES (300, 'A', 'www.a.test.');");
  EXPECT_EQ(has_www_prefix("1", nullptr), 1);
  // The record belongs to the subdomain www, not to the domain.
  db_sql("INSERT INTO subdomains (dom_id, name) VALUES (1, 'www');");
  EXPECT_EQ(has_www_prefix("1", conn.get()), 0);
  EXPECT_EQ(has_www_prefix("2", conn.get()), 0);  // no zone at all
  EXPECT_EQ(has_www_prefix("9", conn.get()), 0);  // no domain

  // The second statement is sent only after a www record was found.
  db_sql("DROP TABLE subdomains;");
  run_result r = in_child([] {
    unique_mysql conn(db_open());
    int without_record = has_www_prefix("2", conn.get());
    int with_record = has_www_prefix("1", conn.get());
    std::printf("=%d %d\n", without_record, with_record);
  });
  EXPECT_EQ(last_line(r.out), "=0 -1");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query www subdomain: Table 'tav.subdomains' doesn't exist\n");

  db_sql("DROP TABLE dns_recs;");
  r = in_child([] { std::printf("=%d\n", has_www_prefix("1", nullptr)); });
  EXPECT_EQ(last_line(r.out), "=-1");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query www prefix: Table 'tav.dns_recs' doesn't exist\n");
}

TEST(GetFlags, AnonFtpAndFrontpageBeginWithTrue) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(get_anon_ftp_status("1", conn.get()), 1);
  EXPECT_EQ(get_anon_ftp_status("2", nullptr), 0);
  EXPECT_EQ(get_anon_ftp_status("3", conn.get()), 0);  // no row
  db_sql("INSERT INTO anon_ftp (dom_id, status) VALUES (3, 'true-ish'), (4, NULL);");
  EXPECT_EQ(get_anon_ftp_status("3", conn.get()), 1);
  EXPECT_EQ(get_anon_ftp_status("4", conn.get()), 0);
  db_sql("UPDATE anon_ftp SET status='tru' WHERE dom_id=3;");
  EXPECT_EQ(get_anon_ftp_status("3", conn.get()), 0);

  // By name; the flag picks fp_ssl.
  EXPECT_EQ(get_frontpage_status("a.test", 0, conn.get()), 1);
  EXPECT_EQ(get_frontpage_status("a.test", 1, nullptr), 0);
  EXPECT_EQ(get_frontpage_status("mixed.example.test", 0, conn.get()), 0);
  EXPECT_EQ(get_frontpage_status("Mixed.Example.TEST", 7, conn.get()), 1);
  EXPECT_EQ(get_frontpage_status("bare.test", 0, conn.get()), 0);

  db_sql("DROP TABLE anon_ftp; DROP TABLE hosting;");
  run_result r = in_child([] {
    int anon_ftp = get_anon_ftp_status("1", nullptr);
    int frontpage = get_frontpage_status("a.test", 0, nullptr);
    std::printf("=%d %d\n", anon_ftp, frontpage);
  });
  EXPECT_EQ(last_line(r.out), "=0 0");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query anon_ftp: Table 'tav.anon_ftp' doesn't exist\n"
            "cifsctl: Unable to query frontpage status: Table 'tav.hosting' doesn't exist\n");
}

TEST(GetClient, EmailFallsBackToAdminEmail) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(shown(get_client_email("1", conn.get())), "[owner@a.test]");

  // NULL address, empty address, a client that is not there, no domain:
  // without admin_email each is reported and absent.
  run_result r = in_child([] {
    unique_mysql conn(db_open());
    std::string out = "=" + shown(get_client_email("2", conn.get()));
    out += " " + shown(get_client_email("3", nullptr));
    out += " " + shown(get_client_email("4", conn.get()));
    out += " " + shown(get_client_email("9", conn.get()));
    std::printf("%s\n", out.c_str());
  });
  EXPECT_EQ(last_line(r.out), "=(absent) (absent) (absent) (absent)");
  EXPECT_EQ(r.err, "cifsctl: Unable to define admin email\n"
                            "cifsctl: Unable to define admin email\n"
                            "cifsctl: Unable to define admin email\n"
                            "cifsctl: Unable to define admin email\n");

  db_sql("INSERT INTO misc (param, val) VALUES ('admin_email', 'admin@panel.test');");
  EXPECT_EQ(shown(get_client_email("2", conn.get())), "[admin@panel.test]");
  EXPECT_EQ(shown(get_client_email("3", nullptr)), "[admin@panel.test]");
  EXPECT_EQ(shown(get_client_email("9", conn.get())), "[admin@panel.test]");
  EXPECT_EQ(shown(get_client_email("1", conn.get())), "[owner@a.test]");

  db_sql("DROP TABLE clients;");
  r = in_child([] { std::printf("=%s\n", shown(get_client_email("1", nullptr)).c_str()); });
  EXPECT_EQ(last_line(r.out), "=(absent)");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to define clients email: Table 'tav.clients' doesn't exist\n");
}

TEST(GetClient, IdAsNumberOrZero) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(get_client_id("1", conn.get()), 10);
  EXPECT_EQ(get_client_id("4", conn.get()), 0);  // client 99 is not there
  EXPECT_EQ(get_client_id("9", conn.get()), 0);

  db_sql("DROP TABLE clients;");
  run_result r = in_child([] {
    unique_mysql conn(db_open());
    int with_conn = get_client_id("1", conn.get());
    int without = get_client_id("1", nullptr);
    std::printf("=%d %d\n", with_conn, without);
  });
  EXPECT_EQ(last_line(r.out), "=0 0");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to define client's ID: Table 'tav.clients' doesn't exist\n"
            "cifsctl: Unable to define client's ID: no database connection\n");
}

TEST(GetDomId, FindsByAsciiFormAndEndsTheProcessWhenMissing) {
  start_mariadb();
  seed_domains();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(shown(get_dom_id("a.test", conn.get())), "[1]");
  EXPECT_EQ(shown(get_dom_id("mixed.example.test", nullptr)), "[2]");
  EXPECT_EQ(shown(get_dom_id(munich, conn.get())), "[4]");
  EXPECT_EQ(shown(get_dom_id(munich_ace, conn.get())), "[4]");
  EXPECT_EQ(shown(get_dom_id_ex("none.test", conn.get(), 1)), "(absent)");
  EXPECT_EQ(shown(get_dom_id_ex("bare.test", conn.get(), 1)), "[3]");

  run_result r = in_child([] {
    unique_mysql conn(db_open());
    get_dom_id("none.test", conn.get());
    std::printf("=still running\n");
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("=still running"), std::string::npos);
  EXPECT_EQ(r.err,
            "cifsctl: get_dom_id(): domains record not found in DB for 'none.test'\n");

  // The name in the report is the caller's, not its ASCII form.
  r = in_child([] { get_dom_id_ex("n\xC3\xBC.test", nullptr, 0); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "cifsctl: get_dom_id(): domains record not found in DB for 'n\xC3\xBC.test'\n");

  // A label libidn refuses (U+FFFC is prohibited).
  r = in_child([] { get_dom_id_ex("bad\xEF\xBF\xBC.test", nullptr, 1); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cifsctl: idn_toascii() failed: Stringprep error\n");

  db_sql("DROP TABLE domains;");
  r = in_child([] { get_dom_id_ex("a.test", nullptr, 1); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query domain ID: Table 'tav.domains' doesn't exist\n");
}

TEST(GetDomId, QuoteMadeByNameprepStaysInsideTheString) {
  start_mariadb();
  seed_domains();
  db_sql("INSERT INTO domains (id, name) VALUES (20, 'o''brien.test');");
  // U+FF07 (full-width apostrophe) passes the key check and becomes ' in
  // the ASCII form: the lookup finds exactly that name.
  const char name[] = "o\xEF\xBC\x87" "brien.test";
  EXPECT_EQ(shown(get_dom_id(name, nullptr)), "[20]");
  // Without escaping this would read as name='x' or '1'='1'.
  const char injection[] = "x\xEF\xBC\x87 or \xEF\xBC\x87" "1\xEF\xBC\x87=\xEF\xBC\x87" "1";
  EXPECT_EQ(shown(get_dom_id_ex(injection, nullptr, 1)), "(absent)");
}

TEST(GetDomainName, StoredNameInLowerCase) {
  start_mariadb();
  seed_domains();
  EXPECT_EQ(shown(find_domain_name("mixed.example.test")), "[mixed.example.test]");
  EXPECT_EQ(shown(find_domain_name("MIXED.example.test")), "[mixed.example.test]");
  EXPECT_EQ(shown(find_domain_name("a.test")), "[a.test]");
  EXPECT_EQ(shown(find_domain_name("none.test")), "(absent)");
  // No IDN conversion: the UTF-8 form is not the stored ASCII form.
  EXPECT_EQ(shown(find_domain_name(munich)), "(absent)");
  EXPECT_EQ(shown(find_domain_name(munich_ace)), "[xn--mnchen-3ya.test]");
  // Shares lowercase_copy's buffer.
  const char* name = find_domain_name("a.test");
  lowercase_copy("OTHER");
  EXPECT_EQ(shown(name), "[other]");

  run_result r = in_child([] {
    setenv("TAV_DB_NAME", "missing", 1);
    find_domain_name("a.test");
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "cifsctl: db_connect: failed to connect to database: Error: Unknown database "
            "'missing'\n"
            "cifsctl: Unable to connect to the mysql database\n");

  db_sql("DROP TABLE domains;");
  r = in_child([] { find_domain_name("a.test"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "cifsctl: Unable to query domain name: Table 'tav.domains' doesn't exist\n");
}

TEST(GetMaxId, NextIdAndPlainTableNamesOnly) {
  start_mariadb();
  unique_mysql conn = connect_db();
  ASSERT_TRUE(conn);
  EXPECT_EQ(get_max_id("domains", conn.get()), 1);
  db_sql("INSERT INTO domains (id, name) VALUES (3, 'c.test'), (41, 'd.test'), (7, 'e.test');");
  EXPECT_EQ(get_max_id("domains", conn.get()), 42);
  EXPECT_EQ(get_max_id("domains", nullptr), 42);
  EXPECT_EQ(get_max_id("dns_zone", nullptr), 1);

  run_result r = in_child([] {
    unique_mysql conn(db_open());
    std::string out = "=";
    for (const char* table : {"domains where id<5", "domains;drop table misc", "`domains`", "",
                              static_cast<const char*>(nullptr)})
      out += std::to_string(get_max_id(table, conn.get())) + " ";
    std::printf("%s\n", out.c_str());
  });
  EXPECT_EQ(last_line(r.out), "=0 0 0 0 0 ");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to define max id: invalid table name \"domains where id<5\"\n"
            "cifsctl: Unable to define max id: invalid table name \"domains;drop table misc\"\n"
            "cifsctl: Unable to define max id: invalid table name \"`domains`\"\n"
            "cifsctl: Unable to define max id: invalid table name \"\"\n"
            "cifsctl: Unable to define max id: invalid table name \"\"\n");
  EXPECT_EQ(db_sql("SELECT COUNT(*) FROM misc"), "0\n");

  r = in_child([] { std::printf("=%d\n", get_max_id("no_such_table", nullptr)); });
  EXPECT_EQ(last_line(r.out), "=0");
  EXPECT_EQ(r.err,
            "cifsctl: Unable to define max id: Table 'tav.no_such_table' doesn't exist\n");

  // The next id would not fit the result.
  db_sql("INSERT INTO domains (id, name) VALUES (2147483647, 'last.test');");
  r = in_child([] { std::printf("=%d\n", get_max_id("domains", nullptr)); });
  EXPECT_EQ(last_line(r.out), "=0");
  EXPECT_EQ(r.err, "cifsctl: Unable to define max id: id out of range\n");
}

TEST(GetRunMode, OneToThreeOrTheProcessEnds) {
  unsetenv("TAV_RUN_MODE");
  EXPECT_EQ(get_run_mode(), 0);
  for (const char* mode : {"1", "2", "3"}) {
    setenv("TAV_RUN_MODE", mode, 1);
    EXPECT_EQ(get_run_mode(), std::atoi(mode));
  }
  for (const char* mode : {"4", "0", "", "abc", "-1", "99999999999999999999999"}) {
    setenv("TAV_RUN_MODE", mode, 1);
    run_result r = in_child([] { std::printf("=%d\n", get_run_mode()); });
    EXPECT_EQ(r.status, 1) << "TAV_RUN_MODE=" << mode;
    EXPECT_EQ(r.err, "cifsctl: unrecognized TAV_RUNMODE\n") << "TAV_RUN_MODE=" << mode;
  }
  unsetenv("TAV_RUN_MODE");
}

TEST(GetLowercaseCopy, OnlyAsciiLettersChangeAndLongTextIsCut) {
  EXPECT_EQ(shown(lowercase_copy("Mixed.EXAMPLE.test-09_Z")), "[mixed.example.test-09_z]");
  // UTF-8 bytes stay as they are: "MÜNCHEN" keeps its Ü.
  EXPECT_EQ(shown(lowercase_copy("M\xC3\x9CNCHEN")), "[m\xC3\x9cnchen]");
  EXPECT_EQ(shown(lowercase_copy("")), "[]");
  EXPECT_EQ(lowercase_copy(nullptr), nullptr);
  const std::string long_text(5000, 'Q');
  EXPECT_EQ(shown(lowercase_copy(long_text.c_str())), "[" + std::string(4095, 'q') + "]");
}

TEST(GetKeyCheck, QuoteOrBackslashInAKeyStopsTheProcess) {
  struct key_case {
    const char* unit;
    int line;
    std::function<void()> call;
  };
  unsigned int status = 0;
  const std::vector<key_case> cases = {
      {"get", 458, [] { get_ip_address("1'", nullptr); }},
      {"get", 430, [] { get_domain_htype("1\\", nullptr); }},
      {"get", 498, [&] { get_domain_status("1\"", &status, nullptr); }},
      {"get", 532, [] { get_dom_param("1'", "p", nullptr); }},
      {"get", 533, [] { get_dom_param("1", "p'", nullptr); }},
      {"get", 575, [] { get_domain_parameter("'", "p", nullptr); }},
      {"get", 576, [] { get_domain_parameter("1", "\"", nullptr); }},
      {"get", 619, [] { get_service_parameter("1'", "t", "p", nullptr); }},
      {"get", 620, [] { get_service_parameter("1", "t'", "p", nullptr); }},
      {"get", 621, [] { get_service_parameter("1", "t", "p'", nullptr); }},
      {"get", 665, [] { get_domain_limit("1'", "l", nullptr); }},
      {"get", 666, [] { get_domain_limit("1", "l'", nullptr); }},
      {"get", 725, [] { has_www_prefix("1' or '1'='1", nullptr); }},
      {"get", 780, [] { get_anon_ftp_status("1'", nullptr); }},
      {"get", 838, [] { get_frontpage_status("a'.test", 1, nullptr); }},
      {"get", 885, [] { get_client_email("1'", nullptr); }},
      {"get", 934, [] { get_client_id("1'", nullptr); }},
      {"get", 969, [] { get_dom_id("a'.test", nullptr); }},
      {"get", 969, [] { get_dom_id_ex("a\\.test", nullptr, 1); }},
      {"get", 1037, [] { find_domain_name("a'.test"); }},
      {"get", 1134, [] { get_dns_zone_id("1'", nullptr); }},
  };
  for (const key_case& c : cases) {
    run_result r = in_child(c.call);
    EXPECT_EQ(r.status, 128 + SIGABRT) << c.unit << ":" << c.line;
    EXPECT_EQ(r.err, "cifsctl: " + std::string(c.unit) + ":" + std::to_string(c.line) + ": " +
                         key_assertion + "\n");
  }
}
