"""The tool's commands, one per role of a server in the fleet; each names its verbs."""
from velgar_fleet.command import relay, robot, server

COMMANDS = (server, robot, relay)
