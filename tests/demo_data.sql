-- Sample panel data for scripts/demo: the file server's settings, the hosts
-- allowed to connect, the users alice and bob and three shares:
--   docs  writable, for alice and bob only
--   pub   read only, open to guests
--   drop  writable, guests only (a "select" share without users)
-- Loaded into database tav after the tables of tests/schema/*.sql.

INSERT INTO module_fileserver_params (param, val) VALUES
  ('workgroup', 'WORKGROUP'),
  ('description', 'File server'),
  ('encrypt_passwords', 'yes'),
  ('security', 'user'),
  ('interfaces', '10.0.0.5');

INSERT INTO module_fileserver_hosts (name) VALUES
  ('10.0.0.0/255.0.0.0'),
  ('192.168.1.');

INSERT INTO module_fileserver_users (id, name, sys_name) VALUES
  (1, 'Alice', 'alice'),
  (2, 'Bob', 'bob');

INSERT INTO module_fileserver_shares (id, name, description, path, writable, guest_ok, valid_users) VALUES
  (1, 'docs', 'Documents', '/home/docs', 'true', 'false', 'select'),
  (2, 'pub', NULL, '/home/pub', 'false', 'true', 'any'),
  (3, 'drop', NULL, '/home/drop', 'true', 'true', 'select');

INSERT INTO module_fileserver_valid_users (sid, uid) VALUES (1, 1), (1, 2);

-- The package record that --check-packages compares with the disk.
INSERT INTO Components (name, version) VALUES ('samba', '4.17');
