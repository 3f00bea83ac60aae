// Panel database reads: values about one domain, its client, its IP address
// and DNS zone, the next free id of a table, and the run mode.
//
// Key arguments (ids, names, parameter names) go into the SQL unescaped:
// one holding a backslash, double quote or single quote stops the process
// like a failed assertion (see db_check_key). The connection argument is
// one the caller keeps, or null: then the reader opens its own and closes
// it before it returns. Failures are reported (status 0) unless said
// otherwise. A text result lives in a process-wide 4096-byte buffer of the
// reader's own (cut at 4095 bytes), valid until the same reader runs again;
// the caller never frees it. An empty text means no row or NULL.

#pragma once

#include <mysql.h>

// The IP address of domain dom_id's hosting; null on failure.
const char* get_ip_address(const char* dom_id, MYSQL* conn);

// The hosting type of domain dom_id, in db_value_buf (see db_select_value);
// null on failure.
const char* get_domain_htype(const char* dom_id, MYSQL* conn);

// Stores the status of domain dom_id in *status and returns 0; -1 when the
// query failed, -2 when there is no such domain, -3 when the stored status
// is NULL or not an unsigned number. conn is required.
int get_domain_status(const char* dom_id, unsigned int* status, MYSQL* conn);

// Parameter param of domain dom_id from dom_param; null on failure.
const char* get_dom_param(const char* dom_id, const char* param, MYSQL* conn);

// Parameter param of domain dom_id's parameter set; null on failure.
const char* get_domain_parameter(const char* dom_id, const char* param, MYSQL* conn);

// Parameter param of domain dom_id's service of type type; null on failure.
const char* get_service_parameter(const char* dom_id, const char* type, const char* param,
                                  MYSQL* conn);

// Limit limit_name of domain dom_id; null on failure.
const char* get_domain_limit(const char* dom_id, const char* limit_name, MYSQL* conn);

// 1 when domain dom_id's DNS zone has an A or CNAME record for a host
// beginning with "www." and the domain has no subdomain named www; 0 when
// not; -1 on failure.
int has_www_prefix(const char* dom_id, MYSQL* conn);

// 1 when domain dom_id's anonymous FTP status begins with "true", else 0
// (also on failure).
int get_anon_ftp_status(const char* dom_id, MYSQL* conn);

// 1 when the FrontPage flag of domain dom_name (fp_ssl when secure is
// non-zero, else fp) begins with "true", else 0 (also on failure).
int get_frontpage_status(const char* dom_name, int secure, MYSQL* conn);

// The e-mail address of domain dom_id's client, or when it has none the
// misc parameter admin_email; null when neither is there or on failure.
const char* get_client_email(const char* dom_id, MYSQL* conn);

// The id of domain dom_id's client; 0 when there is none, it is not a
// number, or on failure. conn is required.
int get_client_id(const char* dom_id, MYSQL* conn);

// The id of the domain named name (converted to its ASCII form first).
// Ends the process (status 1) when the name can't be converted, the query
// fails or no domain has the name; null only when no connection could be
// opened.
const char* get_dom_id(const char* name, MYSQL* conn);
// get_dom_id, but a name no domain has gives null when missing_allowed is
// non-zero. Shares get_dom_id's buffer.
const char* get_dom_id_ex(const char* name, MYSQL* conn, int missing_allowed);

// The stored name of the domain named name, in lower case, in
// lowercase_copy's buffer; null when there is none. Uses a connection of its
// own; a failed connection or query ends the process (status 1).
const char* find_domain_name(const char* name);

// The largest id of table plus 1 (1 for an empty table); 0 on failure or
// when table is not a name of letters, digits and underscores.
int get_max_id(const char* table, MYSQL* conn);

// The DNS zone id of domain dom_id; null on failure.
const char* get_dns_zone_id(const char* dom_id, MYSQL* conn);

// The run mode from TAV_RUN_MODE: 0 when unset, else 1, 2 or 3; any other
// value ends the process (status 1).
int get_run_mode();

// text with A to Z in lower case, in a process-wide 4096-byte buffer (cut
// at 4095 bytes) overwritten by each call; null for null text.
const char* lowercase_copy(const char* text);
