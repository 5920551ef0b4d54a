from velgar_fleet import options
from velgar_fleet.join import leave
from velgar_fleet.local_server import LocalServer
from velgar_fleet.roles import RobotRole
from velgar_fleet.verb import VerbExtension


class LeaveVerb(VerbExtension):
    """Stops replication and forgets the fleet server and the position in its log;
    global_config keeps the rows it has and is this robot's own again."""

    def add_arguments(self, parser):
        options.add_cnf_option(parser)

    def main(self, *, args):
        with LocalServer() as server:
            leave(server, args.cnf, RobotRole())
            rows = server.scalar('SELECT COUNT(*) FROM ROBOT.global_config')
        print(f"left the fleet; global_config keeps its {rows} rows and is this robot's own"
              ' again')
        return 0
