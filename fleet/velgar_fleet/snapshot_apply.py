"""Makes ROBOT.global_config equal to the rows of a checked snapshot (velgar_fleet.snapshot),
ids included (the fleet's later row events find their rows by id), in one transaction.

The session sets @velgar_fleet_sync for that transaction: the guard against local edits lets
it write and the table's own triggers log nothing. What the change log gets is worked out
here instead, item by item with the triggers' key (name and type, and node_name for a
parameter): an item whose effective global value changed is set, one that is gone is
withdrawn, and nothing else, whatever the ids of the rows were. The triggers' own procedures
decide, so a custom_config override still wins."""

_LIVE_ITEMS = """SELECT g.name, g.value, g.node_name, g.config_type FROM global_config g
  WHERE g.deleted = 0 AND g.id = (SELECT MAX(m.id) FROM global_config m WHERE m.deleted = 0
    AND m.name = g.name AND m.config_type <=> g.config_type
    AND (g.config_type = 2 OR m.node_name <=> g.node_name))"""

LOAD_ROWS = r"""LOAD DATA LOCAL INFILE %s INTO TABLE fleet_snapshot_rows
  CHARACTER SET binary FIELDS TERMINATED BY '\t' ESCAPED BY '\\'
  LINES TERMINATED BY '\n'
  (id, @name, @value, @node_name, @config_type, deleted, @created_at, @updated_at)
  SET name = UNHEX(@name), value = UNHEX(@value), node_name = UNHEX(@node_name),
    config_type = @config_type, created_at = FROM_UNIXTIME(@created_at),
    updated_at = FROM_UNIXTIME(@updated_at)"""

APPLY = (
    'CREATE TEMPORARY TABLE fleet_live_before AS ' + _LIVE_ITEMS,
    """DELETE g FROM global_config g LEFT JOIN fleet_snapshot_rows s ON s.id = g.id
       WHERE s.id IS NULL""",
    """UPDATE global_config g JOIN fleet_snapshot_rows s ON s.id = g.id
       SET g.name = s.name, g.value = s.value, g.node_name = s.node_name,
           g.config_type = s.config_type, g.deleted = s.deleted, g.created_at = s.created_at,
           g.updated_at = s.updated_at
       WHERE NOT (g.name <=> s.name AND g.value <=> s.value AND g.node_name <=> s.node_name
         AND g.config_type <=> s.config_type AND g.deleted <=> s.deleted
         AND g.created_at <=> s.created_at AND g.updated_at <=> s.updated_at)""",
    """INSERT INTO global_config SELECT s.* FROM fleet_snapshot_rows s
       LEFT JOIN global_config g ON g.id = s.id WHERE g.id IS NULL""",
    'CREATE TEMPORARY TABLE fleet_live_after AS ' + _LIVE_ITEMS,
    """CREATE TEMPORARY TABLE fleet_item_changes AS
       SELECT 'withdrawn' AS kind, b.name, b.value, b.node_name, b.config_type
       FROM fleet_live_before b LEFT JOIN fleet_live_after a ON a.name = b.name
         AND a.config_type <=> b.config_type AND (b.config_type = 2 OR a.node_name <=> b.node_name)
       WHERE a.name IS NULL""",
    """INSERT INTO fleet_item_changes
       SELECT IF(b.name IS NULL, 'insert', 'update'), a.name, a.value, a.node_name, a.config_type
       FROM fleet_live_after a LEFT JOIN fleet_live_before b ON b.name = a.name
         AND b.config_type <=> a.config_type AND (a.config_type = 2 OR b.node_name <=> a.node_name)
       WHERE b.name IS NULL OR NOT (b.value <=> a.value)""",
    """BEGIN NOT ATOMIC
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
    END""",
)

# (A temporary table can be read only once per statement.)
SUMMARY = """SELECT CONCAT((SELECT COUNT(*) FROM fleet_snapshot_rows), ' rows, ',
  IFNULL(SUM(kind <> 'withdrawn'), 0), ' items set, ',
  IFNULL(SUM(kind = 'withdrawn'), 0), ' withdrawn')
  FROM fleet_item_changes"""


def apply(session, rows_file, rows_logged):
    """Runs the whole change on session (a LocalServer opened with local_infile, used for
    nothing else: its temporary tables stay until it ends), whose
    rows go into this server's binary log only when rows_logged. Returns the summary line;
    raises MySQLdb.Error, with nothing changed, when any step fails."""
    session.execute('USE ROBOT')
    session.execute("SET SESSION time_zone = '+00:00'")
    session.execute('SET SESSION sql_log_bin = %s', (1 if rows_logged else 0,))
    session.execute('CREATE TEMPORARY TABLE fleet_snapshot_rows LIKE global_config')
    session.execute('START TRANSACTION')
    try:
        session.execute('SET @velgar_fleet_sync = 1')
        session.execute(LOAD_ROWS, (rows_file,))
        for statement in APPLY:
            session.execute(statement)
        summary = session.scalar(SUMMARY)
        session.execute('COMMIT')
    except BaseException:
        try:
            session.execute('ROLLBACK')
        except Exception:
            pass
        raise
    finally:
        try:
            session.execute('SET @velgar_fleet_sync = NULL')
        except Exception:
            pass
    return summary
