"""What only a robot, or only a relay, needs when it follows a binary log of global_config:
a robot runs its own triggers on the fleet's rows (so they reach the change log its node
follows); a relay passes them on and serves robots over TLS."""
import os

from velgar_fleet.serving import serve_option_lines

_RESYNC_EVENT = """CREATE OR REPLACE EVENT velgar_fleet.resync_when_global_config_replaced
  ON SCHEDULE EVERY 1 SECOND
  DO BEGIN
    DECLARE now_id BIGINT UNSIGNED DEFAULT (SELECT TABLE_ID
      FROM information_schema.INNODB_SYS_TABLES WHERE NAME = 'ROBOT/global_config');
    IF now_id IS NOT NULL
       AND NOT now_id <=> (SELECT table_id FROM velgar_fleet.global_config_seen) THEN
      TRUNCATE TABLE ROBOT.config_table_changes;
      UPDATE velgar_fleet.global_config_seen SET table_id = now_id;
    END IF;
  END"""


class RobotRole:
    # The rows a join applies go into this server's binary log, which its node follows.
    rows_logged = True

    def option_lines(self):
        return """\
# The fleet's rows run this robot's own triggers, so they reach the change log that
# config_center follows (YES would skip rows whose fleet server already ran triggers).
slave_run_triggers_for_rbr = ENFORCE
# The robot's binary log tells config_center of changes as they happen; it needs only recent
# events (the change log is the record).
binlog_expire_logs_seconds = 259200
max_binlog_size = 32M
# Runs the check for a global_config replaced without row events.
event_scheduler = ON
"""

    def settings(self):
        return ["SET GLOBAL slave_run_triggers_for_rbr = 'ENFORCE'",
                'SET GLOBAL event_scheduler = ON']

    def needs_restart(self, server):
        return False

    def joined(self, server):
        """A TRUNCATE, or DROP and CREATE, of global_config on the fleet server reaches the
        robot as a statement, which fires no trigger, so the change log would never hear of
        the items it removed. InnoDB gives the new table a new id: an event compares it
        every second with the one seen last and, when it changed, empties the change log.
        config_center takes a change log that went back as its cue to distribute the tables
        again and withdraw what is gone."""
        server.execute_unlogged([(statement, None) for statement in (
            'CREATE DATABASE IF NOT EXISTS velgar_fleet',
            """CREATE TABLE IF NOT EXISTS velgar_fleet.global_config_seen (
                 one TINYINT NOT NULL PRIMARY KEY, table_id BIGINT UNSIGNED NULL) ENGINE=InnoDB""",
            """REPLACE INTO velgar_fleet.global_config_seen SELECT 1, TABLE_ID
                 FROM information_schema.INNODB_SYS_TABLES WHERE NAME = 'ROBOT/global_config'""",
            _RESYNC_EVENT)])

    def left(self, server):
        server.execute_unlogged(
            [('DROP EVENT IF EXISTS velgar_fleet.resync_when_global_config_replaced', None)])


class RelayRole:
    """A relay's rows stay out of its binary log: robots take only the fleet's own
    transactions from it, so they find the same positions there as on the fleet server."""
    rows_logged = False

    def __init__(self, cert, key, bind):
        self.cert, self.key, self.bind = cert, key, bind

    def option_lines(self):
        return 'slave_run_triggers_for_rbr = NO\n' + serve_option_lines(
            self.cert, self.key, self.bind)

    def settings(self):
        return ["SET GLOBAL slave_run_triggers_for_rbr = 'NO'"]

    def needs_restart(self, server):
        return server.scalar("SELECT @@have_ssl = 'YES' AND @@ssl_cert <=> %s",
                             (os.path.realpath(self.cert),)) != 1

    def joined(self, server):
        pass
