"""What robots report back, on the fleet server: the latest state of every item of every
robot (velgar_fleet.item_reports, read through the stable view velgar_fleet.robot_items),
the one procedure through which robots write it, and each robot's report account.

A report account may run that procedure and nothing else: it cannot read any table, so one
robot's account reads nothing of another robot's rows nor of global_config, and the
procedure writes the rows of the robot the login maps to (velgar_fleet.reporters), whatever
the caller says. Reports are state: each carries a sequence number that grows per robot,
and one not newer than the newest stored is ignored (an older report never overwrites a
newer one)."""
import os
import secrets

from velgar_fleet.errors import FleetError
from velgar_fleet.files import write_file

# Report accounts are the robot's name with this suffix: never a replication account, whose
# names are robot names (no robot name ends with it: see options.robot_name).
ACCOUNT_SUFFIX = '.report'
STATES = ('applied', 'held', 'refused', 'passed_over', 'drifted')
# A state that the reporter sends for an item the node no longer keeps: its row goes.
GONE = 'gone'

_ITEM_COLUMNS = """node_name VARCHAR(255) CHARACTER SET utf8mb4 PATH '$.node_name',
        name VARCHAR(255) CHARACTER SET utf8mb4 PATH '$.name',
        config_type INT PATH '$.config_type',
        state VARCHAR(16) CHARACTER SET ascii PATH '$.state',
        reason TEXT CHARACTER SET utf8mb4 PATH '$.reason',
        value_sha256 VARCHAR(64) CHARACTER SET ascii PATH '$.value_sha256',
        change_id BIGINT PATH '$.change_id'"""

SCHEMA = (
    """CREATE TABLE IF NOT EXISTS velgar_fleet.reporters (
      robot VARCHAR(80) CHARACTER SET ascii COLLATE ascii_bin NOT NULL PRIMARY KEY,
      account VARCHAR(96) CHARACTER SET ascii COLLATE ascii_bin NOT NULL UNIQUE,
      last_seq BIGINT UNSIGNED NOT NULL DEFAULT 0,
      reported_at TIMESTAMP(6) NULL,
      added_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP) ENGINE=InnoDB""",
    """CREATE TABLE IF NOT EXISTS velgar_fleet.item_reports (
      robot VARCHAR(80) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
      node_name VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
      name VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
      config_type INT NOT NULL,
      state ENUM('applied', 'held', 'refused', 'passed_over', 'drifted') NOT NULL,
      reason TEXT CHARACTER SET utf8mb4 NOT NULL,
      value_sha256 CHAR(64) CHARACTER SET utf8mb4 NOT NULL,
      change_id BIGINT NOT NULL,
      reported_at TIMESTAMP(6) NOT NULL,
      seq BIGINT UNSIGNED NOT NULL,
      PRIMARY KEY (robot, config_type, node_name, name),
      KEY item (config_type, name, node_name)) ENGINE=InnoDB""",
    'ALTER TABLE velgar_fleet.robots ADD COLUMN IF NOT EXISTS reported_at TIMESTAMP(6) NULL',
    # The stable view operators build on: its columns keep their names and meaning.
    """CREATE OR REPLACE SQL SECURITY INVOKER VIEW velgar_fleet.robot_items AS
      SELECT robot, node_name, name, config_type, state, reason, value_sha256, change_id,
             reported_at
      FROM velgar_fleet.item_reports""",
    'DROP PROCEDURE IF EXISTS velgar_fleet.report_items',
    f"""CREATE DEFINER = CURRENT_USER PROCEDURE velgar_fleet.report_items(
        IN report_seq BIGINT UNSIGNED, IN whole TINYINT, IN items LONGTEXT)
      MODIFIES SQL DATA SQL SECURITY DEFINER
      COMMENT 'A robot reports its item states; the robot is the one its login maps to'
    BEGIN
      DECLARE me VARCHAR(80) CHARACTER SET ascii DEFAULT NULL;
      DECLARE newest BIGINT UNSIGNED DEFAULT 0;
      DECLARE EXIT HANDLER FOR SQLEXCEPTION
        BEGIN ROLLBACK; SET SESSION sql_log_bin = 1; RESIGNAL; END;
      -- Reports stay out of the binary log: every robot reads that log, and another robot's
      -- reports are none of its business (nor the bytes of them, robots times reports).
      SET SESSION sql_log_bin = 0;
      START TRANSACTION;
      SELECT robot, last_seq INTO me, newest FROM velgar_fleet.reporters
        WHERE account = SUBSTRING_INDEX(USER(), '@', 1) FOR UPDATE;
      IF me IS NULL THEN
        SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'this account reports for no robot';
      END IF;
      IF report_seq <= newest THEN
        COMMIT;
        SET SESSION sql_log_bin = 1;
        SELECT 'stale' AS outcome, newest AS seq;
      ELSE
        DELETE r FROM velgar_fleet.item_reports r
          JOIN JSON_TABLE(items, '$[*]' COLUMNS ({_ITEM_COLUMNS})) j
            ON r.config_type = j.config_type AND r.name = j.name COLLATE utf8mb4_bin
               AND r.node_name = COALESCE(j.node_name, '') COLLATE utf8mb4_bin
          WHERE r.robot = me AND j.state = '{GONE}';
        INSERT INTO velgar_fleet.item_reports (robot, node_name, name, config_type, state,
            reason, value_sha256, change_id, reported_at, seq)
          SELECT me, COALESCE(j.node_name, ''), j.name, j.config_type, j.state,
                 COALESCE(j.reason, ''), COALESCE(j.value_sha256, ''),
                 COALESCE(j.change_id, 0), NOW(6), report_seq
          FROM JSON_TABLE(items, '$[*]' COLUMNS ({_ITEM_COLUMNS})) j
          WHERE j.state <> '{GONE}'
          ON DUPLICATE KEY UPDATE state = VALUES(state), reason = VALUES(reason),
            value_sha256 = VALUES(value_sha256), change_id = VALUES(change_id),
            reported_at = VALUES(reported_at), seq = VALUES(seq);
        IF whole THEN
          DELETE FROM velgar_fleet.item_reports WHERE robot = me AND seq < report_seq;
        END IF;
        UPDATE velgar_fleet.reporters SET last_seq = report_seq, reported_at = NOW(6)
          WHERE robot = me;
        UPDATE velgar_fleet.robots SET reported_at = NOW(6) WHERE name = me;
        COMMIT;
        SET SESSION sql_log_bin = 1;
        SELECT 'stored' AS outcome, report_seq AS seq;
      END IF;
    END""",
)


def prepare(server):
    """The tables, the view and the procedure (kept out of the binary log by the caller)."""
    server.execute_unlogged([(statement, None) for statement in SCHEMA])


def account_of(robot):
    return robot + ACCOUNT_SUFFIX


def add_reporter(server, robot, from_host, host, port, ca, out):
    """Creates (or gives a new password to) robot's report account: EXECUTE on the report
    procedure only, TLS required, a generated password. Writes what the robot's reporter
    needs (a MariaDB option file: host, port, user, password, the CA) to out, mode 0600."""
    account = (account_of(robot), from_host)
    password = secrets.token_urlsafe(24)
    server.execute_unlogged([
        ('CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s REQUIRE SSL', account + (password,)),
        ('ALTER USER %s@%s IDENTIFIED BY %s REQUIRE SSL', account + (password,)),
        ('REVOKE ALL PRIVILEGES, GRANT OPTION FROM %s@%s', account),
        ('GRANT EXECUTE ON PROCEDURE velgar_fleet.report_items TO %s@%s', account),
        ("""INSERT INTO velgar_fleet.reporters (robot, account) VALUES (%s, %s)
              ON DUPLICATE KEY UPDATE account = VALUES(account)""", (robot, account[0])),
    ])
    write_file(out, f"""\
# The report account of {robot} on the fleet server, written by velgar-fleet server
# add-reporter. Root's only on the robot: `velgar-fleet robot report --credentials` reads it.
[client]
host={host}
port={port}
user={account[0]}
password="{password}"
ssl-ca={os.path.realpath(ca)}
""", mode=0o600)
    print(f'report account {account[0]}@{from_host} ready (reports of {robot} only, TLS'
          f' required); its credentials are in {out}')


def remove_reporter(server, robot):
    """Drops every account that reports for robot, and its reported rows."""
    accounts = server.rows('SELECT user, host FROM mysql.user WHERE user = %s',
                           (account_of(robot),))
    server.execute_unlogged(
        [('DROP USER %s@%s', tuple(a)) for a in accounts] +
        [('DELETE FROM velgar_fleet.item_reports WHERE robot = %s', (robot,)),
         ('DELETE FROM velgar_fleet.reporters WHERE robot = %s', (robot,))])


def check_prepared(server):
    if not server.scalar("""SELECT COUNT(*) FROM information_schema.TABLES
                            WHERE TABLE_SCHEMA = 'velgar_fleet' AND TABLE_NAME = 'reporters'"""):
        raise FleetError('this server keeps no reports: run `velgar-fleet server setup` first')
