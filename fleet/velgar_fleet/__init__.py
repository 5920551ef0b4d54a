"""The fleet's operator tool: one MariaDB, the fleet server, holds ROBOT.global_config, and
every robot's server (or a relay's) replicates it from its binary log over TLS.

    velgar-fleet server setup | add-robot | remove-robot | status | snapshot | clear-global
    velgar-fleet robot join | leave | status
    velgar-fleet relay setup | add-robot | remove-robot | snapshot | status

Each role is a command (velgar_fleet.command), each of its verbs a module of its own
(velgar_fleet.verb), in the way ros2cli's packages are laid out. Needs Python 3 and MariaDB's
client library for Python, not ROS: it runs on a fleet server as well as on a robot.

The client library is Debian's python3-mysqldb (mysqlclient): it is a binding of MariaDB
Connector/C, the library the node and the mariadb client use, so the TLS check of the fleet
server's certificate and host name, the error numbers a refused join is explained by (1045,
2026, ...) and LOAD DATA LOCAL INFILE behave exactly as they do there. PyMySQL, the other
maintained choice, reimplements the protocol in Python and reports TLS failures under other
numbers. Every value reaches SQL as a query parameter; no statement here interpolates an
identifier.
"""
