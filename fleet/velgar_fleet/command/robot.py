"""A robot: joins this robot's MariaDB to a fleet, or takes it out. Run as root on the
robot, whose MariaDB has the schema loaded."""
from velgar_fleet.verb.follower_status import FollowerStatusVerb
from velgar_fleet.verb.join import JoinVerb
from velgar_fleet.verb.leave import LeaveVerb

NAME = 'robot'
VERBS = {
    'join': JoinVerb,
    'leave': LeaveVerb,
    'status': FollowerStatusVerb,
}
