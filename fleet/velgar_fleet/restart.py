"""Restarting this machine's MariaDB, for options it reads only when it starts."""
import subprocess

from velgar_fleet.errors import FleetError, Interrupted


def restart_server(command):
    """Runs the restart command (without a shell) to its end: a signal that comes meanwhile
    is acted on once the server is back, not while it is half restarted."""
    try:
        process = subprocess.Popen(command)
    except OSError as error:
        raise FleetError(f'cannot run the restart command {command[0]} ({error.strerror})')
    pending = None
    while True:
        try:
            status = process.wait()
            break
        except Interrupted as signal_seen:
            pending = signal_seen
    if pending:
        raise pending
    if status != 0:
        raise FleetError('the server did not restart with the new options (see its error log)')
