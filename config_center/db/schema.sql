-- The ROBOT configuration database: the two item tables, the change log that the
-- config_center node follows, the triggers that fill it, and the account of a robot not set
-- up yet (reads ROBOT, nothing else; see the end of the file).
--
-- Load it as the server's administrator:  mariadb < db/schema.sql
--
-- Loading it again on an existing database is safe: tables are created only where missing,
-- so their rows are kept (an existing table's definition is not altered either); the helper
-- routines and triggers are dropped and created again, so they always match this file; the
-- account `robot` is created where missing and gets the password and grants below again.
--
-- Precedence: a live custom_config item overrides the global_config item with the same key.
-- The key is (name, node_name, config_type) for a parameter item and (name, config_type) for
-- a file item, whose node_name says nothing about the file. The triggers log what changes
-- the item in effect, so the change log never undoes that precedence:
--   insert of a live row                    -> "insert" with the row's values
--   update of a live row                    -> "update" with the new values, deleted 0
--   row withdrawn (deleted set, hard DELETE,
--     or its key changed)                   -> "update" with deleted 1 for the old key,
--                                              unless another live row of that key now
--                                              takes effect: then "update" with that row's
--                                              values and deleted 0 (a custom row first)
--   any change to a global row while a live custom override of its key exists -> nothing
--   a change to a row that is and stays withdrawn, or an insert of a withdrawn row -> nothing
--
-- In a fleet (see docs/fleet.md) the same file is loaded on the fleet server and on every
-- robot. What differs is only each server's options, set by the fleet tool (fleet/velgar-fleet
-- server and robot):
--   fleet server: global_config is edited here and leaves through the binary log; its
--     custom_config is unused and its change log is followed by no one (nothing here reads
--     either; a fleet server runs no config_center).
--   robot: global_config arrives from the fleet server by replication and the robot's own
--     triggers run on those rows, so the change log and precedence work exactly as for
--     local edits; custom_config and the change log stay local. A robot's server replicates
--     global_config only (replicate_do_table), and while it does, the guard triggers below
--     refuse every other writer: a local edit would be overwritten by the next fleet change,
--     or stop replication on a clash of ids. Overrides belong in custom_config.

CREATE DATABASE IF NOT EXISTS ROBOT CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
USE ROBOT;

-- Names compare byte for byte (utf8mb4_bin): ROS parameter names and file names are
-- case-sensitive. value holds whole files, up to 16 MiB.
CREATE TABLE IF NOT EXISTS global_config (
  id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL,
  value MEDIUMTEXT NULL,
  node_name VARCHAR(255) NULL,
  config_type INT NULL COMMENT '1 parameter item, 2 file item',
  deleted INT NOT NULL DEFAULT 0 COMMENT '0 live, otherwise withdrawn',
  created_at TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
  updated_at TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3) ON UPDATE CURRENT_TIMESTAMP(3),
  KEY item_key (name, config_type, node_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;

CREATE TABLE IF NOT EXISTS custom_config (
  id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(255) NOT NULL,
  value MEDIUMTEXT NULL,
  node_name VARCHAR(255) NULL,
  config_type INT NULL COMMENT '1 parameter item, 2 file item',
  deleted INT NOT NULL DEFAULT 0 COMMENT '0 live, otherwise withdrawn',
  created_at TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
  updated_at TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3) ON UPDATE CURRENT_TIMESTAMP(3),
  KEY item_key (name, config_type, node_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;

-- Written only by the triggers below; the node reads rows with id above the last one it saw.
CREATE TABLE IF NOT EXISTS config_table_changes (
  id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  source_table VARCHAR(64) NOT NULL COMMENT 'global_config or custom_config',
  name VARCHAR(255) NOT NULL,
  value MEDIUMTEXT NULL,
  node_name VARCHAR(255) NULL,
  change_type VARCHAR(16) NOT NULL COMMENT 'insert or update',
  config_type INT NULL,
  deleted INT NOT NULL DEFAULT 0,
  changed_at TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;

DROP TRIGGER IF EXISTS global_config_before_insert;
DROP TRIGGER IF EXISTS global_config_before_update;
DROP TRIGGER IF EXISTS global_config_before_delete;
DROP TRIGGER IF EXISTS global_config_after_insert;
DROP TRIGGER IF EXISTS global_config_after_update;
DROP TRIGGER IF EXISTS global_config_after_delete;
DROP TRIGGER IF EXISTS custom_config_after_insert;
DROP TRIGGER IF EXISTS custom_config_after_update;
DROP TRIGGER IF EXISTS custom_config_after_delete;
DROP PROCEDURE IF EXISTS config_item_set;
DROP PROCEDURE IF EXISTS config_item_withdrawn;
DROP FUNCTION IF EXISTS config_live_item;
DROP PROCEDURE IF EXISTS config_global_writable;

DELIMITER //

-- Id of the newest live row of `table_name` with the key of (n, nn, t), or NULL.
CREATE FUNCTION config_live_item(table_name VARCHAR(64), n VARCHAR(255), nn VARCHAR(255), t INT)
RETURNS BIGINT
READS SQL DATA
BEGIN
  DECLARE found BIGINT DEFAULT NULL;
  IF table_name = 'custom_config' THEN
    SELECT MAX(id) INTO found FROM custom_config
      WHERE deleted = 0 AND name = n AND config_type <=> t AND (t = 2 OR node_name <=> nn);
  ELSE
    SELECT MAX(id) INTO found FROM global_config
      WHERE deleted = 0 AND name = n AND config_type <=> t AND (t = 2 OR node_name <=> nn);
  END IF;
  RETURN found;
END//

-- A live row of `source` now holds these values.
CREATE PROCEDURE config_item_set(source VARCHAR(64), change_type VARCHAR(16), n VARCHAR(255),
                                 v MEDIUMTEXT, nn VARCHAR(255), t INT)
BEGIN
  -- A global item hidden by a live custom override is not in effect: nothing changes.
  IF source = 'custom_config' OR config_live_item('custom_config', n, nn, t) IS NULL THEN
    INSERT INTO config_table_changes (source_table, name, value, node_name, change_type,
                                      config_type, deleted)
      VALUES (source, n, v, nn, change_type, t, 0);
  END IF;
END//

-- A row of `source` with these values stopped being live.
CREATE PROCEDURE config_item_withdrawn(source VARCHAR(64), n VARCHAR(255), v MEDIUMTEXT,
                                       nn VARCHAR(255), t INT)
BEGIN
  DECLARE custom_id BIGINT DEFAULT config_live_item('custom_config', n, nn, t);
  DECLARE global_id BIGINT DEFAULT NULL;
  IF custom_id IS NOT NULL THEN
    -- Another custom row still decides the item (or, for a global row, always did).
    IF source = 'custom_config' THEN
      INSERT INTO config_table_changes (source_table, name, value, node_name, change_type,
                                        config_type, deleted)
        SELECT 'custom_config', name, value, node_name, 'update', config_type, 0
          FROM custom_config WHERE id = custom_id;
    END IF;
  ELSE
    SET global_id = config_live_item('global_config', n, nn, t);
    IF global_id IS NOT NULL THEN
      -- The global item comes back into effect.
      INSERT INTO config_table_changes (source_table, name, value, node_name, change_type,
                                        config_type, deleted)
        SELECT 'global_config', name, value, node_name, 'update', config_type, 0
          FROM global_config WHERE id = global_id;
    ELSE
      INSERT INTO config_table_changes (source_table, name, value, node_name, change_type,
                                        config_type, deleted)
        VALUES (source, n, v, nn, 'update', t, 1);
    END IF;
  END IF;
END//

-- Refuses a write to global_config on a robot whose server replicates it from a fleet,
-- unless the replication thread makes it: that thread applies each row under the server id
-- of the fleet server that wrote it, any other session runs under this server's own id.
-- The fleet tool's join (fleet/velgar_fleet/snapshot_apply.py) sets @velgar_fleet_sync in its session
-- for the one transaction that makes global_config the fleet's.
CREATE PROCEDURE config_global_writable()
BEGIN
  IF FIND_IN_SET('ROBOT.global_config', @@global.replicate_do_table) > 0
     AND @@session.server_id = @@global.server_id AND @velgar_fleet_sync IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT =
      'global_config comes from the fleet on this robot: change it on the fleet server, or override the item in custom_config';
  END IF;
END//

CREATE TRIGGER global_config_before_insert BEFORE INSERT ON global_config FOR EACH ROW
  CALL config_global_writable()//

CREATE TRIGGER global_config_before_update BEFORE UPDATE ON global_config FOR EACH ROW
  CALL config_global_writable()//

CREATE TRIGGER global_config_before_delete BEFORE DELETE ON global_config FOR EACH ROW
  CALL config_global_writable()//

-- In the fleet's join session (@velgar_fleet_sync) the three triggers below log nothing: that
-- session logs the items whose effective value changed itself, once the table is complete.
CREATE TRIGGER global_config_after_insert AFTER INSERT ON global_config FOR EACH ROW
BEGIN
  IF NEW.deleted = 0 AND @velgar_fleet_sync IS NULL THEN
    CALL config_item_set('global_config', 'insert', NEW.name, NEW.value, NEW.node_name,
                         NEW.config_type);
  END IF;
END//

CREATE TRIGGER global_config_after_update AFTER UPDATE ON global_config FOR EACH ROW
BEGIN
  DECLARE same_key BOOLEAN DEFAULT NEW.name <=> OLD.name AND NEW.config_type <=> OLD.config_type
    AND (NEW.config_type = 2 OR NEW.node_name <=> OLD.node_name);
  IF OLD.deleted = 0 AND (NEW.deleted <> 0 OR NOT same_key) AND @velgar_fleet_sync IS NULL THEN
    CALL config_item_withdrawn('global_config', OLD.name, IF(same_key, NEW.value, OLD.value),
                               OLD.node_name, OLD.config_type);
  END IF;
  IF NEW.deleted = 0 AND @velgar_fleet_sync IS NULL THEN
    CALL config_item_set('global_config', 'update', NEW.name, NEW.value, NEW.node_name,
                         NEW.config_type);
  END IF;
END//

CREATE TRIGGER global_config_after_delete AFTER DELETE ON global_config FOR EACH ROW
BEGIN
  IF OLD.deleted = 0 AND @velgar_fleet_sync IS NULL THEN
    CALL config_item_withdrawn('global_config', OLD.name, OLD.value, OLD.node_name,
                               OLD.config_type);
  END IF;
END//

CREATE TRIGGER custom_config_after_insert AFTER INSERT ON custom_config FOR EACH ROW
BEGIN
  IF NEW.deleted = 0 THEN
    CALL config_item_set('custom_config', 'insert', NEW.name, NEW.value, NEW.node_name,
                         NEW.config_type);
  END IF;
END//

CREATE TRIGGER custom_config_after_update AFTER UPDATE ON custom_config FOR EACH ROW
BEGIN
  DECLARE same_key BOOLEAN DEFAULT NEW.name <=> OLD.name AND NEW.config_type <=> OLD.config_type
    AND (NEW.config_type = 2 OR NEW.node_name <=> OLD.node_name);
  IF OLD.deleted = 0 AND (NEW.deleted <> 0 OR NOT same_key) THEN
    CALL config_item_withdrawn('custom_config', OLD.name, IF(same_key, NEW.value, OLD.value),
                               OLD.node_name, OLD.config_type);
  END IF;
  IF NEW.deleted = 0 THEN
    CALL config_item_set('custom_config', 'update', NEW.name, NEW.value, NEW.node_name,
                         NEW.config_type);
  END IF;
END//

CREATE TRIGGER custom_config_after_delete AFTER DELETE ON custom_config FOR EACH ROW
BEGIN
  IF OLD.deleted = 0 THEN
    CALL config_item_withdrawn('custom_config', OLD.name, OLD.value, OLD.node_name,
                               OLD.config_type);
  END IF;
END//

DELIMITER ;

-- The account of a robot not set up yet (TCP from 127.0.0.1, or the local socket): its
-- password is fixed in config_center's source, so anyone can read it, and it may read ROBOT
-- and nothing else. It holds no REPLICATION SLAVE: that privilege exists only server-wide
-- and reads every database's changes in the binary log. A node that logs in with it polls
-- the change log, and says in its log and on /diagnostics that its password is public.
--
-- deploy/setup_robot.sh gives the node an account of its own, `config_center`, with a
-- generated password that only root and the node's service can read, SELECT on ROBOT and
-- REPLICATION SLAVE for the change feed, and locks this one (unless told to keep it). This
-- file never touches that account; loading it again keeps a locked `robot` locked, and takes
-- REPLICATION SLAVE back from a `robot` that an older version of this file granted it.
CREATE USER IF NOT EXISTS 'robot'@'127.0.0.1' IDENTIFIED BY 'fernsTWIGS@qa';
CREATE USER IF NOT EXISTS 'robot'@'localhost' IDENTIFIED BY 'fernsTWIGS@qa';
ALTER USER 'robot'@'127.0.0.1' IDENTIFIED BY 'fernsTWIGS@qa';
ALTER USER 'robot'@'localhost' IDENTIFIED BY 'fernsTWIGS@qa';
-- Every server-wide privilege goes (REPLICATION SLAVE, FILE and the like read beyond ROBOT);
-- the grant on ROBOT stays in place meanwhile, so a node polling with it sees no gap.
REVOKE ALL PRIVILEGES ON *.* FROM 'robot'@'127.0.0.1';
REVOKE ALL PRIVILEGES ON *.* FROM 'robot'@'localhost';
GRANT SELECT ON ROBOT.* TO 'robot'@'127.0.0.1';
GRANT SELECT ON ROBOT.* TO 'robot'@'localhost';
