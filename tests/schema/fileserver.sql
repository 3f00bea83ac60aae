-- The file-server module's tables, as the generator reads them.

-- Global settings, one row per key.
CREATE TABLE module_fileserver_params (
  param VARCHAR(245) NOT NULL,
  val TEXT NULL,
  PRIMARY KEY (param)
);

-- Hosts allowed to connect, one per row, in id order.
CREATE TABLE module_fileserver_hosts (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NULL,
  PRIMARY KEY (id)
);

-- One row per share. writable and guest_ok hold "true" or "false";
-- valid_users holds "any", "select" or another word.
CREATE TABLE module_fileserver_shares (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NULL,
  description TEXT NULL,
  path TEXT NULL,
  writable VARCHAR(16) NULL DEFAULT 'false',
  guest_ok VARCHAR(16) NULL DEFAULT 'false',
  valid_users VARCHAR(16) NULL DEFAULT 'any',
  PRIMARY KEY (id)
);

-- File-server users; sys_name is the system account name.
CREATE TABLE module_fileserver_users (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NULL,
  sys_name VARCHAR(255) NULL,
  PRIMARY KEY (id)
);

-- Which users may use which share. The generator looks the users up once
-- per share by sid: the primary key leads with sid so that each lookup is
-- an index range, not a scan of the whole table.
CREATE TABLE module_fileserver_valid_users (
  sid INT UNSIGNED NOT NULL,
  uid INT UNSIGNED NOT NULL,
  PRIMARY KEY (sid, uid),
  KEY valid_users_uid (uid)
);
