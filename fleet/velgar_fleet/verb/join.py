from velgar_fleet import options
from velgar_fleet.join import Join
from velgar_fleet.roles import RobotRole
from velgar_fleet.verb import VerbExtension


class JoinVerb(VerbExtension):
    """This robot's server replicates ROBOT.global_config from HOST (the fleet server or a
    relay) over TLS (HOST's certificate must be signed by CA.pem and name HOST), and runs its
    own triggers on the replicated rows, so fleet changes reach the change log config_center
    follows. custom_config and the change log stay local.

    Nothing changes here until HOST has accepted the link (TLS, account, server id) and
    replication has fetched from the position it will use; a join that fails at any step, or
    does not connect within --wait seconds, or is stopped by a signal, gives back the
    settings, position and rows it found, and says what failed. Safe to run again (a new
    password or address, or another relay: replication resumes where it stopped). The first
    join restarts the server once (--restart-cmd) to turn on its binary log with
    log_slave_updates, so the fleet's changes reach it too.

    A robot whose global_config holds rows of its own joins only with --snapshot (only items
    whose value differs reach the change log) or --discard-local-global (every item is
    withdrawn). While it follows a fleet, the robot's server checks every second whether
    global_config was replaced without row events (a TRUNCATE on the fleet server); then it
    empties its change log, and config_center distributes the tables again."""

    def add_arguments(self, parser):
        options.add_follow_options(parser, discard_option=True)

    def main(self, *, args):
        Join(args, RobotRole(), 'velgar-fleet robot join').run()
        return 0
