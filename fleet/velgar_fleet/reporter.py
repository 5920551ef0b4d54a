"""A robot's reporter, without ROS: it keeps the item states last acknowledged by the fleet
server, and sends what differs from them (digests and reasons, never values) through the
report procedure, as the robot's report account, over TLS with the server's certificate
checked. The first report after a start is whole (what the server held may be stale); after
that only changes go, and after a link outage what changed while it was away. Nothing goes
while nothing changes but a small heartbeat, rarely."""
import configparser
import json
import os
import tempfile
import time

import MySQLdb

from velgar_fleet.errors import FleetError
from velgar_fleet.reports import GONE

# Reasons are the node's own; a very long one is cut (the report is state, not a log).
REASON_LIMIT = 1000
BACKOFF_FIRST, BACKOFF_LAST = 0.5, 30.0


def item_key(item):
    return (item['config_type'], item['node_name'], item['name'])


def changes(acked, current):
    """The items of current that differ from acked, and those acked that are gone."""
    delta = [item for key, item in current.items() if acked.get(key) != item]
    delta += [{'config_type': key[0], 'node_name': key[1], 'name': key[2], 'state': GONE}
              for key in acked if key not in current]
    return delta


def read_credentials(path):
    """host, port, user, password and ssl-ca from the [client] group of a MariaDB option
    file (as `velgar-fleet server add-reporter` writes it)."""
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    try:
        with open(path) as f:
            parser.read_file(f)
    except (OSError, configparser.Error) as error:
        raise FleetError(f'cannot read the credentials {path} ({error})')
    if not parser.has_section('client'):
        raise FleetError(f'{path} has no [client] group')
    group = parser['client']

    def value(name, default=None):
        text = group.get(name, default)
        if text is None:
            raise FleetError(f'{path}: no {name}')
        text = text.strip()
        return text[1:-1] if len(text) >= 2 and text[0] == text[-1] == '"' else text
    return {'host': value('host'), 'port': int(value('port', '3306')), 'user': value('user'),
            'password': value('password'), 'ca': value('ssl-ca')}


class FleetLink:
    """One session with the fleet server as the report account. The client library refuses
    to go on without TLS or with a certificate that does not name the host (options it
    takes from an option file only; that file holds no secret)."""

    def __init__(self, credentials, scratch, timeout=10):
        self._credentials = credentials
        self._timeout = timeout
        self._options = os.path.join(scratch, 'report-tls.cnf')
        with open(self._options, 'w') as f:
            f.write(f'[client]\nssl-ca={credentials["ca"]}\nssl-verify-server-cert=1\n'
                    'ssl-enforce=1\n')
        self._connection = None

    def close(self):
        if self._connection is not None:
            try:
                self._connection.close()
            except MySQLdb.Error:
                pass
            self._connection = None

    def report(self, seq, whole, items):
        """Calls the procedure; returns ('stored' or 'stale', the newest sequence it holds)."""
        if self._connection is None:
            c = self._credentials
            self._connection = MySQLdb.connect(
                host=c['host'], port=c['port'], user=c['user'], passwd=c['password'],
                ssl={'ca': c['ca']}, read_default_file=self._options,
                read_default_group='client', connect_timeout=self._timeout,
                read_timeout=self._timeout, write_timeout=self._timeout, charset='utf8mb4',
                autocommit=True)
        cursor = self._connection.cursor()
        try:
            cursor.execute('CALL velgar_fleet.report_items(%s, %s, %s)',
                           (seq, 1 if whole else 0, json.dumps(items)))
            outcome, newest = cursor.fetchone()
            while cursor.nextset():
                pass
        finally:
            cursor.close()
        return outcome, int(newest)


class Reporter:
    """What was acknowledged, what is to be sent, when to try again. `link` has report(seq,
    whole, items) and close(); `clock` gives seconds."""

    def __init__(self, link, heartbeat, clock=time.monotonic, log=print):
        self._link = link
        self._heartbeat = heartbeat
        self._clock = clock
        self._log = log
        self.current = None     # key -> item, from the node's last message
        self.acked = None       # key -> item, as the fleet server holds it; None: unknown
        self._seq = 0
        self._retry_at = 0.0
        self._backoff = BACKOFF_FIRST
        self._last_sent = None
        self.failures = 0
        self.reports = 0

    def take(self, items):
        """The node's whole table (an iterable of dicts), as its last message had it."""
        self.current = {item_key(i): i for i in items}

    def _next_seq(self):
        # Microseconds of the wall clock, and always more than the last one: a reporter that
        # starts again (the clock moved on) goes on above what it sent before.
        self._seq = max(self._seq + 1, time.time_ns() // 1000)
        return self._seq

    def due(self):
        """Seconds until something is to be sent (0: now), or None: nothing to do."""
        if self.current is None:
            return None
        pending = self.acked is None or bool(changes(self.acked, self.current))
        target = self._retry_at
        if not pending and self._last_sent is not None:
            target = max(target, self._last_sent + self._heartbeat)
        return max(0.0, target - self._clock())

    def send(self):
        """Sends what is due once; on a failure waits with a back-off (doubling, at most 30 s)."""
        whole = self.acked is None
        sent = dict(self.current)
        items = list(sent.values()) if whole else changes(self.acked, sent)
        try:
            outcome, newest = self._link.report(self._next_seq(), whole, items)
            if outcome == 'stale':
                # The server holds a newer report than this sequence (another clock): go on
                # above it, and send all of it again.
                self._seq = newest
                outcome, newest = self._link.report(self._next_seq(), True, list(sent.values()))
        except MySQLdb.Error as error:
            self._link.close()
            self.failures += 1
            self._retry_at = self._clock() + self._backoff
            self._log(f'report failed ({error.args[-1] if error.args else error}); again in'
                      f' {self._backoff:.1f} s')
            self._backoff = min(self._backoff * 2, BACKOFF_LAST)
            return False
        self.acked = sent
        self._last_sent = self._clock()
        self._backoff = BACKOFF_FIRST
        self.reports += 1
        return True


def item_of_message(state):
    """A dict of what goes upstream from one ItemState: never its value."""
    return {'node_name': state.node_name, 'name': state.name,
            'config_type': int(state.config_type), 'state': state.state,
            'reason': state.reason[:REASON_LIMIT], 'value_sha256': state.value_sha256,
            'change_id': int(state.change_id)}


def scratch_directory():
    return tempfile.mkdtemp(prefix='velgar-fleet-report.')
