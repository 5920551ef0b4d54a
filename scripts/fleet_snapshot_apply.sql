-- Makes ROBOT.global_config equal to the temporary table fleet_snapshot_rows, ids included
-- (the fleet's later row events find their rows by id). Run by fleet_follow_lib.sh inside
-- its transaction, with @velgar_fleet_sync set: the guard lets this session write and the
-- table's own triggers log nothing. What the change log gets is worked out here instead,
-- item by item with the triggers' key (name and type, and node_name for a parameter): an
-- item whose effective global value changed is set, one that is gone is withdrawn, and
-- nothing else, whatever the ids of the rows were. The triggers' own procedures decide, so a
-- custom_config override still wins.

CREATE TEMPORARY TABLE fleet_live_before AS
  SELECT g.name, g.value, g.node_name, g.config_type FROM global_config g
  WHERE g.deleted = 0 AND g.id = (SELECT MAX(m.id) FROM global_config m WHERE m.deleted = 0
    AND m.name = g.name AND m.config_type <=> g.config_type
    AND (g.config_type = 2 OR m.node_name <=> g.node_name));

DELETE g FROM global_config g LEFT JOIN fleet_snapshot_rows s ON s.id = g.id WHERE s.id IS NULL;
UPDATE global_config g JOIN fleet_snapshot_rows s ON s.id = g.id
  SET g.name = s.name, g.value = s.value, g.node_name = s.node_name,
      g.config_type = s.config_type, g.deleted = s.deleted, g.created_at = s.created_at,
      g.updated_at = s.updated_at
  WHERE NOT (g.name <=> s.name AND g.value <=> s.value AND g.node_name <=> s.node_name
    AND g.config_type <=> s.config_type AND g.deleted <=> s.deleted
    AND g.created_at <=> s.created_at AND g.updated_at <=> s.updated_at);
INSERT INTO global_config SELECT s.* FROM fleet_snapshot_rows s
  LEFT JOIN global_config g ON g.id = s.id WHERE g.id IS NULL;

CREATE TEMPORARY TABLE fleet_live_after AS
  SELECT g.name, g.value, g.node_name, g.config_type FROM global_config g
  WHERE g.deleted = 0 AND g.id = (SELECT MAX(m.id) FROM global_config m WHERE m.deleted = 0
    AND m.name = g.name AND m.config_type <=> g.config_type
    AND (g.config_type = 2 OR m.node_name <=> g.node_name));

CREATE TEMPORARY TABLE fleet_item_changes AS
  SELECT 'withdrawn' AS kind, b.name, b.value, b.node_name, b.config_type
  FROM fleet_live_before b LEFT JOIN fleet_live_after a ON a.name = b.name
    AND a.config_type <=> b.config_type AND (b.config_type = 2 OR a.node_name <=> b.node_name)
  WHERE a.name IS NULL;
INSERT INTO fleet_item_changes
  SELECT IF(b.name IS NULL, 'insert', 'update'), a.name, a.value, a.node_name, a.config_type
  FROM fleet_live_after a LEFT JOIN fleet_live_before b ON b.name = a.name
    AND b.config_type <=> a.config_type AND (a.config_type = 2 OR b.node_name <=> a.node_name)
  WHERE b.name IS NULL OR NOT (b.value <=> a.value);

DELIMITER //
BEGIN NOT ATOMIC
  DECLARE done BOOLEAN DEFAULT FALSE;
  DECLARE k VARCHAR(16);
  DECLARE n VARCHAR(255);
  DECLARE v MEDIUMTEXT;
  DECLARE nn VARCHAR(255);
  DECLARE t INT;
  DECLARE changes CURSOR FOR
    SELECT kind, name, value, node_name, config_type FROM fleet_item_changes
    ORDER BY kind <> 'withdrawn', name;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET done = TRUE;
  OPEN changes;
  each_change: LOOP
    FETCH changes INTO k, n, v, nn, t;
    IF done THEN
      LEAVE each_change;
    END IF;
    IF k = 'withdrawn' THEN
      CALL config_item_withdrawn('global_config', n, v, nn, t);
    ELSE
      CALL config_item_set('global_config', k, n, v, nn, t);
    END IF;
  END LOOP;
  CLOSE changes;
END//
DELIMITER ;

-- (A temporary table can be read only once per statement.)
SELECT CONCAT((SELECT COUNT(*) FROM fleet_snapshot_rows), ' rows, ',
  IFNULL(SUM(kind <> 'withdrawn'), 0), ' items set, ',
  IFNULL(SUM(kind = 'withdrawn'), 0), ' withdrawn')
  FROM fleet_item_changes;
