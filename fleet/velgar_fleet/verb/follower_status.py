from velgar_fleet import follow_status
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class FollowerStatusVerb(VerbExtension):
    """The link to the server this one follows: where, as which server id, whether it
    fetches and applies, its position, how far behind, and its last errors."""

    def main(self, *, args):
        with LocalServer() as server:
            print(follow_status.report(server))
        return 0
