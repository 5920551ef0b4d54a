"""Following a binary log of global_config: a robot follows the fleet server (or a relay), a
relay follows the fleet server.

A join changes nothing on this server until the upstream has accepted the link (TLS,
account, server id), and touches global_config only once replication has fetched from the
position it will use. From the moment it notes what it found (velgar_fleet.give_back), any
failure or signal gives that back."""
import os
import sys
import tempfile
import time

import MySQLdb

from velgar_fleet import snapshot_apply, upstream
from velgar_fleet.errors import FleetError
from velgar_fleet.files import read_secret, write_file
from velgar_fleet.give_back import GiveBack
from velgar_fleet.local_server import LocalServer
from velgar_fleet.restart import restart_server
from velgar_fleet.snapshot import SnapshotRefused, read_snapshot
from velgar_fleet import follow_status


def ca_copy_of(cnf):
    return os.path.join(os.path.dirname(os.path.abspath(cnf)), 'velgar-fleet-ca.pem')


class Join:
    """The steps of one join, in order (run()). `link` holds the parsed options (host, port,
    user, password_file, ca, server_id, cnf, connect_retry, wait, restart_cmd, snapshot,
    discard_local_global); `role` is a velgar_fleet.roles role."""

    def __init__(self, link, role, program):
        self.link = link
        self.role = role
        self.program = program
        self.ca_copy = ca_copy_of(link.cnf)
        self.snapshot_position = None

    @property
    def replaces_rows(self):
        return bool(self.link.snapshot) or self.link.discard_local_global

    def run(self):
        upstream.check_ca(self.link.ca)
        with tempfile.TemporaryDirectory(prefix='velgar-fleet.') as scratch:
            self.rows_file = os.path.join(scratch, 'snapshot.rows')
            password = read_secret(self.link.password_file)
            if self.link.snapshot:
                self.read_snapshot()
            with LocalServer() as server:
                self.refuse_rows_of_its_own(server)
                found = upstream.ask(self.link, password, scratch)
                server_id = upstream.choose_server_id(self.link, found)
                with GiveBack(server, [self.link.cnf, self.ca_copy], self.program) as saved:
                    server.stop_replication()
                    saved.position = server.scalar('SELECT @@global.gtid_slave_pos')
                    self.prepare_server(server, saved, server_id)
                    self.start_link(server, saved.position, password)
                    if self.replaces_rows:
                        print(self.apply_rows())
                    server.execute('START SLAVE SQL_THREAD')
                self.role.joined(server)
                print(f'following {self.link.host}:{self.link.port} as server {server_id}')
                print(follow_status.report(server))

    def read_snapshot(self):
        """Checks the file's form and size before anything uses it; the rows LOAD DATA reads
        are the lines checked."""
        try:
            with open(self.rows_file, 'wb') as rows:
                self.snapshot_position, _ = read_snapshot(self.link.snapshot, rows)
        except SnapshotRefused as refusal:
            raise FleetError(f'--snapshot: {refusal}')

    def refuse_rows_of_its_own(self, server):
        rows = server.scalar('SELECT COUNT(*) FROM ROBOT.global_config')
        if rows > 0 and not server.scalar('SELECT @@global.gtid_slave_pos') \
                and not self.replaces_rows:
            raise FleetError(f"global_config holds {rows} rows of this server's own; the"
                             " fleet's replace them only with --snapshot FILE or"
                             ' --discard-local-global (custom_config is kept either way)')

    def option_file(self, log_bin):
        link = self.link
        return f"""\
# Written by {self.program}: this server follows ROBOT.global_config from the binary log of
# {link.host} (address and account are kept by the server itself, CHANGE MASTER).
[mariadbd]
server_id = {self.server_id}
replicate_do_table = ROBOT.global_config
# Also keeps out statements on whole databases (DROP DATABASE ...), which do_table lets by.
replicate_wild_do_table = ROBOT.global_config
# A link that dies silently is noticed within this many seconds, and a follower offline for
# however long keeps trying to reconnect (0: no limit; read when the server starts).
slave_net_timeout = 20
master_retry_count = 0
# Names this server in the upstream's SHOW SLAVE HOSTS, where `velgar-fleet server status`
# finds two servers on one server id.
report_host = {link.user}
# Replicated changes go into this server's own binary log too, in row format.
log_bin = {log_bin}
binlog_format = ROW
log_slave_updates = ON
{self.role.option_lines()}"""

    def prepare_server(self, server, saved, server_id):
        """The option file, and the settings of the running server that can change without
        a restart. The binary log and log_slave_updates can not: the server restarts once
        for them."""
        self.server_id = server_id
        log_bin = server.scalar("SELECT IF(@@log_bin, @@log_bin_basename, 'velgar-bin')")
        write_file(self.link.cnf, self.option_file(log_bin))
        ready = server.scalar('SELECT @@log_bin AND @@log_slave_updates AND @@report_host <=> %s',
                              (self.link.user,))
        if ready != 1 or self.role.needs_restart(server):
            restart_server(self.link.restart_cmd)
            server.reconnect()
            server.stop_replication()
            # The first time, the binary log starts afresh: what the server wrote into it
            # before it followed the fleet (under an id that may be the fleet server's own)
            # must never sit beside the fleet's transactions, or be passed on by a relay.
            if not saved.files[0].existed:
                server.execute('RESET MASTER')
            if server.scalar('SELECT @@log_bin AND @@log_slave_updates') != 1:
                print(f'{self.program}: warning: the server runs without log_bin or'
                      ' log_slave_updates (set elsewhere?): fleet changes will not reach its'
                      ' own binary log', file=sys.stderr)
        # The old link may have applied more since it was saved (it starts with the server).
        saved.position = server.scalar('SELECT @@global.gtid_slave_pos')
        server.execute('SET GLOBAL server_id = %s', (server_id,))
        server.execute("SET GLOBAL replicate_do_table = 'ROBOT.global_config'")
        server.execute("SET GLOBAL replicate_wild_do_table = 'ROBOT.global_config'")
        server.execute('SET GLOBAL slave_net_timeout = 20')
        for statement in self.role.settings():
            server.execute(statement)

    def start_link(self, server, position, password):
        """Points replication at the new settings and starts fetching only: it proves TLS,
        account and that the position is still in the upstream's logs (the first event sent
        names its log file)."""
        link = self.link
        if link.snapshot:
            position = self.snapshot_position
        if link.discard_local_global:
            position = ''
        with open(link.ca, 'rb') as f:
            write_file(self.ca_copy, f.read(), 0o644)
        server.execute('RESET SLAVE ALL')
        server.execute('SET GLOBAL gtid_slave_pos = %s', (position,))
        server.execute("""CHANGE MASTER TO MASTER_HOST = %s, MASTER_PORT = %s, MASTER_USER = %s,
            MASTER_PASSWORD = %s, MASTER_USE_GTID = slave_pos, MASTER_CONNECT_RETRY = %s,
            MASTER_HEARTBEAT_PERIOD = 5, MASTER_SSL = 1, MASTER_SSL_CA = %s,
            MASTER_SSL_VERIFY_SERVER_CERT = 1""",
                       (link.host, link.port, link.user, password, link.connect_retry,
                        self.ca_copy))
        server.execute('START SLAVE IO_THREAD')
        deadline = time.monotonic() + link.wait
        while True:
            status = server.slave_status()
            if status.get('Slave_IO_Running') == 'Yes' and status.get('Master_Log_File'):
                return
            errno = status.get('Last_IO_Errno')
            if errno == '1236':
                raise FleetError(f"{link.host} no longer has its binary log from position"
                                 f" '{position}' ({status.get('Last_IO_Error')}): join with"
                                 ' --snapshot FILE, made there by `velgar-fleet server'
                                 ' snapshot`.')
            if errno in ('1045', '1593', '2026') or time.monotonic() >= deadline:
                break
            time.sleep(0.1)
        raise FleetError(f'replication did not connect to {link.host}:{link.port} within'
                         f" {link.wait} s ({status.get('Last_IO_Error')})")

    def apply_rows(self):
        """--snapshot and --discard-local-global: global_config becomes the snapshot's rows
        (none for --discard-local-global) in one transaction of a session of its own; only
        items whose effective value changed reach the change log (snapshot_apply)."""
        if not self.link.snapshot:
            open(self.rows_file, 'wb').close()
        try:
            session = LocalServer(local_infile=1)
        except MySQLdb.Error as error:
            raise FleetError(f'global_config was left as it was: applying the fleet\'s rows'
                             f' failed ({error.args[-1]})')
        with session:
            try:
                summary = snapshot_apply.apply(session, self.rows_file, self.role.rows_logged)
            except MySQLdb.Error as error:
                raise FleetError("global_config was left as it was: applying the fleet's rows"
                                 f' failed ({error.args[-1]})')
        return (f"global_config holds the fleet's rows as of"
                f" '{self.snapshot_position or 'the start of its log'}': {summary}")


def leave(server, cnf, role):
    """Stops replication and forgets the fleet server and the position: rows edited here
    from now on are no longer the fleet's, so a later join starts over (--snapshot or
    --discard-local-global) instead of resuming."""
    server.stop_replication()
    server.execute('RESET SLAVE ALL')
    server.execute("SET GLOBAL replicate_do_table = ''")
    server.execute("SET GLOBAL replicate_wild_do_table = ''")
    server.execute("SET GLOBAL gtid_slave_pos = ''")
    for path in (cnf, ca_copy_of(cnf)):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
    role.left(server)
