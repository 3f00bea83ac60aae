#include "samba/users.h"

// libxcrypt (Linux) declares crypt in <crypt.h>; FreeBSD's libcrypt in
// <unistd.h> and has no <crypt.h>.
#if __has_include(<crypt.h>)
#include <crypt.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "runtime/exec.h"
#include "runtime/file_str.h"
#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"
#include "runtime/spawn.h"

namespace {


// smbpasswd -s reads each line into a 256-byte buffer with fgets: a line of
// 255 characters leaves its newline for the next read, so the confirmation
// no longer matches. 254 bytes is the longest password it takes whole.
constexpr size_t password_max = 254;

// Samba reads the username map in lines of at most 511 bytes and takes the
// rest of a longer line as a new entry; keep every record, newline
// included, within that.
constexpr size_t map_line_max = 510;

char env_password[text_size];
char env_crypted_password[text_size];
// TAV_CRYPTED_PASSWORD as the caller handed it over, read once.
char env_crypted_given[text_size];
bool crypted_taken = false;

void copy_cut(char (&buf)[text_size], const char* text) {
  size_t n = std::strlen(text);
  if (n > text_size - 1)
    n = text_size - 1;
  std::memcpy(buf, text, n);
  buf[n] = '\0';
}

// smbpasswd takes any argument that begins with '-' as an option (-c would
// load another configuration), and it has no "--" to end its options.
bool smbpasswd_name_ok(const char* account) {
  if (account[0] != '-')
    return true;
  report_notice("Invalid user name '%s': %s would read a name beginning with '-' as an option",
                printable_value(account).c_str(), paths::smbpasswd);
  return false;
}

// Why a name cannot stand literally in a username map line, or null when it
// can. Samba splits the list after '=' at blanks, commas and semicolons,
// honours double quotes, joins a line ending in a backslash to the next,
// takes '*' for every client and '@', '+' and '&' for groups, and skips
// lines that begin with '#' or ';'; '!' in front makes a line final.
const char* map_name_fault(const char* name) {
  if (name[0] == '\0')
    return "it is empty";
  if (std::strchr("#;!@+&", name[0]))
    return "its first character is a comment, group or control mark of the map";
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n' || c == '\r')
      return "it holds a line break";
    if (c <= ' ' || c == 0x7f)
      return "it holds a blank or control character";
    if (std::strchr("=*\",;\\", c))
      return "it holds one of the characters = * \" , ; \\";
  }
  return nullptr;
}

// True when both names may form a new map record; reports otherwise.
bool map_record_ok(const char* login, const char* account) {
  for (const char* name : {account, login}) {
    if (const char* fault = map_name_fault(name)) {
      report_notice("Invalid name '%s' for '%s' file: %s", printable_value(name).c_str(),
                    paths::smbusers, fault);
      return false;
    }
  }
  size_t length = std::strlen(account) + 3 + std::strlen(login);
  if (length > map_line_max) {
    report_notice("Record for '%s' is too long for '%s' file: %zu bytes, at most %zu",
                  printable_value(account).c_str(), paths::smbusers, length, map_line_max);
    return false;
  }
  return true;
}

// True when a record of both names can be removed as one line: the removal
// compares only the text before a line break, so it would drop another
// record than the one named.
bool map_removal_ok(const char* login, const char* account) {
  for (const char* name : {account, login}) {
    if (std::strpbrk(name, "\r\n")) {
      report_notice("Invalid name '%s' for '%s' file: it holds a line break",
                    printable_value(name).c_str(), paths::smbusers);
      return false;
    }
  }
  return true;
}

void remove_map_record(const char* login, const char* account) {
  unique_text entry(alloc_printf("%s = %s", account, login));
  if (file_str_line(paths::smbusers, entry.get(), FILE_STR_REMOVE_LINE, 1) != 0)
    report_msg(0, "Unable to remove record for '%s' from '%s' file",
               printable_value(account).c_str(), paths::smbusers);
}

// Drops the records for old_login (when given) and login and appends the
// one for login, in one locked rewrite: a run killed halfway leaves the map
// as it was or as it should be, never without the account's record.
int add_map_record(const char* login, const char* account, const char* old_login) {
  unique_text entry(alloc_printf("%s = %s", account, login));
  unique_text old_entry(old_login ? alloc_printf("%s = %s", account, old_login) : nullptr);
  const char* const dropped[] = {entry.get(), old_entry.get(), nullptr};
  const char* const added[] = {entry.get(), nullptr};
  // Removing from a missing map fails, and has always been reported so.
  const std::string shown = printable_value(account);
  struct stat st;
  if (::stat(paths::smbusers, &st) != 0) {
    if (old_login)
      report_msg(0, "Unable to remove record for '%s' from '%s' file", shown.c_str(),
                 paths::smbusers);
    report_msg(0, "Unable to remove record for '%s' from '%s' file", shown.c_str(),
               paths::smbusers);
  }
  if (file_str_replace(paths::smbusers, dropped, FILE_STR_REMOVE_LINE, 1, added) != 0) {
    report_msg(0, "Unable to add record for '%s' to '%s' file", shown.c_str(), paths::smbusers);
    return -1;
  }
  return 0;
}

bool password_ok(const char* password) {
  if (std::strpbrk(password, "\r\n")) {
    report_notice(
        "Invalid password in TAV_PASSWORD: it holds a carriage return or newline, "
        "which %s would take as the end of the password",
        paths::smbpasswd);
    return false;
  }
  size_t length = std::strlen(password);
  if (length > password_max) {
    report_notice("Invalid password in TAV_PASSWORD: it is %zu bytes long, %s reads at most %zu",
                  length, paths::smbpasswd, password_max);
    return false;
  }
  return true;
}

// Runs "smbpasswd -s account" with the password twice on its standard input
// (new password and confirmation). The account name is an argument of its
// own, never part of a shell command line.
int feed_smbpasswd(const char* account, const char* password) {
  const char* tool = paths::smbpasswd;
  int fds[2];
  if (!make_pipe(fds)) {
    report_msg(0, "Error during execute '%s -s %s'", tool, printable_value(account).c_str());
    return -1;
  }
  unique_fd read_end(fds[0]), write_end(fds[1]);

  const char* const argv[] = {tool, "-s", account, nullptr};
  int start_error = 0;
  pid_t child = fork_execv_pipes(read_end.get(), 1, 2, tool, argv, &start_error);
  read_end.reset();

  // A tool that never ran gets no password: the report then names why it
  // did not run, not whatever writing to its dead end would have said.
  unique_text input(alloc_printf("%s\n%s\n", password, password));
  bool delivered = start_error == 0 &&
                   write_all_no_sigpipe(write_end.get(), input.get(), std::strlen(input.get()));
  // The tool waits for the end of its input before it exits.
  write_end.reset();

  int status = 0;
  if (wait_child(child, &status, 0) < 0) {
    report_msg(0, "Error during pclose '%s -s %s'", tool, printable_value(account).c_str());
    return -1;
  }
  if (!delivered || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (start_error != 0)
      errno = start_error;
    report_msg(0, "Error during execute '%s -s %s'", tool, printable_value(account).c_str());
    return -1;
  }
  return 0;
}

// "$1$" and 8 characters drawn from the crypt alphabet after seeding the
// generator with the current second.
void make_md5_salt(char (&salt)[12]) {
  static const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::memcpy(salt, "$1$", 3);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  for (int i = 0; i < 8; ++i) {
    int floor64 = static_cast<int>(64.0 * std::rand() / 2147483648.0);
    salt[3 + i] = alphabet[(floor64 + 1) % 64];
  }
  salt[11] = '\0';
}

void store_crypt(const char* plain) {
  char salt[12];
  make_md5_salt(salt);
  const char* hashed = crypt(plain, salt);
  // libxcrypt reports failure with a text that begins with '*'.
  if (hashed && hashed[0] != '*')
    copy_cut(env_crypted_password, hashed);
}

}  // namespace

const char* get_env_password() {
  if (env_password[0] != '\0')
    return env_password;
  if (const char* value = std::getenv("TAV_PASSWORD"))
    copy_cut(env_password, value);
  unsetenv("TAV_PASSWORD");
  return env_password;
}

void take_env_secrets() {
  get_env_password();
  if (crypted_taken)
    return;
  crypted_taken = true;
  if (const char* value = std::getenv("TAV_CRYPTED_PASSWORD"))
    copy_cut(env_crypted_given, value);
  unsetenv("TAV_CRYPTED_PASSWORD");
}

const char* get_env_crypted_password() {
  if (env_crypted_password[0] != '\0')
    return env_crypted_password;
  // The front end has usually taken both variables out already: the
  // copies it kept stand for them.
  take_env_secrets();
  if (env_password[0] != '\0')
    store_crypt(env_password);
  else if (env_crypted_given[0] != '\0')
    copy_cut(env_crypted_password, env_crypted_given);
  else
    store_crypt("");
  return env_crypted_password;
}

int add_smbuser(const char* smbuser_name, const char* user_name) {
  // The panel may hand over a password with any user action: taking it out
  // of the environment first keeps it from every tool this run starts.
  get_env_password();
  bool mapped = std::strcmp(smbuser_name, user_name) != 0;
  if (!smbpasswd_name_ok(user_name) || (mapped && !map_record_ok(smbuser_name, user_name)))
    return -1;

  if (execl_report(paths::smbpasswd, paths::smbpasswd, "-a", "-n", user_name, nullptr) != 0) {
    report_msg(0, "Error during execute '%s -a -n %s'", paths::smbpasswd,
               printable_value(user_name).c_str());
    return -1;
  }
  if (!mapped)
    return 0;
  return add_map_record(smbuser_name, user_name, nullptr);
}

int set_smbuser_password(const char* /*smbuser_name*/, const char* user_name) {
  // Reading the password also takes it out of the environment, before the
  // tool starts: it reaches the tool only through the pipe.
  const char* password = get_env_password();
  if (!smbpasswd_name_ok(user_name) || !password_ok(password))
    return -1;
  return feed_smbpasswd(user_name, password);
}

int rename_smbuser(const char* old_smbuser_name, const char* new_smbuser_name,
                   const char* user_name) {
  bool mapped = std::strcmp(new_smbuser_name, user_name) != 0;
  if (!map_removal_ok(old_smbuser_name, user_name) ||
      (mapped && !map_record_ok(new_smbuser_name, user_name)))
    return -1;

  if (!mapped) {
    remove_map_record(old_smbuser_name, user_name);
    return 0;
  }
  return add_map_record(new_smbuser_name, user_name, old_smbuser_name);
}

int del_smbuser(const char* smbuser_name, const char* user_name) {
  // The panel may hand over a password with any user action: taking it out
  // of the environment first keeps it from every tool this run starts.
  get_env_password();
  bool mapped = std::strcmp(smbuser_name, user_name) != 0;
  if (!smbpasswd_name_ok(user_name) || (mapped && !map_removal_ok(smbuser_name, user_name)))
    return -1;

  if (execl_report(paths::smbpasswd, paths::smbpasswd, "-x", user_name, nullptr) != 0) {
    report_msg(0, "Error during execute '%s -x %s'", paths::smbpasswd,
               printable_value(user_name).c_str());
    return -1;
  }
  if (mapped)
    remove_map_record(smbuser_name, user_name);
  return 0;
}
