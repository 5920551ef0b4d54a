from velgar_fleet import options, reports
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class AddReporterVerb(VerbExtension):
    """Creates (or gives a new, generated password to) the report account of robot NAME:
    NAME.report, which may only run the procedure that stores NAME's item states, over TLS.
    Writes the robot's credentials (a MariaDB option file, mode 0600) to --out: copy it to
    the robot for `velgar-fleet robot report`. A robot behind a relay gets its report
    account here too, on the fleet server."""

    def add_arguments(self, parser):
        parser.add_argument('name', type=options.robot_name, metavar='NAME')
        parser.add_argument('--from', dest='from_host', type=options.from_host, default='%',
                            metavar='HOST', help="the account's host (default '%%': any)")
        parser.add_argument('--host', required=True, type=options.host,
                            help='this server, as the robot reaches it (its certificate names it)')
        parser.add_argument('--port', type=options.port, default=3306)
        parser.add_argument('--ca', required=True, metavar='CA.pem',
                            help="signs this server's certificate")
        parser.add_argument('--out', required=True, metavar='FILE',
                            help='where the credentials go (mode 0600)')

    def main(self, *, args):
        with LocalServer() as server:
            reports.check_prepared(server)
            reports.add_reporter(server, args.name, args.from_host, args.host, args.port,
                                 args.ca, args.out)
        return 0
