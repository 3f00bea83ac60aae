#include "runtime/product_conf.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/message.h"
#include "runtime/owners.h"
#include "runtime/paths.h"

product_config product_conf;

namespace {


char* conf_cache = nullptr;
size_t conf_cache_len = 0;

// Newline ends a line and is not counted here; NUL and bytes >= 0x80 are
// never whitespace.
bool is_conf_space(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

bool load_cache() {
  unique_file f(std::fopen(paths::product_conf, "r"));
  if (!f)
    return false;
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0)
    return false;
  size_t size = static_cast<size_t>(st.st_size);
  char* buf = static_cast<char*>(std::malloc(size + 2));
  if (!buf)
    return false;
  // One read of the whole file; an empty file fails here like a missing one.
  if (std::fread(buf, size, 1, f.get()) != 1) {
    std::free(buf);
    return false;
  }
  conf_prepare(buf, size);
  conf_cache = buf;
  conf_cache_len = size;
  return true;
}

// message: the fixed wording; null for the "Error: %s not defined" forms.
struct conf_key {
  const char* key;
  const char* product_config::*field;
  const char* message;
};

#define KEY(name, field, msg) {name, &product_config::field, msg}
constexpr conf_key conf_keys[] = {
    KEY("PRODUCT_ROOT_D", product_root_d, "Error: PRODUCT_ROOT_D not defined\n"),
    KEY("HTTPD_VHOSTS_D", httpd_vhosts_d, "Error: HTTPD_VHOSTS_D not defined\n"),
    KEY("HTTPD_CONF_D", httpd_conf_d, "Error: HTTPD_CONF_D not defined\n"),
    KEY("HTTPD_INCLUDE_D", httpd_include_d, "Error: HTTPD_INCLUDE_D not defined\n"),
    KEY("HTTPD_BIN_D", httpd_bin_d, "Error: HTTPD_BIN_D not defined\n"),
    KEY("HTTPD_LOG_D", httpd_log_d, nullptr),
    KEY("QMAIL_ROOT_D", qmail_root_d, "Error: QMAIL_ROOT_D not defined\n"),
    KEY("QMAIL_MAILNAMES_D", qmail_mailnames_d, "Error: QMAIL_MAILNAMES_D not defined\n"),
    KEY("FTPD_CONF", ftpd_conf, "Error: FTPD_CONF not defined\n"),
    KEY("FTPD_CONF_INC", ftpd_conf_inc, "Error: FTPD_CONF_INC not defined\n"),
    KEY("FTPD_BIN_D", ftpd_bin_d, nullptr),
    KEY("NAMED_RUN_ROOT_D", named_run_root_d, "Error: NAMED_RUN_ROOT_D not defined\n"),
    KEY("WEB_STAT", web_stat, "Error: WEB_STAT not defined\n"),
    KEY("LOGROTATE", logrotate, "Error: LOGROTATE not defined\n"),
    KEY("MYSQL_VAR_D", mysql_var_d, "Error: MYSQL_VAR_D not defined\n"),
    KEY("MYSQL_BIN_D", mysql_bin_d, "Error: MYSQL_BIN_D not defined\n"),
    KEY("PGSQL_BIN_D", pgsql_bin_d, "Error: PGSQL_BIN_D not defined\n"),
    KEY("PGSQL_DATA_D", pgsql_data_d, "Error: PGSQL_DATA_D not defined\n"),
    KEY("MAILMAN_ROOT_D", mailman_root_d, "Error: MAILMAN_ROOT_D not defined\n"),
    KEY("MAILMAN_VAR_D", mailman_var_d, "Error: MAILMAN_VAR_D not defined\n"),
    KEY("PRODUCT_RC_D", product_rc_d, "Error: PRODUCT_RC_D not defined\n"),
    KEY("DUMP_D", dump_d, "Error: DUMP_D not defined\n"),
    KEY("CATALINA_HOME", catalina_home, "Error: CATALINA_HOME not defined\n"),
    KEY("DRWEB_ROOT_D", drweb_root_d, "Error: DRWEB_ROOT_D not defined\n"),
    KEY("DRWEB_ETC_D", drweb_etc_d, "Error: DRWEB_ETC_D not defined\n"),
    KEY("CURL_CA_BUNDLE_FILE", curl_ca_bundle_file, nullptr),
    KEY("AWSTATS_ETC_D", awstats_etc_d, nullptr),
    KEY("AWSTATS_BIN_D", awstats_bin_d, nullptr),
    KEY("AWSTATS_TOOLS_D", awstats_tools_d, nullptr),
};
#undef KEY

// Sibling utilities of the panel, each at <product root>/admin/bin/<name>.
struct sibling {
  const char* name;
  char* product_config::*field;
};
constexpr sibling siblings[] = {
    {"mailctl", &product_config::mailctl_path},
    {"dnsctl", &product_config::dnsctl_path},
    {"ftpctl", &product_config::ftpctl_path},
    {"webctl", &product_config::webctl_path},
    {"dbctl", &product_config::dbctl_path},
    {"certctl", &product_config::certctl_path},
    {"backupctl", &product_config::backupctl_path},
    {"statctl", &product_config::statctl_path},
    {"userctl", &product_config::userctl_path},
    {"compctl", &product_config::compctl_path},
};

char* join_path(const char* root, const char* suffix) {
  char* buf = static_cast<char*>(std::calloc(text_size, 1));
  if (!buf)
    fatal("alloc(%d)", static_cast<int>(text_size));
  std::snprintf(buf, text_size, "%s%s", root, suffix);
  return buf;
}

}  // namespace

void conf_prepare(char* buf, size_t len) {
  buf[len] = '\0';
  for (size_t i = 0; i < len; ++i) {
    if (buf[i] != '\n')
      continue;
    buf[i] = '\0';
    for (size_t j = i; j > 0 && is_conf_space(buf[j - 1]); --j)
      buf[j - 1] = '\0';
  }
}

const char* conf_find(const char* buf, size_t len, const char* key) {
  if (!buf || len == 0)
    return nullptr;
  size_t n = std::strlen(key);
  size_t off = 0;
  while (off < len) {
    const char* p = buf + off;
    while (is_conf_space(*p))
      ++p;
    // strncmp stops at the line's NUL, so it never reads past the line.
    if (std::strncmp(p, key, n) == 0 && is_conf_space(p[n])) {
      p += n;
      while (*p != '\0' && *p != '\n' && is_conf_space(*p))
        ++p;
      return p;
    }
    const char* end = static_cast<const char*>(std::memchr(buf + off, '\0', len - off));
    if (!end)
      break;
    off = static_cast<size_t>(end - buf) + 1;
  }
  return nullptr;
}

const char* get_conf_value(const char* key) {
  if (!conf_cache && !load_cache())
    return nullptr;
  return conf_find(conf_cache, conf_cache_len, key);
}

const char* require_conf_value(const char* key) {
  const char* value = get_conf_value(key);
  if (value && *value)
    return value;
  for (const conf_key& k : conf_keys) {
    if (std::strcmp(k.key, key) != 0)
      continue;
    if (k.message)
      fatal("%s", k.message);
    if (k.field == &product_config::ftpd_bin_d)
      fatal("Error: %s not defined in product config file", key);
    break;
  }
  fatal("Error: %s not defined", key);
  return nullptr;
}

void load_product_conf() {
  if (product_conf.product_root_d)
    return;
  product_config conf{};
  for (const conf_key& k : conf_keys)
    conf.*k.field = require_conf_value(k.key);

  // The longest suffix must fit a 4096-byte path buffer; a longer product
  // root would silently truncate the derived paths, so it is refused.
  const char* root = conf.product_root_d;
  size_t longest = sizeof paths::settings_suffix - 1;
  for (const sibling& s : siblings)
    longest = std::max(longest, sizeof paths::admin_bin_suffix - 1 + std::strlen(s.name));
  if (std::strlen(root) + longest > text_size - 1)
    fatal("Error: PRODUCT_ROOT_D is too long (%zu bytes, at most %zu)\n",
          std::strlen(root), text_size - 1 - longest);

  conf.settings_file = join_path(root, paths::settings_suffix);
  for (const sibling& s : siblings) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%s%s", paths::admin_bin_suffix, s.name);
    conf.*s.field = join_path(root, suffix);
  }
  // snprintf cuts the composed path at 4095 characters.
  conf.rcswitch_path = join_path(root, paths::rcswitch_suffix);

  size_t cert_size = std::strlen(root) + sizeof paths::certificates_suffix;
  conf.certificates_d = static_cast<char*>(std::malloc(cert_size));
  if (!conf.certificates_d)
    fatal("alloc(%d)", static_cast<int>(cert_size));
  std::snprintf(conf.certificates_d, cert_size, "%s%s", root, paths::certificates_suffix);

  product_conf = conf;
}
