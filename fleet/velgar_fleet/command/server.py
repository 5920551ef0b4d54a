"""The fleet server: the one MariaDB from which every robot's server (or a relay) replicates
ROBOT.global_config. Run as root on the fleet server."""
from velgar_fleet.verb.add_robot import AddRobotVerb
from velgar_fleet.verb.clear_global import ClearGlobalVerb
from velgar_fleet.verb.remove_robot import RemoveRobotVerb
from velgar_fleet.verb.server_setup import ServerSetupVerb
from velgar_fleet.verb.server_status import ServerStatusVerb
from velgar_fleet.verb.snapshot import SnapshotVerb

NAME = 'server'
VERBS = {
    'setup': ServerSetupVerb,
    'add-robot': AddRobotVerb,
    'remove-robot': RemoveRobotVerb,
    'status': ServerStatusVerb,
    'snapshot': SnapshotVerb,
    'clear-global': ClearGlobalVerb,
}
