from velgar_fleet import serve_status
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class ServerStatusVerb(VerbExtension):
    """The binary log position, the followers connected and not connected right now, and
    those whose connections keep being replaced (two servers with one server id)."""

    def main(self, *, args):
        with LocalServer() as server:
            print('\n'.join(serve_status.report(server)))
        return 0
