-- Brings a catalog of version 1 (the three tables, made by kxmp or by hand) to version 2, in
-- the transaction of kxmp setup: the rules the code relies on become indexes and triggers
-- (the three tables themselves stay as they are), and the mount paths detached from a
-- subclient are remembered for reading until they are removed.
CREATE UNIQUE INDEX subclient_one_primary ON subclient_mount_path (subclient_id) WHERE kind = 0;
CREATE UNIQUE INDEX subclient_one_position ON subclient_mount_path (subclient_id, position);
CREATE TRIGGER subclient_mount_path_insert BEFORE INSERT ON subclient_mount_path
  WHEN NEW.kind NOT IN (0, -1) OR NOT EXISTS (SELECT 1 FROM subclient WHERE id = NEW.subclient_id)
    OR NOT EXISTS (SELECT 1 FROM mount_path WHERE id = NEW.mount_path_id)
  BEGIN SELECT RAISE(ABORT, 'an attachment refers to an existing subclient and mount path, as primary (0) or alternate (-1)'); END;
CREATE TRIGGER subclient_mount_path_update BEFORE UPDATE ON subclient_mount_path
  WHEN NEW.kind NOT IN (0, -1) OR NOT EXISTS (SELECT 1 FROM subclient WHERE id = NEW.subclient_id)
    OR NOT EXISTS (SELECT 1 FROM mount_path WHERE id = NEW.mount_path_id)
  BEGIN SELECT RAISE(ABORT, 'an attachment refers to an existing subclient and mount path, as primary (0) or alternate (-1)'); END;
-- Mount path ids are cached and handed on as 32-bit numbers.
CREATE TRIGGER mount_path_id_insert BEFORE INSERT ON mount_path
  WHEN NEW.id < 1 OR NEW.id > 2147483647
  BEGIN SELECT RAISE(ABORT, 'a mount path id is 1 to 2147483647'); END;
CREATE TRIGGER mount_path_id_update BEFORE UPDATE OF id ON mount_path
  WHEN NEW.id < 1 OR NEW.id > 2147483647
  BEGIN SELECT RAISE(ABORT, 'a mount path id is 1 to 2147483647'); END;
CREATE TABLE detached_mount_path (subclient_id INTEGER NOT NULL, mount_path_id INTEGER NOT NULL,
  PRIMARY KEY (subclient_id, mount_path_id));
CREATE TRIGGER subclient_removed AFTER DELETE ON subclient BEGIN
  DELETE FROM subclient_mount_path WHERE subclient_id = OLD.id;
  DELETE FROM detached_mount_path WHERE subclient_id = OLD.id;
END;
CREATE TRIGGER mount_path_removed AFTER DELETE ON mount_path BEGIN
  DELETE FROM subclient_mount_path WHERE mount_path_id = OLD.id;
  DELETE FROM detached_mount_path WHERE mount_path_id = OLD.id;
END;
CREATE TABLE IF NOT EXISTS catalog_schema_version (version INTEGER NOT NULL);
DELETE FROM catalog_schema_version;
INSERT INTO catalog_schema_version (version) VALUES (2);
