-- The catalog of a site, shared by its client machines: version 1, which upgrade.sql brings to
-- the current version. The three tables have the names and columns of the single-machine
-- catalog; ids are 64-bit (subclient ids as their bit pattern).
CREATE TABLE IF NOT EXISTS subclient (id BIGINT PRIMARY KEY, guid TEXT NOT NULL, backupset_guid TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS mount_path (id BIGINT PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, library TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS subclient_mount_path (subclient_id BIGINT NOT NULL, mount_path_id BIGINT NOT NULL, kind BIGINT NOT NULL, position BIGINT NOT NULL, PRIMARY KEY (subclient_id, mount_path_id));
-- The data servers ask for the mount paths of one host.
CREATE INDEX IF NOT EXISTS mount_path_host ON mount_path (host);
