from velgar_fleet import options, serving
from velgar_fleet.errors import FleetError
from velgar_fleet.files import write_file
from velgar_fleet.local_server import LocalServer
from velgar_fleet.restart import restart_server
from velgar_fleet.verb import VerbExtension


class ServerSetupVerb(VerbExtension):
    """Makes this server the fleet server: loads the schema, turns on the binary log (row
    format, kept until purged by hand) and TLS, and restarts the server. The certificate must
    name the host the robots connect to. Refuses TRUNCATE and DROP TABLE of global_config
    from then on (see clear-global). Nothing but global_config's rows is written to the
    binary log, so schema and account statements never reach the robots. Safe to run again."""

    def add_arguments(self, parser):
        options.add_server_options(parser, server_id_default=1)
        options.add_cnf_option(parser)
        options.add_restart_option(parser)

    def main(self, *, args):
        serving.check_tls_files(args.cert, args.key)
        with LocalServer() as server:
            serving.prepare(server)
        write_file(args.cnf, f"""\
# Written by velgar-fleet server setup: this server is the fleet server. Robots replicate
# ROBOT.global_config from its binary log.
[mariadbd]
server_id = {args.server_id}
log_bin = velgar-fleet-bin
binlog_format = ROW
binlog_row_image = FULL
{serving.serve_option_lines(args.cert, args.key, args.bind)}""")
        restart_server(args.restart_cmd)
        with LocalServer() as server:
            if tuple(server.rows('SELECT @@log_bin, @@binlog_format, @@have_ssl')[0]) != \
                    (1, 'ROW', 'YES'):
                raise FleetError('the server did not come back with the binary log and TLS on'
                                 ' (see its error log)')
            print(f'fleet server ready: server_id {args.server_id}, binary log'
                  f" {server.scalar('SELECT @@log_bin_basename')}")
        return 0
