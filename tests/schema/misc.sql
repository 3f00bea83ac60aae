-- Panel-wide parameters, one row per name.
CREATE TABLE misc (
  param VARCHAR(245) NOT NULL,
  val TEXT NULL,
  PRIMARY KEY (param)
);
