import sys

from velgar_fleet import serving
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class SnapshotVerb(VerbExtension):
    """Writes global_config as of one moment, with that moment's position in the binary log,
    to standard output: a data file for `velgar-fleet robot join --snapshot FILE` (and
    `relay setup --snapshot`). Old binary logs can be purged (PURGE BINARY LOGS) once no
    follower still needs them; those that do (offline since) join again with a snapshot."""

    def main(self, *, args):
        with LocalServer() as server:
            serving.write_snapshot(server, sys.stdout.buffer)
        return 0
