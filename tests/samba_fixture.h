// Samba inside a test's sandbox: Debian's samba tools at the paths the
// system uses, reading /usr/local/etc/smb.conf, with all state private to the
// sandbox's overlay. Every function fails the current test (ADD_FAILURE) with
// a clear message when something goes wrong.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Where the sandboxed Samba keeps its state (passdb, locks, pid files, logs).
inline constexpr const char samba_test_dir[] = "/var/lib/samba-test";

// Sets up Samba inside the test's sandbox: /usr/local/etc/smb.conf with
// private state, lock, cache, private and pid directories under
// samba_test_dir, loopback only (interfaces = lo, bind interfaces only = yes,
// disable netbios = yes, map to guest = bad user) and the line
// "include = /usr/local/etc/smb.conf.include" at its end; /etc/samba/smb.conf
// becomes a link to it, so pdbedit, testparm and smbclient read it too. The
// tools at the system's paths: /usr/local/bin/smbpasswd and
// /usr/local/bin/smbstatus are wrappers that exec Debian's tools with that
// configuration, /usr/local/bin/testparm a link to Debian's (it reads the
// file named on its command line); /usr/local/sbin/smbd and /usr/local/sbin/nmbd are links to
// Debian's daemons, so the running processes are named "smbd" and "nmbd".
// The include file itself is not created.
void setup_samba();

// Adds a system user with useradd (no home directory).
void add_system_user(const std::string& name);

// Starts smbd (and nmbd when with_nmbd) in the background as daemons; returns
// once smbd accepts on 127.0.0.1:445 (bounded polling, about 10 s at most).
void start_smbd(bool with_nmbd = false);

// The body (no "#!" line) of an rc script for the sandboxed Samba, as an
// administrator would write it for daemons that keep pid files: start,
// stop, restart and status of smbd and nmbd.
extern const char samba_rc_script_body[];

// True when something accepts a connection on 127.0.0.1:445.
bool accepts_on_445();

// Polls condition every 20 ms, at most 1000 times; true once it holds.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// Stops every smbd, nmbd and samba-dcerpcd process of the sandbox (and their
// helpers) and returns once they are gone.
void stop_smbd();

// The sections that testparm prints in view, each as its lines ("[name]"
// first), blank and comment lines dropped.
std::vector<std::vector<std::string>> testparm_sections(const std::string& view);

// The NT hash (32 uppercase hex digits) of password as Samba stores it,
// computed independently of Samba: MD4 over the UTF-16LE text, by openssl.
std::string nt_hash(const std::string& password);

// The NT hash column that `pdbedit -Lw` prints for user, or "" when pdbedit
// does not list the user.
std::string pdbedit_nt_hash(const std::string& user);

// The user names that `pdbedit -L` lists, one per line, sorted.
std::string pdbedit_users();
