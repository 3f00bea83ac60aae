// Every fixed path of the system, in one place.
#pragma once

namespace paths {

// Panel files.
inline constexpr const char product_conf[] = "/etc/tav/tav.conf";
inline constexpr const char db_password_file[] = "/etc/tav/.tav.shadow";
inline constexpr const char kv_mode_link[] = "/etc/tav/kv_mode";
inline constexpr const char kv_veinfo[] = "/proc/kv/veinfo";

// MySQL server discovery.
inline constexpr const char my_cnf[] = "/etc/my.cnf";
inline constexpr const char mysql_sock_var[] = "/var/lib/mysql/mysql.sock";
inline constexpr const char mysql_sock_tmp[] = "/tmp/mysql.sock";
// The socket a client library connects to when given none, for a library
// whose headers do not say (MySQL's traditional place).
inline constexpr const char mysql_sock_library_default[] = "/tmp/mysql.sock";
// The account the database server runs as; with root, the only owner whose
// socket (and the directories above it) root connects through. A system
// without this account trusts root alone.
inline constexpr const char mysql_account[] = "mysql";

// Samba.
inline constexpr const char smb_conf[] = "/usr/local/etc/smb.conf";
inline constexpr const char smb_conf_include[] = "/usr/local/etc/smb.conf.include";
inline constexpr const char smb_conf_include_tmp[] = "/usr/local/etc/smb.conf.include.tmp";
// Two or more share sections on their own, for testparm to say whether
// Samba takes their names for one share.
inline constexpr const char smb_conf_include_probe[] = "/usr/local/etc/smb.conf.include.probe";
// Never created: the share paths of the probe file, which testparm names
// back to tell which section a name reaches.
inline constexpr const char twin_probe_marker_dir[] = "/cifsctl-twin-probe/";
inline constexpr const char smbusers[] = "/usr/local/etc/smbusers";
inline constexpr const char smbpasswd[] = "/usr/local/bin/smbpasswd";
inline constexpr const char smbstatus[] = "/usr/local/bin/smbstatus";
inline constexpr const char testparm[] = "/usr/local/bin/testparm";
inline constexpr const char smbd[] = "/usr/local/sbin/smbd";
// The name whose lock file (below the product root's lock directory)
// serialises Samba's kill-and-script sequence across runs.
inline constexpr const char samba_restart_lock[] = "/usr/local/sbin/smbd";

// rc script directories searched after the product's own.
inline constexpr const char rc_d_system[] = "/etc/rc.d";
inline constexpr const char rc_d_local[] = "/usr/local/etc/rc.d";
// Per-service start-up settings, one file per service, read by rc at boot.
inline constexpr const char rc_conf_d[] = "/etc/rc.conf.d";

// System tools run by path.
inline constexpr const char sh[] = "/bin/sh";
inline constexpr const char ps[] = "/bin/ps";
inline constexpr const char grep[] = "/usr/bin/grep";
inline constexpr const char awk[] = "/usr/bin/awk";
inline constexpr const char kill[] = "/bin/kill";
inline constexpr const char rm[] = "/bin/rm";
inline constexpr const char dev_null[] = "/dev/null";
inline constexpr const char dev_hdv1[] = "/dev/hdv1";

// Paths below the product root (PRODUCT_ROOT_D).
inline constexpr const char settings_suffix[] = "/admin/conf/settings";
inline constexpr const char admin_bin_suffix[] = "/admin/bin/";
inline constexpr const char rcswitch_suffix[] = "/admin/bin/rcswitch";
inline constexpr const char certificates_suffix[] = "/var/certificates";
inline constexpr const char var_suffix[] = "/var";
inline constexpr const char lock_files_suffix[] = "/var/lock/files/";
// Present while the panel's package records must be renewed (compctl).
inline constexpr const char components_dirty_suffix[] = "/var/components.dirty";

}  // namespace paths
