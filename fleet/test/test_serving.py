"""What a fleet server (or a relay) does for its followers, against the test server: its
bookkeeping, accounts and server ids, the guard against TRUNCATE, snapshots and
clear-global."""
import io
import time

import MySQLdb
import pytest

from velgar_fleet import serve_status, serving, snapshot
from velgar_fleet.errors import FleetError
from velgar_fleet.snapshot import read_snapshot


@pytest.fixture
def fleet_server(server):
    # A fleet server serves its binary log; `scripts/test.sh --without-binlog` runs the
    # suites on a server without one.
    if not server.scalar('SELECT @@log_bin'):
        pytest.skip('a fleet server needs a binary log; this test server runs without one')
    serving.prepare(server)
    return server


# A password the fleet takes (not the public one, long enough).
LONG_ENOUGH = 'a long enough pw'


def password_file(tmp_path, text):
    path = tmp_path / 'robot.pw'
    path.write_bytes(text.encode() + b'\r\nsecond line ignored\n')
    return str(path)


def test_robots_get_ids_of_their_own_that_no_other_server_hands_out(fleet_server, tmp_path):
    own = fleet_server.scalar('SELECT @@server_id')
    pw = password_file(tmp_path, LONG_ENOUGH)
    ids = [serving.add_robot(fleet_server, f'fleet_test{i}', '%', pw) for i in range(3)]
    assert ids == [own * 1000 + 1, own * 1000 + 2, own * 1000 + 3]
    # Added again (a new password), a robot keeps its id.
    assert serving.add_robot(fleet_server, 'fleet_test1', '127.0.0.1', pw) == ids[1]
    assert fleet_server.rows("""SELECT user, host, ssl_type FROM mysql.user
                                WHERE user = 'fleet_test1' ORDER BY host""") == \
        [('fleet_test1', '%', 'ANY'), ('fleet_test1', '127.0.0.1', 'ANY')]
    # Its id goes with its last account only.
    serving.remove_robot(fleet_server, 'fleet_test1', '%')
    assert fleet_server.scalar("SELECT server_id FROM velgar_fleet.robots WHERE name = "
                               "'fleet_test1'") == ids[1]
    serving.remove_robot(fleet_server, 'fleet_test1', '127.0.0.1')
    assert fleet_server.scalar("SELECT COUNT(*) FROM velgar_fleet.robots WHERE name = "
                               "'fleet_test1'") == 0


def test_a_password_reaches_the_server_as_it_is(fleet_server, tmp_path):
    secret = "it's a \\'; DROP USER root; -- pass\"word"
    serving.add_robot(fleet_server, 'fleet_test_pw', '%', password_file(tmp_path, secret))
    assert fleet_server.scalar("""SELECT authentication_string = PASSWORD(%s) FROM mysql.user
                                  WHERE user = 'fleet_test_pw'""", (secret,)) == 1


def test_the_public_or_a_short_password_is_refused_and_grants_are_exact(
        fleet_server, tmp_path):
    for refused in ('fernsTWIGS@qa', 'short'):
        with pytest.raises(FleetError, match='refused'):
            serving.add_robot(fleet_server, 'fleet_test_weak', '%',
                              password_file(tmp_path, refused))
    assert fleet_server.scalar("SELECT COUNT(*) FROM mysql.user WHERE user = "
                               "'fleet_test_weak'") == 0
    # An account that held more before holds exactly the fleet's grants afterwards.
    fleet_server.execute("CREATE USER IF NOT EXISTS 'fleet_test_weak'@'%' IDENTIFIED BY "
                         "'a long enough pw'")
    fleet_server.execute("GRANT SELECT ON ROBOT.* TO 'fleet_test_weak'@'%'")
    serving.add_robot(fleet_server, 'fleet_test_weak', '%', password_file(tmp_path, 'x' * 20))
    grants = ' '.join(row[0] for row in fleet_server.rows(
        "SHOW GRANTS FOR 'fleet_test_weak'@'%'"))
    assert 'ROBOT' not in grants
    serving.remove_robot(fleet_server, 'fleet_test_weak', '%')


def test_an_account_may_replicate_and_read_the_ids_only(fleet_server, tmp_path):
    serving.add_robot(fleet_server, 'fleet_test_grants', '%',
                      password_file(tmp_path, LONG_ENOUGH))
    grants = ' '.join(row[0] for row in fleet_server.rows(
        "SHOW GRANTS FOR 'fleet_test_grants'@'%'"))
    assert 'GRANT REPLICATION SLAVE ON *.*' in grants
    assert 'GRANT SELECT ON `velgar_fleet`.`server_ids`' in grants
    assert 'ALL PRIVILEGES' not in grants and 'ROBOT' not in grants


def test_bookkeeping_stays_out_of_the_binary_log(fleet_server, tmp_path):
    before = fleet_server.scalar('SELECT @@gtid_binlog_pos')
    serving.prepare(fleet_server)
    serving.add_robot(fleet_server, 'fleet_test_log', '%', password_file(tmp_path, LONG_ENOUGH))
    serving.remove_robot(fleet_server, 'fleet_test_log', '%')
    assert fleet_server.scalar('SELECT @@gtid_binlog_pos') == before


def test_truncate_and_drop_of_global_config_are_refused(fleet_server):
    with pytest.raises(MySQLdb.Error, match='use_fleet_server_sh_clear_global'):
        fleet_server.execute('TRUNCATE ROBOT.global_config')
    with pytest.raises(MySQLdb.IntegrityError):
        fleet_server.execute('DROP TABLE ROBOT.global_config')


def insert_items(server):
    server.execute("""INSERT INTO ROBOT.global_config (name, value, node_name, config_type)
        VALUES ('speed', 's0', 'fleet_arm', 1), ('limits.yaml', %s, '', 2),
               ('empty', NULL, NULL, NULL)""", ('limit:\t1\n\\N \u00fc',))


def test_a_snapshot_holds_the_rows_and_their_position(fleet_server, tmp_path):
    insert_items(fleet_server)
    out = io.BytesIO()
    serving.write_snapshot(fleet_server, out)
    path = tmp_path / 'fleet.snapshot'
    path.write_bytes(out.getvalue())
    rows = io.BytesIO()
    position, count = read_snapshot(str(path), rows)
    assert position == fleet_server.scalar('SELECT @@gtid_binlog_pos') and count == 3
    lines = [line.split(b'\t') for line in rows.getvalue().splitlines()]
    assert bytes.fromhex(lines[1][2].decode()).decode() == 'limit:\t1\n\\N \u00fc'
    assert lines[2][2:5] == [snapshot.NULL] * 3
    ids = [row[0] for row in fleet_server.rows('SELECT id FROM ROBOT.global_config ORDER BY id')]
    assert [int(line[0]) for line in lines] == ids
    created = fleet_server.scalar("""SELECT UNIX_TIMESTAMP(created_at) FROM ROBOT.global_config
                                     WHERE name = 'speed'""")
    assert float(lines[0][6]) == float(created)


def test_clear_global_deletes_with_row_events(fleet_server, capsys):
    insert_items(fleet_server)
    serving.clear_global(fleet_server)
    assert 'deleted 3 rows' in capsys.readouterr().out
    assert fleet_server.scalar('SELECT COUNT(*) FROM ROBOT.global_config') == 0
    # Each row's delete ran the triggers: every item is withdrawn in the change log.
    assert fleet_server.scalar("""SELECT COUNT(*) FROM ROBOT.config_table_changes
                                  WHERE deleted = 1""") >= 2


def log_line(at, server_id):
    stamp = time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(at)).replace(' 0', '  ', 1)
    return f'{stamp} 42 [Note] Start binlog_dump to slave_server({server_id}), pos(x, 4)\n'


def test_connections_started_close_together_or_often_are_found():
    now = 1765370000.0
    lines = [log_line(now - 700, 1001), log_line(now - 650, 1001),    # before the ten minutes
             log_line(now - 300, 1001), log_line(now - 299, 1001),    # two within 2 s
             log_line(now - 200, 1002), log_line(now - 100, 1002),    # two far apart
             *[log_line(now - 500 + 60 * k, 1003) for k in range(5)],  # five in ten minutes
             '2026-12-10 12:00:00 0 [Note] something else\n']
    starts = list(serve_status.dump_starts(lines, now=now))
    assert sorted({i for i, _ in starts}) == [1001, 1002, 1003] and len(starts) == 9
    assert serve_status.repeated_starts(starts) == [(1001, 2, 1), (1003, 5, 60)]


def test_status_lists_the_robots_not_connected(fleet_server, tmp_path):
    serving.add_robot(fleet_server, 'fleet_test_status', '%', password_file(tmp_path, LONG_ENOUGH))
    lines = serve_status.report(fleet_server)
    assert lines[0].startswith('binary log ')
    at = lines.index('not connected:')
    assert lines[at - 1:at] == ['  none'] and lines[at - 2] == 'connected:'
    assert lines[at + 1].startswith('  fleet_test_status (server id ')
    # (What follows depends on who replicated from the test server in the last ten minutes:
    # the node's change feed does, in the other suites.)
    assert 'server ids in use twice, or connections started again and again:' in lines
