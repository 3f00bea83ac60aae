-- The domain tables of the panel, as the database accessors (put, get)
-- name them. Only the columns they use; ids are compared with quoted texts
-- ('12'), which the server converts.

-- Domains. name is compared in the column's case-insensitive collation, so
-- a name stored in mixed case is found by its lower-case form.
CREATE TABLE domains (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  status INT UNSIGNED NULL DEFAULT 0,
  htype VARCHAR(32) NULL,
  params_id INT UNSIGNED NULL,
  limits_id INT UNSIGNED NULL,
  dns_zone_id INT UNSIGNED NULL,
  cl_id INT UNSIGNED NULL,
  PRIMARY KEY (id),
  UNIQUE KEY domains_name (name)
);

-- Physical hosting of a domain; fp and fp_ssl hold "true" or "false".
CREATE TABLE hosting (
  dom_id INT UNSIGNED NOT NULL,
  ip_address_id INT UNSIGNED NULL,
  fp VARCHAR(16) NULL DEFAULT 'false',
  fp_ssl VARCHAR(16) NULL DEFAULT 'false',
  PRIMARY KEY (dom_id)
);

CREATE TABLE IP_Addresses (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  ip_address VARCHAR(64) NULL,
  PRIMARY KEY (id)
);

CREATE TABLE clients (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  email VARCHAR(255) NULL,
  PRIMARY KEY (id)
);

-- One value per domain and parameter: replace overwrites it.
CREATE TABLE dom_param (
  dom_id INT UNSIGNED NOT NULL,
  param VARCHAR(245) NOT NULL,
  val TEXT NULL,
  PRIMARY KEY (dom_id, param)
);

-- Parameter sets. A parameter may hold several values in one set (a row
-- each); the same value twice is one row.
CREATE TABLE Parameters (
  id INT UNSIGNED NOT NULL,
  parameter VARCHAR(245) NOT NULL,
  value TEXT NULL,
  UNIQUE KEY parameters_value (id, parameter, value(255))
);

-- A domain's services (mail, web, ...), each with a parameter set.
CREATE TABLE DomainServices (
  dom_id INT UNSIGNED NOT NULL,
  type VARCHAR(32) NOT NULL,
  parameters_id INT UNSIGNED NULL,
  PRIMARY KEY (dom_id, type)
);

CREATE TABLE Limits (
  id INT UNSIGNED NOT NULL,
  limit_name VARCHAR(64) NOT NULL,
  value VARCHAR(255) NULL,
  PRIMARY KEY (id, limit_name)
);

CREATE TABLE dns_zone (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  PRIMARY KEY (id)
);

CREATE TABLE dns_recs (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  dns_zone_id INT UNSIGNED NOT NULL,
  type VARCHAR(16) NOT NULL,
  host VARCHAR(255) NOT NULL,
  PRIMARY KEY (id),
  KEY dns_recs_zone (dns_zone_id)
);

CREATE TABLE subdomains (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  dom_id INT UNSIGNED NOT NULL,
  name VARCHAR(255) NOT NULL,
  PRIMARY KEY (id),
  KEY subdomains_dom (dom_id)
);

-- Anonymous FTP of a domain; status holds "true" or "false".
CREATE TABLE anon_ftp (
  dom_id INT UNSIGNED NOT NULL,
  status VARCHAR(16) NULL DEFAULT 'false',
  PRIMARY KEY (dom_id)
);
