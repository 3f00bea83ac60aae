-- The panel's package records: one row per package name, its installed
-- version or "not_installed". The name is not unique here, so that a
-- duplicated record can be stored and its handling tested.
CREATE TABLE Components (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  version VARCHAR(255) NULL,
  PRIMARY KEY (id),
  KEY components_name (name)
);
