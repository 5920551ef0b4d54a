from velgar_fleet import options, serving
from velgar_fleet.join import Join
from velgar_fleet.local_server import LocalServer
from velgar_fleet.roles import RelayRole
from velgar_fleet.verb import VerbExtension


class RelaySetupVerb(VerbExtension):
    """Makes this server a relay between the fleet server and a group of robots. --cert,
    --key and --bind serve the relay's robots, as for `velgar-fleet server setup`; the rest
    follows the fleet server, as for `velgar-fleet robot join` (the same checks, and a
    failure gives back what it found). Restarts the server when its binary log,
    log_slave_updates or TLS need it. The relay runs no trigger on the fleet's rows and
    passes on nothing but global_config's rows; its binary log is kept until purged by hand.
    Safe to run again (a new password, another fleet server address)."""

    def add_arguments(self, parser):
        options.add_server_options(parser, server_id_default=None)
        options.add_follow_options(parser, discard_option=False)
        parser.set_defaults(discard_local_global=False)

    def main(self, *, args):
        serving.check_tls_files(args.cert, args.key)
        with LocalServer() as server:
            serving.prepare(server)
        Join(args, RelayRole(args.cert, args.key, args.bind), 'velgar-fleet relay setup').run()
        return 0
