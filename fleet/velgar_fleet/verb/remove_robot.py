from velgar_fleet import options, reports, serving
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class RemoveRobotVerb(VerbExtension):
    """Drops the replication account NAME@HOST: cuts that robot off for good. Its server id
    goes with its last account; its report account and reports go too."""

    def add_arguments(self, parser):
        options.add_account_options(parser, password_required=False)

    def main(self, *, args):
        with LocalServer() as server:
            serving.remove_robot(server, args.name, args.from_host)
            if server.scalar("SELECT COUNT(*) FROM information_schema.TABLES WHERE"
                             " TABLE_SCHEMA = 'velgar_fleet' AND TABLE_NAME = 'reporters'"):
                reports.remove_reporter(server, args.name)
        return 0
