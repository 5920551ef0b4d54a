from velgar_fleet import options, serving
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class RemoveRobotVerb(VerbExtension):
    """Drops the replication account NAME@HOST: cuts that robot off for good. Its server id
    goes with its last account."""

    def add_arguments(self, parser):
        options.add_account_options(parser, password_required=False)

    def main(self, *, args):
        with LocalServer() as server:
            serving.remove_robot(server, args.name, args.from_host)
        return 0
