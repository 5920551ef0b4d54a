"""What a join gives back when it fails: the option file and the CA copy, the link's
settings (its password read back from the server's master.info), the position and the
server's settings, and a link that ran runs again."""
import os
import signal
import sys

import MySQLdb

from velgar_fleet.files import SavedFile
from velgar_fleet.local_server import LocalServer

_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_GLOBALS = ('server_id', 'replicate_do_table', 'replicate_wild_do_table',
            'slave_run_triggers_for_rbr', 'slave_net_timeout')


def saved_password(server):
    """The password of the link in force: the server keeps it only in master.info, in its
    data directory (the sixth line)."""
    path = os.path.join(server.scalar('SELECT @@datadir'), 'master.info')
    try:
        with open(path, 'rb') as f:
            lines = f.read().split(b'\n')
    except OSError:
        return ''
    return lines[5].decode('utf-8', 'surrogateescape') if len(lines) > 5 else ''


class GiveBack:
    """A context manager around a join's steps that change this server. On entering it notes
    what it finds; when the block ends with an exception (a failure, or a signal turned into
    velgar_fleet.errors.Interrupted) it gives all of it back, with INT, TERM and HUP ignored
    until that is done. The block updates `position` when the old link may have moved on."""

    def __init__(self, server, files, program):
        self._program = program
        status = server.slave_status()
        self.link = None
        if status.get('Master_Host'):
            self.link = {
                'MASTER_HOST': status['Master_Host'],
                'MASTER_PORT': int(status['Master_Port']),
                'MASTER_USER': status['Master_User'],
                'MASTER_PASSWORD': saved_password(server),
                'MASTER_CONNECT_RETRY': int(status['Connect_Retry']),
                'MASTER_SSL': int(status['Master_SSL_Allowed'] == 'Yes'),
                'MASTER_SSL_CA': status['Master_SSL_CA_File'],
                'MASTER_SSL_VERIFY_SERVER_CERT': int(status['Master_SSL_Verify_Server_Cert']
                                                     == 'Yes'),
            }
        self.running = (status.get('Slave_IO_Running') in ('Yes', 'Connecting')
                        or status.get('Slave_SQL_Running') in ('Yes', 'Connecting'))
        self.settings = server.rows(
            'SELECT ' + ', '.join(f'@@global.{name}' for name in _GLOBALS))[0]
        self.files = [SavedFile(path) for path in files]
        self.position = server.scalar('SELECT @@global.gtid_slave_pos')

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            return False
        previous = {s: signal.signal(s, signal.SIG_IGN) for s in _SIGNALS}
        try:
            print(f'{self._program}: giving back the settings this server had before',
                  file=sys.stderr)
            failed = self.put_back()
        finally:
            for s, handler in previous.items():
                signal.signal(s, handler)
        if failed:
            print(f'{self._program}: could not give back every setting ({failed}); see SHOW'
                  ' SLAVE STATUS', file=sys.stderr)
        return False

    def statements(self):
        """What puts the server's replication back, in order."""
        yield 'RESET SLAVE ALL', None
        yield ('SET GLOBAL ' + ', '.join(f'{name} = %s' for name in _GLOBALS),
               tuple(self.settings))
        yield 'SET GLOBAL gtid_slave_pos = %s', (self.position,)
        if self.link:
            yield ('CHANGE MASTER TO ' + ', '.join(f'{name} = %s' for name in self.link)
                   + ', MASTER_USE_GTID = slave_pos', tuple(self.link.values()))
        if self.running:
            yield 'START SLAVE', None

    def put_back(self):
        """Gives everything back, going on past what fails; returns what failed, or ''."""
        failed = []
        for saved in self.files:
            try:
                saved.put_back()
            except OSError as error:
                failed.append(f'{saved.path}: {error.strerror}')
        try:
            server = LocalServer()
        except MySQLdb.Error as error:
            return '; '.join(failed + [f'the server: {error.args[-1]}'])
        with server:
            server.stop_replication()
            for statement, params in self.statements():
                try:
                    server.execute(statement, params)
                except MySQLdb.Error as error:
                    failed.append(f'{statement.split(" = ")[0]}: {error.args[-1]}')
        return '; '.join(failed)
