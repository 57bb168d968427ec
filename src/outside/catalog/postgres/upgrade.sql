-- Brings a catalog of version 1 (the three tables, made by kxmp or by hand) to version 2, in
-- the transaction of kxmp setup: the rules the code relies on become constraints, and the
-- mount paths detached from a subclient are remembered for reading until they are removed.
CREATE INDEX IF NOT EXISTS mount_path_host ON mount_path (host);
CREATE UNIQUE INDEX subclient_one_primary ON subclient_mount_path (subclient_id) WHERE kind = 0;
-- Checked at COMMIT, so that one transaction may exchange two positions.
ALTER TABLE subclient_mount_path ADD CONSTRAINT subclient_one_position UNIQUE (subclient_id, position)
  DEFERRABLE INITIALLY DEFERRED;
ALTER TABLE subclient_mount_path ADD CONSTRAINT subclient_mount_path_kind CHECK (kind IN (0, -1));
ALTER TABLE subclient_mount_path ADD CONSTRAINT subclient_mount_path_subclient
  FOREIGN KEY (subclient_id) REFERENCES subclient (id) ON DELETE CASCADE;
ALTER TABLE subclient_mount_path ADD CONSTRAINT subclient_mount_path_mount_path
  FOREIGN KEY (mount_path_id) REFERENCES mount_path (id) ON DELETE CASCADE;
-- Mount path ids are cached and handed on as 32-bit numbers.
ALTER TABLE mount_path ADD CONSTRAINT mount_path_id_range CHECK (id BETWEEN 1 AND 2147483647);
CREATE TABLE detached_mount_path (
  subclient_id BIGINT NOT NULL REFERENCES subclient (id) ON DELETE CASCADE,
  mount_path_id BIGINT NOT NULL REFERENCES mount_path (id) ON DELETE CASCADE,
  PRIMARY KEY (subclient_id, mount_path_id));
CREATE TABLE IF NOT EXISTS catalog_schema_version (version INTEGER NOT NULL);
DELETE FROM catalog_schema_version;
INSERT INTO catalog_schema_version (version) VALUES (2);
