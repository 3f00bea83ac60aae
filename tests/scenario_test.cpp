// The panel's requests end to end: the shipped binary against a private
// MariaDB holding the panel's tables and a real Samba (Debian's smbd and nmbd,
// started and stopped through the product's rc script, loopback only), each
// step checked the way a user would: with Samba's own clients on 127.0.0.1.
// One story, in order; the unit tests cover the details.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness.h"
#include "tests/mariadb.h"
#include "tests/samba_fixture.h"

namespace {

const std::string rc_dir = std::string(test_product_root) + "/rc.d";
const std::string admin_bin = std::string(test_product_root) + "/admin/bin";
const std::string smbusers = "/usr/local/etc/smbusers";
const std::string smbd_pid_file = std::string(samba_test_dir) + "/pid/smbd.pid";
// The clients read a configuration of their own, so that what they show is
// the server's answer and not their own reading of the server's files.
const std::string client_conf = "/tmp/client.conf";
const std::string shares = "/opt/shares";

// The panel's data before the first request: settings, one allowed host,
// the file-server users and the package record of Samba.
constexpr char panel_sql[] = R"(
INSERT INTO module_fileserver_params (param, val) VALUES
  ('workgroup', 'WORKGROUP'), ('description', 'Panel files'), ('security', 'user');
INSERT INTO module_fileserver_hosts (name) VALUES ('127.0.0.1');
INSERT INTO module_fileserver_users (id, name, sys_name) VALUES (1, 'awhite', 'alice'), (2, 'bob', 'bob');
INSERT INTO Components (name, version) VALUES ('samba', '4.17');
)";

// Runs a panel request; expects exit status 0 and exactly out on standard
// output, nothing on standard error.
void request(const std::vector<std::string>& args, const std::string& out = "",
             const std::vector<std::string>& env = {}) {
  run_result r = run_cifsctl(args, env);
  r.err = without_vanished_pids(r.err);
  std::string line;
  for (const std::string& a : args)
    line += " " + a;
  EXPECT_EQ(0, r.status) << "cifsctl" << line << "\n" << r.err;
  EXPECT_EQ(out, r.out) << "cifsctl" << line;
  EXPECT_EQ("", r.err) << "cifsctl" << line;
}

// A request that ends in a restart of Samba: returns once the new smbd
// serves.
void request_and_wait(const std::vector<std::string>& args) {
  request(args);
  ASSERT_TRUE(eventually(accepts_on_445)) << "smbd does not serve after the restart";
}

// smbclient on //127.0.0.1/share as login%password ("" for a guest) running
// commands; standard output and error together, and the exit status.
run_result smb(const std::string& share, const std::string& login, const std::string& commands) {
  std::vector<std::string> argv{"/usr/bin/smbclient", "-s", client_conf, "//127.0.0.1/" + share};
  if (login.empty())
    argv.push_back("-N");
  else
    argv.insert(argv.end(), {"-U", login});
  argv.insert(argv.end(), {"-c", commands});
  run_result r = run_program(argv);
  r.out += r.err;
  return r;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The share names that `smbclient -L` lists, space-separated, sorted, and its
// whole output in *text.
std::string listed_shares(std::string* text = nullptr) {
  run_result r =
      run_program({"/usr/bin/smbclient", "-s", client_conf, "-L", "127.0.0.1", "-N"});
  std::set<std::string> names;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name, type;
    if (line.rfind('\t', 0) == 0 && words >> name >> type && (type == "Disk" || type == "IPC"))
      names.insert(name);
  }
  if (text)
    *text = r.out + r.err;
  std::string list;
  for (const std::string& n : names)
    list += (list.empty() ? "" : " ") + n;
  return list;
}

// The panel's own statement that a share exists, then its request.
void add_share(const std::string& values, const std::string& name, const std::string& path) {
  db_sql("INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, "
         "valid_users) VALUES (" + values + ");");
  request_and_wait({"--add-share", "--share-name=" + name, "--path=" + path});
}

std::string smbd_pid() { return file_exists(smbd_pid_file) ? read_file(smbd_pid_file) : ""; }

// A client that stays connected to a share until release() closes its input.
struct held_session {
  pid_t pid = -1;
  int input = -1;

  void open(const std::string& share, const std::string& login) {
    int in[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    pid = start_program("/usr/bin/smbclient",
                        {"smbclient", "-s", client_conf, "//127.0.0.1/" + share, "-U", login},
                        {in[0], null_stream, null_stream});
    close(in[0]);
    input = in[1];
    // smbclient reads commands only once the share is connected: the marker
    // file says that the session is up.
    const std::string command = "!touch /tmp/session-up\n";
    ASSERT_EQ(static_cast<ssize_t>(command.size()), write(input, command.data(), command.size()));
    ASSERT_TRUE(eventually([] { return file_exists("/tmp/session-up"); }))
        << "the client did not connect";
  }

  // Closing its input ends smbclient; returns its exit status.
  int release() {
    close(input);
    int status = wait_program(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

class Scenario : public ::testing::Test {
 protected:
  void SetUp() override {
    write_product_conf();
    setup_samba();
    start_mariadb();
    db_sql(panel_sql);
    write_file(rc_dir + "/samba", std::string("#!/bin/sh\n") + samba_rc_script_body, 0755);
    // The panel's real sibling utilities, where it keeps them.
    write_file(admin_bin + "/rcswitch", read_file(std::string(BUILD_DIR) + "/rcswitch"), 0755);
    write_file(admin_bin + "/compctl", read_file(std::string(BUILD_DIR) + "/compctl"), 0755);
    write_file(client_conf, "[global]\n\tworkgroup = CLIENTSIDE\n");
    add_system_user("alice");
    add_system_user("bob");

    make_dirs(shares);
    make_dirs(shares + "/private", 0700);
    ASSERT_EQ(0, system(("chown alice " + shares + "/private").c_str()));
    make_dirs(shares + "/pub");
    write_file(shares + "/pub/readme.txt", "Welcome, guest.\n");
    make_dirs(shares + "/drop", 0777);
    write_file("/tmp/note.txt", "Alice's note\n");
  }
};

TEST_F(Scenario, ThePanelsRequestsAsClientsSeeThem) {
  {
    SCOPED_TRACE("the package check finds smbd and leaves one include line");
    request({"--check-packages"}, "0\n");
    std::string conf = read_file("/usr/local/etc/smb.conf");
    EXPECT_TRUE(conf.ends_with("\ninclude = /usr/local/etc/smb.conf.include\n")) << conf;
    EXPECT_EQ(conf.find("include ="), conf.rfind("include ="));
  }
  {
    SCOPED_TRACE("the first configuration, then Samba started and enabled");
    request({"--reconfigure-all", "-w"});
    EXPECT_EQ("", read_file(smbusers));
    request({"--start"});
    EXPECT_EQ("samba_enable=\"YES\"\n", read_file("/etc/rc.conf.d/samba"));
    ASSERT_TRUE(eventually(accepts_on_445));
    request({"--status"}, "is running\n");
    EXPECT_EQ("IPC$", listed_shares());
  }
  {
    SCOPED_TRACE("users: alice logs in as awhite (mapped), bob as himself");
    request({"--add-smbuser", "--smbuser-name=awhite", "--user-name=alice"});
    request({"--add-smbuser", "--smbuser-name=bob", "--user-name=bob"});
    request({"--set-smbuser-password", "--smbuser-name=awhite", "--user-name=alice"}, "",
            {"TAV_PASSWORD=Alice pw'1"});
    request({"--set-smbuser-password", "--smbuser-name=bob", "--user-name=bob"}, "",
            {"TAV_PASSWORD=Bob-pw-2"});
    EXPECT_EQ("alice = awhite\n", read_file(smbusers));
    EXPECT_EQ("alice\nbob\n", pdbedit_users());
  }
  {
    SCOPED_TRACE("shares: private (alice, writable), pub (guests, read only), drop (guests only)");
    add_share("1, 'private', 'Alice''s files', '/opt/shares/private', 'true', 'false', 'select'",
              "private", shares + "/private");
    db_sql("INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1, 1);");
    request_and_wait({"--update-share", "--share-name=private", "--path=" + shares + "/private"});
    add_share("2, 'pub', 'Public', '/opt/shares/pub', 'false', 'true', 'any'", "pub",
              shares + "/pub");
    add_share("3, 'drop', NULL, '/opt/shares/drop', 'true', 'true', 'select'", "drop",
              shares + "/drop");
    std::string text;
    EXPECT_EQ("IPC$ drop private pub", listed_shares(&text)) << text;
    EXPECT_TRUE(has(text, "Alice's files")) << text;

    run_result r = smb("private", "awhite%Alice pw'1",
                       "put /tmp/note.txt note.txt; get note.txt /tmp/back.txt");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Alice's note\n", read_file("/tmp/back.txt"));
    struct stat st {};
    EXPECT_EQ(0, stat((shares + "/private/note.txt").c_str(), &st));
    const passwd* alice = getpwnam("alice");
    ASSERT_NE(nullptr, alice);
    EXPECT_EQ(alice->pw_uid, st.st_uid);  // written as her system account

    r = smb("private", "bob%Bob-pw-2", "ls");
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(has(r.out, "NT_STATUS_ACCESS_DENIED")) << r.out;

    r = smb("private", "awhite%wrong", "ls");
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(has(r.out, "NT_STATUS_LOGON_FAILURE")) << r.out;

    r = smb("pub", "", "ls; get readme.txt /tmp/readme.txt");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(has(r.out, "readme.txt")) << r.out;
    EXPECT_EQ("Welcome, guest.\n", read_file("/tmp/readme.txt"));
    r = smb("pub", "", "put /tmp/note.txt note.txt");
    EXPECT_TRUE(has(r.out, "NT_STATUS_ACCESS_DENIED")) << r.out;
    EXPECT_FALSE(file_exists(shares + "/pub/note.txt"));

    r = smb("drop", "", "ls");
    EXPECT_EQ(0, r.status) << r.out;
  }
  {
    SCOPED_TRACE("twins and Samba's own names: restricted \u03a9, public \u03c9, homes, ipc$; "
                 "secret and \u017fecret apart, \u03c2 after \u03a3 refused");
    make_dirs(shares + "/long-s");
    write_file(shares + "/long-s/long-s.txt", "");
    make_dirs(shares + "/omega", 0700);
    ASSERT_EQ(0, system(("chown alice " + shares + "/omega").c_str()));
    write_file(shares + "/omega/secret.txt", "for alice only\n");
    make_dirs(shares + "/omega-pub");
    db_sql("INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, "
           "valid_users) VALUES (4, '\xce\xa9', NULL, '/opt/shares/omega', 'true', 'false', "
           "'select'), (5, '\xcf\x89', NULL, '/opt/shares/omega-pub', 'false', 'true', 'any'), "
           "(6, 'homes', NULL, '/opt/shares/pub', 'true', 'false', 'any'), "
           "(7, 'ipc$', NULL, '/opt/shares/pub', 'false', 'true', 'any'), "
           "(8, 'IPC $', NULL, '/opt/shares/pub', 'false', 'true', 'any'), "
           "(9, 'secret', NULL, '/opt/shares/pub', 'false', 'true', 'any'), "
           "(10, '\xc5\xbf" "ecret', NULL, '/opt/shares/long-s', 'false', 'true', 'any'), "
           "(11, '\xce\xa3', NULL, '/opt/shares/pub', 'false', 'true', 'any'), "
           "(12, '\xcf\x82', NULL, '/opt/shares/long-s', 'false', 'true', 'any');"
           "INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (4, 1);");
    run_result r = run_cifsctl({"--reconfigure-all"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("cifsctl: Share '\xcf\x89' (id 5) is left out of /usr/local/etc/smb.conf.include: "
              "Samba would merge it into the earlier share '\xce\xa9' (id 4)\n"
              "cifsctl: Share 'homes' (id 6) is left out of /usr/local/etc/smb.conf.include: "
              "Samba gives its name a meaning of its own\n"
              "cifsctl: Share 'ipc$' (id 7) is left out of /usr/local/etc/smb.conf.include: "
              "Samba gives its name a meaning of its own\n"
              "cifsctl: Share '\xcf\x82' (id 12) is left out of /usr/local/etc/smb.conf.include: "
              "Samba would merge it into the earlier share '\xce\xa3' (id 11)\n",
              without_vanished_pids(r.err));
    ASSERT_TRUE(eventually(accepts_on_445));
    for (const char* name : {"\xce\xa9", "\xcf\x89"}) {
      r = smb(name, "", "get secret.txt /tmp/leak.txt");
      EXPECT_NE(0, r.status) << name << ": " << r.out;
      EXPECT_FALSE(file_exists("/tmp/leak.txt")) << name;
    }
    EXPECT_EQ(0, smb("\xcf\x89", "awhite%Alice pw'1", "get secret.txt /tmp/own.txt").status);
    EXPECT_EQ("for alice only\n", read_file("/tmp/own.txt"));
    EXPECT_TRUE(has(smb("secret", "", "ls").out, "readme.txt"));
    EXPECT_TRUE(has(smb("\xc5\xbf" "ecret", "", "ls").out, "long-s.txt"));
    EXPECT_TRUE(has(smb("\xcf\x82", "", "ls").out, "readme.txt"));  // what \u03a3 serves
    // smbd takes "IPC $" for a share like any other.
    EXPECT_TRUE(has(smb("IPC $", "", "ls").out, "readme.txt"));
    for (const char* home : {"alice", "awhite"})
      EXPECT_TRUE(has(smb(home, "awhite%Alice pw'1", "ls").out, "NT_STATUS_BAD_NETWORK_NAME"))
          << home;
    db_sql("DELETE FROM module_fileserver_shares WHERE id > 3;"
           "DELETE FROM module_fileserver_valid_users WHERE sid = 4;");
    request_and_wait({"--reconfigure-all"});
    EXPECT_EQ("IPC$ drop private pub", listed_shares());
  }
  {
    SCOPED_TRACE("preferences: a new workgroup and server string after the restart");
    db_sql("UPDATE module_fileserver_params SET val = 'TEAM' WHERE param = 'workgroup';"
           "UPDATE module_fileserver_params SET val = 'Team files' WHERE param = 'description';");
    request_and_wait({"--set-preferences", "--workgroup=TEAM", "--security=user"});
    std::string text;
    listed_shares(&text);
    EXPECT_TRUE(has(text, "IPC Service (Team files)")) << text;
    // Without NetBIOS smbclient -L lists no workgroups; the server's LSA
    // answer names the workgroup it serves.
    run_result r = run_program(
        {"/usr/bin/rpcclient", "-s", client_conf, "-U%", "127.0.0.1", "-c", "lsaquery"});
    EXPECT_TRUE(has(r.out, "Domain Name: TEAM\n")) << r.out << r.err;
  }
  {
    SCOPED_TRACE("rename pub to public, delete drop");
    db_sql("UPDATE module_fileserver_shares SET name = 'public' WHERE id = 2;");
    request_and_wait({"--rename-share", "--old-share-name=pub", "--new-share-name=public"});
    EXPECT_EQ("IPC$ drop private public", listed_shares());
    EXPECT_EQ(0, smb("public", "", "get readme.txt /tmp/readme2.txt").status);
    EXPECT_EQ("Welcome, guest.\n", read_file("/tmp/readme2.txt"));
    EXPECT_TRUE(has(smb("pub", "", "ls").out, "NT_STATUS_BAD_NETWORK_NAME"));

    db_sql("DELETE FROM module_fileserver_shares WHERE id = 3;");
    request_and_wait({"--del-share", "--share-name=drop"});
    EXPECT_EQ("IPC$ private public", listed_shares());
    EXPECT_TRUE(has(smb("drop", "", "ls").out, "NT_STATUS_BAD_NETWORK_NAME"));
  }
  {
    SCOPED_TRACE("the usage report shows alice while she is connected");
    held_session session;
    session.open("private", "awhite%Alice pw'1");
    if (HasFatalFailure())
      return;
    run_result r = run_cifsctl({"--usage-status"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_FALSE(has(r.err, "cifsctl")) << r.err;  // smbstatus's own remarks pass through
    EXPECT_TRUE(has(r.out, " alice ")) << r.out;
    EXPECT_TRUE(has(r.out, "private ")) << r.out;
    EXPECT_EQ(0, session.release());
    r = run_cifsctl({"--usage-status"});
    EXPECT_EQ(0, r.status);
    EXPECT_FALSE(has(r.out, "private ")) << r.out;
  }
  {
    SCOPED_TRACE("alice's login renamed to alicew: the old name no longer reaches her share");
    request_and_wait({"--rename-smbuser", "--old-smbuser-name=awhite",
                      "--new-smbuser-name=alicew", "--user-name=alice"});
    EXPECT_EQ("alice = alicew\n", read_file(smbusers));
    run_result r = smb("private", "alicew%Alice pw'1", "get note.txt /tmp/back2.txt");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Alice's note\n", read_file("/tmp/back2.txt"));
    r = smb("private", "awhite%Alice pw'1", "ls");
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(has(r.out, "NT_STATUS_ACCESS_DENIED")) << r.out;
  }
  {
    SCOPED_TRACE("alice deleted: she can no longer reach her share");
    request_and_wait({"--del-smbuser", "--smbuser-name=alicew", "--user-name=alice"});
    EXPECT_EQ("", read_file(smbusers));
    EXPECT_EQ("bob\n", pdbedit_users());
    for (const char* login : {"alicew%Alice pw'1", "alice%Alice pw'1"}) {
      run_result r = smb("private", login, "ls");
      EXPECT_NE(0, r.status) << login;
      EXPECT_TRUE(has(r.out, "NT_STATUS_ACCESS_DENIED")) << login << ": " << r.out;
    }
    EXPECT_EQ(0, smb("public", "bob%Bob-pw-2", "ls").status);
  }
  {
    SCOPED_TRACE("stop, start and restart: the daemons go and come back");
    request({"--stop"});
    EXPECT_EQ("samba_enable=\"NO\"\n", read_file("/etc/rc.conf.d/samba"));
    EXPECT_TRUE(eventually([] { return !accepts_on_445(); }));
    // Killed daemons are zombies until the sandbox's first process reaps
    // them, and the process list shows zombies.
    EXPECT_TRUE(eventually([] { return run_cifsctl({"--status"}).out == "is stopped\n"; }));
    request({"--status"}, "is stopped\n");
    EXPECT_TRUE(has(smb("public", "", "ls").out, "NT_STATUS_CONNECTION_REFUSED"));

    request({"-p"});
    EXPECT_EQ("samba_enable=\"YES\"\n", read_file("/etc/rc.conf.d/samba"));
    ASSERT_TRUE(eventually(accepts_on_445));
    request({"-s"}, "is running\n");
    EXPECT_EQ(0, smb("public", "", "ls").status);

    std::string before = smbd_pid();
    request({"--restart"});
    ASSERT_TRUE(eventually(accepts_on_445));
    EXPECT_TRUE(eventually([&] { return !smbd_pid().empty() && smbd_pid() != before; }));
    request({"--status"}, "is running\n");
    EXPECT_EQ("IPC$ private public", listed_shares());
    request({"--check-packages"}, "0\n");
  }
}

}  // namespace
