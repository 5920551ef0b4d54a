"""What a server that serves global_config's binary log says of its followers: its
position, who is connected and who is not, and server ids in use twice."""
import os
import re
import subprocess
import time
from collections import defaultdict

RECENT_SECONDS = 600
# The error log's line for each replication connection a follower starts.
_DUMP_START = re.compile(r'^(\d{4}-\d\d-\d\d) +(\d{1,2}:\d\d:\d\d) .*'
                         r'Start binlog_dump to slave_server\((\d+)\)')


def _or_none(lines):
    return lines if lines else ['  none']


def report(server):
    lines = [server.scalar("SELECT CONCAT('binary log ', @@log_bin_basename, ', position ',"
                           ' @@gtid_binlog_pos)')]
    lines.append('connected:')
    lines += _or_none([f'  {user} from {host}, for {seconds} s' for user, host, seconds in
                       server.rows("""SELECT user, host, time FROM information_schema.processlist
                                      WHERE command LIKE 'Binlog Dump%' ORDER BY user""")])
    lines.append('not connected:')
    lines += _or_none([f'  {name} (server id {server_id})' for name, server_id in server.rows(
        """SELECT name, server_id FROM velgar_fleet.robots WHERE name NOT IN
             (SELECT user FROM information_schema.processlist
              WHERE command LIKE 'Binlog Dump%') ORDER BY name""")])
    lines.append('server ids in use twice, or connections started again and again:')
    lines += _or_none(replaced_links(server))
    return lines


def replaced_links(server):
    """Followers that use a server id handed out to another, or whose connection was
    started again and again in the last ten minutes. Of two servers with one server id,
    MariaDB keeps one connection and ends the other server's replication, which then stops
    without an error: the first is seen registered under the other's name (joins set
    report_host to the account's name), and their two connections start within moments of
    each other."""
    owners = dict(server.rows('SELECT server_id, name FROM velgar_fleet.robots'))
    names = set(owners.values())
    lines = []
    for row in server.rows('SHOW SLAVE HOSTS'):
        server_id, host = row[0], row[1]
        owner = owners.get(server_id)
        if owner and host != owner and host in names:
            lines.append(f'  server id {server_id} (handed out to {owner}): {host} connects'
                         ' with it; the server it pushed off stopped replicating')
    for server_id, count, gap in repeated_starts(dump_starts(recent_log(server))):
        owner = owners.get(server_id, 'no one here')
        lines.append(f'  server id {server_id} (handed out to {owner}): {count} connections'
                     f' in 10 min, the closest {gap} s apart: two servers use this id (one of'
                     ' them stops replicating), or its link keeps dropping')
    return lines


def recent_log(server):
    """This server's error log (the journal when it logs there instead of to a file)."""
    path = server.scalar("""SELECT IF(@@log_error LIKE '/%', @@log_error,
                              IF(@@log_error = '', '', CONCAT(@@datadir, @@log_error)))""")
    if path and os.access(path, os.R_OK):
        with open(path, errors='replace') as f:
            yield from f
        return
    try:
        journal = subprocess.run(['journalctl', '-q', '-u', 'mariadb', '--since', '-10 min',
                                  '-o', 'cat'], capture_output=True, text=True, errors='replace')
    except FileNotFoundError:
        return
    yield from journal.stdout.splitlines()


def dump_starts(lines, now=None):
    """(server id, epoch second) of each replication connection started in the last ten
    minutes, from the server's log lines (in its local time)."""
    since = (time.time() if now is None else now) - RECENT_SECONDS
    for line in lines:
        match = _DUMP_START.match(line)
        if not match:
            continue
        at = time.mktime(time.strptime(f'{match.group(1)} {match.group(2)}', '%Y-%m-%d %H:%M:%S'))
        if at >= since:
            yield int(match.group(3)), int(at)


def repeated_starts(starts):
    """(server id, connections, closest gap in seconds) for each id with at least 5
    connections, or two within 2 s of each other; by id."""
    times = defaultdict(list)
    for server_id, at in starts:
        times[server_id].append(at)
    found = []
    for server_id in sorted(times):
        ats = sorted(times[server_id])
        gaps = [b - a for a, b in zip(ats, ats[1:])]
        closest = min(gaps) if gaps else None
        if len(ats) >= 5 or (closest is not None and closest <= 2):
            found.append((server_id, len(ats), closest))
    return found
