from velgar_fleet import options, serving
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class AddRobotVerb(VerbExtension):
    """Creates (or updates) the replication account NAME@HOST (default host '%'): it may only
    read the binary log (REPLICATION SLAVE) and only over TLS. Hands the robot a server id of
    its own, which `velgar-fleet robot join` fetches. A relay is added the same."""

    def add_arguments(self, parser):
        options.add_account_options(parser, password_required=True)

    def main(self, *, args):
        with LocalServer() as server:
            serving.add_robot(server, args.name, args.from_host, args.password_file)
        return 0
