"""The server a join follows (the fleet server or a relay), asked before anything changes
here: over TLS, as the robot's account, with its certificate and host name checked, it
proves the password, the certificate and the address, and says which server ids are in
use."""
import os
import ssl
from dataclasses import dataclass, field

import MySQLdb

from velgar_fleet.errors import FleetError

NOTHING_CHANGED = 'Nothing was changed here.'
# The view of ids handed out is missing, or the account may not read it: a server set up
# before ids were handed out.
_NO_ID_VIEW = (1142, 1146, 1356)


@dataclass
class Upstream:
    server_id: int
    # The server ids that wrote events in its binary log.
    origins: set
    # (server id, whether it is the one handed out to this account) for every id it handed out.
    handed_out: list = field(default_factory=list)


def check_ca(path):
    """The CA must be a PEM certificate."""
    try:
        ssl.create_default_context(cafile=path)
    except (OSError, ssl.SSLError, ValueError):
        raise FleetError(f'--ca: not a PEM certificate: {path}')


def ask(link, password, scratch):
    """Connects to link.host as link.user; returns an Upstream or raises FleetError saying
    what failed and what to do."""
    # The client library takes the host name check, and the refusal to go on without TLS
    # (so the password never reaches a server that serves none), from an option file only;
    # that file holds no secret (the password goes to the library directly).
    options = os.path.join(scratch, 'upstream.cnf')
    with open(options, 'w') as f:
        f.write(f'[client]\nssl-ca={os.path.realpath(link.ca)}\nssl-verify-server-cert=1\n'
                'ssl-enforce=1\n')
    try:
        connection = MySQLdb.connect(host=link.host, port=link.port, user=link.user,
                                     passwd=password, connect_timeout=link.wait,
                                     ssl={'ca': os.path.realpath(link.ca)},
                                     read_default_file=options, read_default_group='client')
    except MySQLdb.Error as error:
        raise explain_refusal(link, error)
    try:
        cursor = connection.cursor()
        cursor.execute("SHOW SESSION STATUS LIKE 'Ssl_version'")
        if not (cursor.fetchone() or (None, ''))[1]:
            raise FleetError(f'TLS with {link.host}:{link.port} failed (the session is not'
                             f' encrypted): check --host and --port. {NOTHING_CHANGED}')
        cursor.execute('SELECT @@server_id, @@gtid_binlog_state')
        server_id, state = cursor.fetchone()
        upstream = Upstream(int(server_id), origins_of(state or ''))
        try:
            cursor.execute('SELECT server_id, mine FROM velgar_fleet.server_ids')
            upstream.handed_out = [(int(i), bool(mine)) for i, mine in cursor.fetchall()]
        except MySQLdb.Error as error:
            if error.args[0] not in _NO_ID_VIEW:
                raise explain_refusal(link, error)
            if link.server_id is None:
                raise FleetError(f'{link.host}:{link.port} hands out no server id to {link.user}:'
                                 f' run `velgar-fleet server add-robot {link.user}` there (again),'
                                 f' or give --server-id. {NOTHING_CHANGED}')
        return upstream
    except MySQLdb.Error as error:
        raise explain_refusal(link, error)
    finally:
        connection.close()


def origins_of(gtid_state):
    """The server ids in a GTID state (domain-server-sequence, comma-separated)."""
    return {int(gtid.split('-')[1]) for gtid in gtid_state.split(',') if gtid.count('-') == 2}


def explain_refusal(link, error):
    code = error.args[0] if error.args else 0
    text = error.args[1] if len(error.args) > 1 else str(error)
    where = f'{link.host}:{link.port}'
    if code == 1045:
        return FleetError(f'{where} refused the account {link.user} ({text}): check'
                          f' --password-file, or run `velgar-fleet server add-robot {link.user}'
                          f' --password-file FILE` there. {NOTHING_CHANGED}')
    if code == 2026:
        return FleetError(f'TLS with {where} failed ({text}): its certificate must be signed by'
                          f' --ca and name {link.host}. {NOTHING_CHANGED}')
    return FleetError(f'cannot reach {where} as {link.user} ({text or "no answer"}): check'
                      f' --host, --port and the network. {NOTHING_CHANGED}')


def choose_server_id(link, upstream):
    """The server id this server follows with: --server-id, or the one the upstream handed
    out. One that clashes is refused: the upstream's own id (replication refuses it), an id
    that wrote events in its binary log (this server would skip them all), another robot's
    (each connection would push the other off)."""
    mine = next((i for i, is_mine in upstream.handed_out if is_mine), None)
    chosen = link.server_id if link.server_id is not None else mine
    handed = f'use the one handed out for {link.user} ({mine or "see add-robot"}).'
    if chosen is None:
        raise FleetError(f'{link.host}:{link.port} hands out no server id to {link.user}: run'
                         f' `velgar-fleet server add-robot {link.user}` there (again).'
                         f' {NOTHING_CHANGED}')
    if chosen == upstream.server_id:
        raise FleetError(f"server id {chosen} is {link.host}'s own: {handed} {NOTHING_CHANGED}")
    if chosen in upstream.origins:
        raise FleetError(f'server id {chosen} wrote events in the binary log of {link.host}:'
                         f' this server would skip every one of them. {handed.capitalize()}'
                         f' {NOTHING_CHANGED}')
    if any(i == chosen and not is_mine for i, is_mine in upstream.handed_out):
        raise FleetError(f'server id {chosen} belongs to another robot of {link.host}: the two'
                         f' connections would push each other off. {handed.capitalize()}'
                         f' {NOTHING_CHANGED}')
    return chosen
