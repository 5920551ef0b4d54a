"""What robots report back, against the test server: the report procedure as each robot's
report account runs it (its own rows only, nothing else readable, older reports ignored),
the reporter's deltas, outages and restarts, and the operator's answers.

The test server serves no TLS, so the report accounts are let in without it here (REQUIRE
NONE after add-reporter made them): what these tests try is what an account may do once in.
The fleet box tries the accounts over TLS."""
import json
from contextlib import closing

import MySQLdb
import pytest

from velgar_fleet import report_answers, reporter, reports, serving
from velgar_fleet.errors import FleetError

A, B = 'fleet_testA', 'fleet_testB'


@pytest.fixture
def fleet_server(server):
    serving.prepare(server)
    return server


def add(fleet_server, tmp_path, robot):
    out = tmp_path / f'{robot}.cnf'
    ca = tmp_path / 'ca.pem'
    ca.write_text('not needed here\n')
    reports.add_reporter(fleet_server, robot, '%', '127.0.0.1', 3306, str(ca), str(out))
    fleet_server.execute('ALTER USER %s@%s REQUIRE NONE', (reports.account_of(robot), '%'))
    return reporter.read_credentials(str(out))


def login(credentials):
    return MySQLdb.connect(host='127.0.0.1', port=3306, user=credentials['user'],
                           passwd=credentials['password'], autocommit=True, charset='utf8mb4')


def item(name, state='applied', reason='', node='fleet_arm', digest='a' * 64, change=1):
    return {'node_name': node, 'name': name, 'config_type': 1, 'state': state,
            'reason': reason, 'value_sha256': digest, 'change_id': change}


def call(connection, seq, whole, items):
    cursor = connection.cursor()
    cursor.execute('CALL velgar_fleet.report_items(%s, %s, %s)', (seq, whole, json.dumps(items)))
    outcome = cursor.fetchone()
    while cursor.nextset():
        pass
    return outcome[0], int(outcome[1])


def rows_of(fleet_server, robot):
    return fleet_server.rows("""SELECT name, state, reason FROM velgar_fleet.robot_items
                                WHERE robot = %s ORDER BY name""", (robot,))


class PlainLink:
    """FleetLink's calls over a session without TLS (see the head of this file)."""

    def __init__(self, credentials):
        self.credentials = credentials
        self.connection = None
        self.down = False

    def report(self, seq, whole, items):
        if self.down:
            raise MySQLdb.OperationalError(2003, "Can't connect (link down)")
        if self.connection is None:
            self.connection = login(self.credentials)
        return call(self.connection, seq, whole, items)

    def close(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None


def test_an_account_writes_its_own_robots_rows_and_reads_nothing(fleet_server, tmp_path):
    a, b = add(fleet_server, tmp_path, A), add(fleet_server, tmp_path, B)
    fleet_server.execute("""INSERT INTO ROBOT.global_config (name, value, node_name, config_type)
                            VALUES ('speed', 'secret value', 'fleet_arm', 1)""")
    with closing(login(b)) as session_b:
        call(session_b, 10, 1, [item('speed', 'held', 'node not running')])
    with closing(login(a)) as session_a:
        # Whatever the report says, the rows are the login's robot's.
        spoof = dict(item('speed'), robot=B)
        assert call(session_a, 5, 1, [spoof]) == ('stored', 5)
        cursor = session_a.cursor()
        for statement in ('SELECT * FROM velgar_fleet.item_reports',
                          'SELECT * FROM velgar_fleet.robot_items',
                          'SELECT * FROM velgar_fleet.reporters',
                          'SELECT * FROM ROBOT.global_config',
                          'SELECT * FROM ROBOT.custom_config',
                          f"UPDATE velgar_fleet.item_reports SET state = 'applied'"
                          f" WHERE robot = '{B}'",
                          f"DELETE FROM velgar_fleet.item_reports WHERE robot = '{B}'",
                          "INSERT INTO ROBOT.global_config (name, value) VALUES ('x', 'y')",
                          'SHOW BINLOG EVENTS'):
            with pytest.raises(MySQLdb.OperationalError) as refused:
                cursor.execute(statement)
            assert refused.value.args[0] in (1142, 1227, 1044), statement
        # It sees the database of its procedure, not ROBOT.
        cursor.execute('SHOW DATABASES')
        assert {row[0] for row in cursor.fetchall()} == {'information_schema', 'velgar_fleet'}
        cursor.execute("SELECT COUNT(*) FROM information_schema.TABLES"
                       " WHERE TABLE_SCHEMA IN ('ROBOT', 'velgar_fleet')")
        assert cursor.fetchone()[0] == 0
    assert rows_of(fleet_server, A) == [('speed', 'applied', '')]
    assert rows_of(fleet_server, B) == [('speed', 'held', 'node not running')]
    grants = ' '.join(r[0] for r in fleet_server.rows(f"SHOW GRANTS FOR '{A}.report'@'%'"))
    assert 'GRANT EXECUTE ON PROCEDURE `velgar_fleet`.`report_items`' in grants
    assert 'REPLICATION' not in grants and 'SELECT' not in grants
    # An account that maps to no robot stores nothing.
    fleet_server.execute('DELETE FROM velgar_fleet.reporters WHERE robot = %s', (A,))
    with closing(login(a)) as session_a:
        with pytest.raises(MySQLdb.OperationalError, match='reports for no robot'):
            call(session_a, 50, 1, [item('speed', 'refused')])


def log_position(fleet_server):
    """The binary log's file and position; None on a server without a binary log (the
    test command's run without one), where no report can reach the log anyway."""
    rows = fleet_server.rows('SHOW MASTER STATUS')
    return rows[0][:2] if rows else None


def test_an_older_report_never_overwrites_a_newer_one(fleet_server, tmp_path):
    a = add(fleet_server, tmp_path, A)
    position = log_position(fleet_server)
    with closing(login(a)) as session:
        assert call(session, 200, 1, [item('speed', 'refused', 'out of range'),
                                      item('mode')]) == ('stored', 200)
        assert call(session, 150, 0, [item('speed')]) == ('stale', 200)
        assert call(session, 200, 0, [item('speed')]) == ('stale', 200)
        assert rows_of(fleet_server, A) == [('mode', 'applied', ''),
                                            ('speed', 'refused', 'out of range')]
        # A newer delta: one item changes, one goes, the rest stays.
        assert call(session, 201, 0, [item('speed'), item('mode', reports.GONE)]) == \
            ('stored', 201)
        assert rows_of(fleet_server, A) == [('speed', 'applied', '')]
        # A whole report drops what it does not name; a state out of the list is refused
        # and stores nothing of its report.
        call(session, 300, 1, [item('limit', 'drifted')])
        with pytest.raises(MySQLdb.Error):
            call(session, 301, 0, [item('speed'), item('limit', 'sideways')])
    assert rows_of(fleet_server, A) == [('limit', 'drifted', '')]
    # None of it reached the binary log, which every robot reads.
    assert log_position(fleet_server) == position
    assert fleet_server.scalar('SELECT last_seq FROM velgar_fleet.reporters WHERE robot = %s',
                               (A,)) == 300


def test_the_reporter_sends_changes_only_and_catches_up_after_an_outage(fleet_server, tmp_path):
    link = PlainLink(add(fleet_server, tmp_path, A))
    now = [0.0]
    work = reporter.Reporter(link, heartbeat=600, clock=lambda: now[0], log=lambda _: None)
    sent = []
    real_report = link.report
    link.report = lambda seq, whole, items: (sent.append((whole, len(items))),
                                             real_report(seq, whole, items))[1]
    assert work.due() is None
    work.take([item('speed', 'held', 'not running'), item('mode')])
    assert work.due() == 0 and work.send()
    assert sent == [(True, 2)]
    # Nothing changed: nothing due until the heartbeat.
    work.take([item('speed', 'held', 'not running'), item('mode')])
    assert work.due() == 600
    # The link goes down: the change waits, with a back-off; two more changes meanwhile.
    link.down = True
    work.take([item('speed'), item('mode')])
    assert not work.send() and work.due() == pytest.approx(0.5)
    now[0] = 0.5
    assert not work.send() and work.due() == pytest.approx(1.0)
    work.take([item('speed', digest='b' * 64), item('mode', 'drifted')])
    link.down = False
    now[0] = 2.0
    assert work.send()
    assert sent[-1] == (False, 2)
    assert fleet_server.rows("""SELECT name, state, value_sha256 FROM velgar_fleet.robot_items
                                ORDER BY name""") == [('mode', 'drifted', 'a' * 64),
                                                      ('speed', 'applied', 'b' * 64)]
    # The heartbeat is an empty report; a new reporter (a restart) reports whole, above the
    # old sequence, and what the node dropped meanwhile goes.
    now[0] = 700.0
    assert work.due() == 0 and work.send() and sent[-1] == (False, 0)
    again = reporter.Reporter(link, heartbeat=600, clock=lambda: now[0], log=lambda _: None)
    again.take([item('mode', 'drifted')])
    assert again.send() and sent[-1] == (True, 1)
    assert rows_of(fleet_server, A) == [('mode', 'drifted', '')]


def test_a_report_carries_digests_and_reasons_never_values():
    class State:
        node_name, name, config_type, state = 'fleet_arm', 'key', 1, 'applied'
        reason, value, value_sha256, change_id = 'x' * 5000, 'the secret', 'c' * 64, 7
    sent = reporter.item_of_message(State())
    assert 'the secret' not in json.dumps(sent) and sent['value_sha256'] == 'c' * 64
    assert len(sent['reason']) == reporter.REASON_LIMIT


def test_credentials_are_read_as_the_client_reads_them(tmp_path):
    path = tmp_path / 'report.cnf'
    path.write_text('# a comment\n[mysqld]\nuser=no\n[client]\nhost=fleet.example.org\n'
                    'user=r1.report\npassword="p;w#d"\nssl-ca=/etc/ca.pem\n')
    assert reporter.read_credentials(str(path)) == {
        'host': 'fleet.example.org', 'port': 3306, 'user': 'r1.report', 'password': 'p;w#d',
        'ca': '/etc/ca.pem'}
    path.write_text('[client]\nhost=h\n')
    with pytest.raises(FleetError, match='no user'):
        reporter.read_credentials(str(path))


def test_the_operator_sees_where_a_change_stands_and_who_is_silent(fleet_server, tmp_path):
    accounts = {r: add(fleet_server, tmp_path, r) for r in (A, B, 'fleet_testC')}
    fleet_server.execute("""INSERT INTO ROBOT.global_config (name, value, node_name, config_type)
                            VALUES ('speed', '1', 'fleet_arm', 1), ('mode', 'm', 'fleet_arm', 1)""")
    # C reports before the change of speed, A and B after it.
    with closing(login(accounts['fleet_testC'])) as c:
        call(c, 1, 1, [item('speed'), item('mode')])
    fleet_server.execute("""UPDATE ROBOT.global_config SET value = '2',
                              updated_at = NOW() + INTERVAL 1 SECOND WHERE name = 'speed'""")
    fleet_server.execute("SELECT SLEEP(1.1)")
    with closing(login(accounts[A])) as a, closing(login(accounts[B])) as b:
        call(a, 2, 1, [item('speed')])
        call(b, 2, 1, [item('speed', 'refused', 'speed: above the limit 1.5')])
    answer = report_answers.item_answer(fleet_server)
    assert answer['item']['name'] == 'speed' and answer['item']['node_name'] == 'fleet_arm'
    assert [r['robot'] for r in answer['states']['applied']] == [A]
    assert answer['states']['refused'][0]['reason'] == 'speed: above the limit 1.5'
    assert [r['robot'] for r in answer['silent']] == ['fleet_testC']
    text = '\n'.join(report_answers.item_lines(answer))
    assert f'refused         1  {B}' in text and 'silent          1  fleet_testC' in text
    assert json.loads(json.dumps(answer)) == answer
    # mode did not change since C reported it: C is not silent about it; A and B never
    # reported it.
    mode = report_answers.item_answer(fleet_server, 'mode', 'fleet_arm', 1)
    assert [r['robot'] for r in mode['states']['applied']] == ['fleet_testC']
    assert [r['robot'] for r in mode['silent']] == [A, B]
    with pytest.raises(FleetError, match='no parameter speed of node other'):
        report_answers.item_answer(fleet_server, 'speed', 'other', 1)
    robot = report_answers.robot_answer(fleet_server, B)
    assert [(i['name'], i['state'], i['reason']) for i in robot['items']] == [
        ('speed', 'refused', 'speed: above the limit 1.5')]
    assert 'refused     parameter fleet_arm speed' in '\n'.join(report_answers.robot_lines(robot))
    with pytest.raises(FleetError, match='no report account'):
        report_answers.robot_answer(fleet_server, 'fleet_testD')
