"""Serving global_config's binary log to the servers that follow it: what the fleet server
and a relay have in common."""
import os
import subprocess
import tempfile

from velgar_fleet import snapshot
from velgar_fleet.errors import FleetError
from velgar_fleet.files import read_secret

# The repository's schema, beside this package (fleet/velgar_fleet/ -> config_center/db/).
SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'config_center',
                      'db', 'schema.sql')


def serve_option_lines(cert, key, bind):
    """Option lines of a server that serves its binary log over TLS only. Its log is kept
    until purged by hand: a follower can catch up from as far back as the oldest log kept."""
    lines = ['expire_logs_days = 0',
             f'ssl_cert = {os.path.realpath(cert)}',
             f'ssl_key = {os.path.realpath(key)}',
             'require_secure_transport = ON']
    if bind:
        lines.append(f'bind_address = {bind}')
    return '\n'.join(lines) + '\n'


def check_tls_files(cert, key):
    if not os.access(cert, os.R_OK) or not os.access(key, os.R_OK):
        raise FleetError('needs --cert and --key (readable PEM files)')


_BOOKKEEPING = (
    'CREATE DATABASE IF NOT EXISTS velgar_fleet',
    """CREATE TABLE IF NOT EXISTS velgar_fleet.robots (
      name VARCHAR(80) CHARACTER SET ascii COLLATE ascii_bin NOT NULL PRIMARY KEY,
      server_id INT UNSIGNED NOT NULL UNIQUE,
      added_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP) ENGINE=InnoDB""",
    """CREATE OR REPLACE SQL SECURITY DEFINER VIEW velgar_fleet.server_ids AS
      SELECT server_id, CAST(name AS BINARY) = CAST(SUBSTRING_INDEX(USER(), '@', 1) AS BINARY)
        AS mine FROM velgar_fleet.robots""",
    # The constraint's name is what a refused TRUNCATE shows; servers set up before this
    # tool keep theirs, so the name stays.
    """CREATE TABLE IF NOT EXISTS velgar_fleet.no_truncate_of_global_config (
      id BIGINT NOT NULL,
      CONSTRAINT robots_miss_a_truncate_use_fleet_server_sh_clear_global
        FOREIGN KEY (id) REFERENCES ROBOT.global_config (id)) ENGINE=InnoDB""",
)


# The password the node's public account has in the program, readable by anyone who reads
# the source: no fleet account may have it, nor one short enough to guess.
_PUBLIC_PASSWORD = 'fernsTWIGS@qa'
_SHORTEST_PASSWORD = 12
# The node's account with that password: a fleet server or relay runs no node, so it is
# locked there, and nobody logs in with what everybody knows.
_PUBLIC_ACCOUNTS = (('robot', '127.0.0.1'), ('robot', 'localhost'))


def prepare(server, schema=SCHEMA):
    """The schema, and the fleet's own bookkeeping beside it, none of it in the binary log:
    - velgar_fleet.robots: the server id handed out to each robot (or relay) following this
      server, and a view through which each of them reads the ids in use and its own;
    - a foreign key onto global_config, so that TRUNCATE and DROP TABLE of it are refused:
      they would reach the followers without row events, so no trigger there would log them.
    The schema is a script of the mariadb client (its triggers need DELIMITER), so that
    client loads it, with the statements on its standard input."""
    try:
        with open(schema, 'rb') as f:
            script = b'SET SESSION sql_log_bin = 0;\n' + f.read()
    except OSError as error:
        raise FleetError(f'cannot read the schema {schema} ({error.strerror})')
    loaded = subprocess.run(['mariadb'], input=script, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    if loaded.returncode != 0:
        raise FleetError(f'loading {schema} failed: {loaded.stderr.decode().strip()}')
    server.execute_unlogged([(statement, None) for statement in _BOOKKEEPING] +
                            [('ALTER USER IF EXISTS %s@%s ACCOUNT LOCK', account)
                             for account in _PUBLIC_ACCOUNTS])


def check_password(password):
    """A fleet account's password is neither the program's public one nor a short one."""
    if password == _PUBLIC_PASSWORD:
        raise FleetError('refused: that password is the one fixed in config_center, which is '
                         'public; generate one (for example: head -c 24 /dev/urandom | base64)')
    if len(password) < _SHORTEST_PASSWORD:
        raise FleetError(f'refused: a password of {len(password)} characters; use at least '
                         f'{_SHORTEST_PASSWORD} (for example: head -c 24 /dev/urandom | base64)')


def add_robot(server, name, from_host, password_file):
    """Creates or updates the replication account name@from_host and hands the robot a
    server id of its own: this server's id times 1000 plus a count, so that the ids handed
    out by the fleet server and by each relay never meet (while they fit in 32 bits)."""
    password = read_secret(password_file)
    check_password(password)
    account = (name, from_host)
    server.execute_unlogged([
        ('CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s REQUIRE SSL', account + (password,)),
        ('ALTER USER %s@%s IDENTIFIED BY %s REQUIRE SSL', account + (password,)),
        # Exactly these grants, whatever the account held before.
        ('REVOKE ALL PRIVILEGES, GRANT OPTION FROM %s@%s', account),
        ('GRANT REPLICATION SLAVE ON *.* TO %s@%s', account),
        ('GRANT SELECT ON velgar_fleet.server_ids TO %s@%s', account),
        ("""INSERT IGNORE INTO velgar_fleet.robots (name, server_id)
              SELECT %s, GREATEST(COALESCE(MAX(server_id), 0),
                IF(@@server_id < 4294000, @@server_id * 1000, 100000)) + 1
              FROM velgar_fleet.robots""", (name,)),
    ])
    server_id = server.scalar('SELECT server_id FROM velgar_fleet.robots WHERE name = %s',
                              (name,))
    print(f'replication account {name}@{from_host} ready (REPLICATION SLAVE, TLS required),'
          f' server id {server_id}')
    return server_id


def remove_robot(server, name, from_host):
    """Drops the account; the robot's server id goes with its last account."""
    server.execute_unlogged([
        ('DROP USER IF EXISTS %s@%s', (name, from_host)),
        ("""DELETE FROM velgar_fleet.robots WHERE name = %s
              AND NOT EXISTS (SELECT 1 FROM mysql.user WHERE user = %s)""", (name, name)),
    ])
    print(f'replication account {name}@{from_host} removed')


_SNAPSHOT_POSITION = """SELECT BINLOG_GTID_POS(f.VARIABLE_VALUE, p.VARIABLE_VALUE)
  FROM information_schema.SESSION_STATUS f JOIN information_schema.SESSION_STATUS p
  WHERE f.VARIABLE_NAME = 'BINLOG_SNAPSHOT_FILE' AND p.VARIABLE_NAME = 'BINLOG_SNAPSHOT_POSITION'"""
_SNAPSHOT_ROWS = """SELECT id, CAST(name AS BINARY), CAST(value AS BINARY),
    CAST(node_name AS BINARY), config_type, deleted,
    CAST(UNIX_TIMESTAMP(created_at) AS CHAR), CAST(UNIX_TIMESTAMP(updated_at) AS CHAR)
  FROM ROBOT.global_config ORDER BY id"""


def write_snapshot(server, out):
    """global_config as of one moment, with that moment's position in the binary log, as
    data (velgar_fleet.snapshot) to the binary file out: written whole to a private file
    first, so that a failure leaves nothing half-written."""
    with tempfile.TemporaryFile(prefix='velgar-fleet-snapshot.') as whole:
        server.execute("SET SESSION time_zone = '+00:00'")
        server.execute('SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ')
        server.execute('START TRANSACTION WITH CONSISTENT SNAPSHOT')
        try:
            position = server.scalar(_SNAPSHOT_POSITION)
            if position is None:
                raise FleetError('could not read the position of global_config in the binary '
                                 'log (is it on?)')
            whole.write(snapshot.header(position))
            count = 0
            for row in server.stream(_SNAPSHOT_ROWS):
                whole.write(snapshot.format_row(*row))
                count += 1
            whole.write(snapshot.footer(count))
        finally:
            server.execute('COMMIT')
        whole.seek(0)
        while True:
            block = whole.read(1 << 20)
            if not block:
                break
            out.write(block)
    out.flush()


def clear_global(server):
    """Every row of global_config deleted in one transaction, with row events: each robot's
    triggers see each row go. (TRUNCATE would reach them as a statement.)"""
    server.execute('START TRANSACTION')
    try:
        server.execute('DELETE FROM ROBOT.global_config')
        deleted = server.scalar('SELECT ROW_COUNT()')
        server.execute('COMMIT')
    except BaseException:
        server.execute('ROLLBACK')
        raise
    print(f'deleted {deleted} rows of global_config; every robot withdraws their items')
