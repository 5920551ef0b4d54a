"""A relay: a MariaDB between the fleet server and a group of robots. It replicates
ROBOT.global_config from the fleet server (as a robot does, with an account from `velgar-fleet
server add-robot`) and serves it from its own binary log to its robots (with accounts of its
own), so the fleet server sends each change once per relay instead of once per robot. A
robot moves between the fleet server and relays by joining again with another --host (and
the account and server id that server handed out). Run as root on the relay."""
from velgar_fleet.verb.add_robot import AddRobotVerb
from velgar_fleet.verb.relay_setup import RelaySetupVerb
from velgar_fleet.verb.relay_status import RelayStatusVerb
from velgar_fleet.verb.remove_robot import RemoveRobotVerb
from velgar_fleet.verb.snapshot import SnapshotVerb

NAME = 'relay'
VERBS = {
    'setup': RelaySetupVerb,
    'add-robot': AddRobotVerb,
    'remove-robot': RemoveRobotVerb,
    'snapshot': SnapshotVerb,
    'status': RelayStatusVerb,
}
