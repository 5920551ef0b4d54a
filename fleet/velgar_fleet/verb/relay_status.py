from velgar_fleet import follow_status, serve_status
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class RelayStatusVerb(VerbExtension):
    """The relay's link to the fleet server, then its robots, as `velgar-fleet server
    status` shows them."""

    def main(self, *, args):
        with LocalServer() as server:
            print(follow_status.report(server))
            print('\n'.join(serve_status.report(server)))
        return 0
