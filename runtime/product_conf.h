// Product configuration: /etc/tav/tav.conf, read once per process.
#pragma once

#include <cstddef>

// Where the panel and the services it manages live. The key fields point
// into the cached file text; the derived paths live in memory of their own.
// Everything stays valid until the process ends and is never freed.
struct product_config {
  const char* product_root_d;
  const char* httpd_vhosts_d;
  const char* httpd_conf_d;
  const char* httpd_include_d;
  const char* httpd_bin_d;
  const char* httpd_log_d;
  const char* qmail_root_d;
  const char* qmail_mailnames_d;
  const char* ftpd_conf;
  const char* ftpd_conf_inc;
  const char* ftpd_bin_d;
  const char* named_run_root_d;
  const char* web_stat;
  const char* logrotate;
  const char* mysql_var_d;
  const char* mysql_bin_d;
  const char* pgsql_bin_d;
  const char* pgsql_data_d;
  const char* mailman_root_d;
  const char* mailman_var_d;
  const char* product_rc_d;
  const char* dump_d;
  const char* catalina_home;
  const char* drweb_root_d;
  const char* drweb_etc_d;
  const char* curl_ca_bundle_file;
  const char* awstats_etc_d;
  const char* awstats_bin_d;
  const char* awstats_tools_d;

  // Derived from the product root: 4096-byte zero-filled buffers.
  char* settings_file;
  char* mailctl_path;
  char* dnsctl_path;
  char* ftpctl_path;
  char* webctl_path;
  char* dbctl_path;
  char* certctl_path;
  char* backupctl_path;
  char* statctl_path;
  char* userctl_path;
  char* compctl_path;
  char* rcswitch_path;
  // Exactly strlen(product root) + 18 bytes.
  char* certificates_d;
};

extern product_config product_conf;

// The value of key in the cached configuration file, or null when the file
// cannot be read or no line defines the key. Reports nothing.
const char* get_conf_value(const char* key);

// As get_conf_value, but an absent or empty value ends the process with the
// key's "not defined" message.
const char* require_conf_value(const char* key);

// Fills product_conf on the first call; later calls return at once. Every
// failure ends the process, so on return every field is set.
void load_product_conf();

// Building blocks of the reader, exposed for tests and fuzzing.
// conf_prepare: turns buf[0..len) (which must have room for buf[len]) into
// NUL-terminated lines, dropping whitespace before every line end.
void conf_prepare(char* buf, size_t len);
// conf_find: the value of key in a prepared buffer of len bytes, or null.
const char* conf_find(const char* buf, size_t len, const char* key);
