-- The catalog of one machine ($KX_HOME/catalog.db). Readers rely on these three tables only;
-- a catalog made by hand with exactly these statements works. Keep them as they are.
CREATE TABLE IF NOT EXISTS subclient (id INTEGER PRIMARY KEY, guid TEXT NOT NULL, backupset_guid TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, library TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS subclient_mount_path (subclient_id INTEGER NOT NULL, mount_path_id INTEGER NOT NULL, kind INTEGER NOT NULL, position INTEGER NOT NULL, PRIMARY KEY (subclient_id, mount_path_id));
