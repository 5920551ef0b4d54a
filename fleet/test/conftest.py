"""The fleet tools' tests. Those marked with the `server` fixture run against the private
MariaDB that scripts/isolated.sh starts (127.0.0.1:3306, its socket where the client looks
by default, the schema loaded; `bash scripts/test.sh` runs them there) and skip, saying so,
when it is not there. They leave its tables, settings and accounts as they found them."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))

import MySQLdb  # noqa: E402

from velgar_fleet.local_server import LocalServer  # noqa: E402

SETTINGS = ('server_id', 'replicate_do_table', 'replicate_wild_do_table',
            'slave_run_triggers_for_rbr', 'slave_net_timeout', 'gtid_slave_pos')


@pytest.fixture
def server():
    """A session with the test server as its administrator, its item tables empty; after
    the test, replication, the server's settings and the fleet's database are as before."""
    if os.environ.get('CONFIG_CENTER_ISOLATED') != 'inside':
        pytest.skip('needs the private test server: run under scripts/isolated.sh '
                    '(bash scripts/test.sh does)')
    try:
        session = LocalServer()
    except MySQLdb.Error as error:
        pytest.skip(f'no test server ({error.args[-1]}): run under scripts/isolated.sh')
    before = session.rows('SELECT ' + ', '.join(f'@@global.{s}' for s in SETTINGS))[0]
    reset_tables(session)
    yield session
    session.reconnect()
    session.stop_replication()
    session.execute('RESET SLAVE ALL')
    session.execute('SET GLOBAL ' + ', '.join(f'{s} = %s' for s in SETTINGS), before)
    # The guard against TRUNCATE would stop the other suites' resets.
    session.execute('DROP DATABASE IF EXISTS velgar_fleet')
    for user, host in session.rows(
            "SELECT user, host FROM mysql.user WHERE user LIKE 'fleet_test%'"):
        session.execute('DROP USER %s@%s', (user, host))
    reset_tables(session)
    session.close()


def reset_tables(session):
    session.execute('DELETE FROM ROBOT.global_config')
    session.execute('DELETE FROM ROBOT.custom_config')
    session.execute('DELETE FROM ROBOT.config_table_changes')
