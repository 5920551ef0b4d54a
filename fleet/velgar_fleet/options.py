"""The checks of option values, as argparse types: a value that fails one is refused with
the option's usage (exit 2) before anything runs."""
import argparse
import re
import shlex

DEFAULT_CNF = '/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf'
DEFAULT_RESTART = 'systemctl restart mariadb'


def _pattern(regex, what):
    compiled = re.compile(regex)

    def check(value):
        if not compiled.fullmatch(value):
            raise argparse.ArgumentTypeError(f'{what}, not {value!r}')
        return value
    return check


robot_name = _pattern(r'[A-Za-z0-9_.-]{1,80}', 'a robot name: letters, digits, _ . - only')
from_host = _pattern(r'[A-Za-z0-9_.%:-]{1,255}', 'a host name, address or pattern')
host = _pattern(r'[A-Za-z0-9_.:-]{1,255}', 'a host name or address')
bind_address = _pattern(r'[A-Za-z0-9_.:*-]{1,255}', 'an address')


def server_id(value):
    if not re.fullmatch(r'[1-9][0-9]{0,9}', value) or int(value) > 4294967295:
        raise argparse.ArgumentTypeError(f'a server id, 1 .. 4294967295, not {value!r}')
    return int(value)


def port(value):
    if not re.fullmatch(r'[0-9]{1,5}', value) or not 1 <= int(value) <= 65535:
        raise argparse.ArgumentTypeError(f'a port number, not {value!r}')
    return int(value)


def seconds(value):
    if not re.fullmatch(r'[1-9][0-9]{0,5}', value):
        raise argparse.ArgumentTypeError(f'seconds, at least 1, not {value!r}')
    return int(value)


def command(value):
    """A command line split into words as a shell would, but run without one: no
    variables, globs, pipes or redirections."""
    try:
        words = shlex.split(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f'a command: {error}')
    if not words:
        raise argparse.ArgumentTypeError('a command, not nothing')
    return words


def add_server_options(parser, *, server_id_default):
    """--cert, --key, --bind: a server that serves its binary log over TLS."""
    parser.add_argument('--cert', required=True, metavar='PEM',
                        help="the server's certificate; must name the host its followers "
                             'connect to')
    parser.add_argument('--key', required=True, metavar='PEM', help='its private key')
    parser.add_argument('--bind', type=bind_address, metavar='ADDRESS',
                        help="the address to listen on (followers must reach it; Debian's "
                             'default is 127.0.0.1)')
    if server_id_default is not None:
        parser.add_argument('--server-id', type=server_id, default=server_id_default,
                            metavar='N', help=f'default {server_id_default}')


def add_cnf_option(parser):
    parser.add_argument('--cnf', default=DEFAULT_CNF, metavar='PATH',
                        help=f'the server option file this writes (default {DEFAULT_CNF})')


def add_restart_option(parser):
    parser.add_argument('--restart-cmd', type=command, default=command(DEFAULT_RESTART),
                        metavar='CMD',
                        help=f'restarts the server (default `{DEFAULT_RESTART}`; split into '
                             'words, run without a shell)')


def add_account_options(parser, *, password_required):
    parser.add_argument('name', type=robot_name, metavar='NAME')
    if password_required:
        parser.add_argument('--password-file', required=True, metavar='FILE',
                            help='its password: the first line of FILE')
    parser.add_argument('--from', dest='from_host', type=from_host, default='%', metavar='HOST',
                        help="the account's host (default '%%': any)")


def add_follow_options(parser, *, discard_option):
    """The options of following a binary log of global_config (a robot's join, a relay's
    setup)."""
    parser.add_argument('--host', required=True, type=host, help='the server to follow')
    parser.add_argument('--port', type=port, default=3306)
    parser.add_argument('--user', required=True, type=robot_name, metavar='NAME',
                        help='the account that server made with add-robot')
    parser.add_argument('--password-file', required=True, metavar='FILE')
    parser.add_argument('--ca', required=True, metavar='CA.pem',
                        help="signs HOST's certificate, which must name HOST")
    parser.add_argument('--server-id', type=server_id, metavar='N',
                        help='instead of the one HOST handed out (one HOST or another robot '
                             'uses is refused)')
    add_cnf_option(parser)
    parser.add_argument('--connect-retry', type=seconds, default=10, metavar='S',
                        help='seconds between reconnect attempts (default 10)')
    parser.add_argument('--wait', type=seconds, default=20, metavar='S',
                        help='how long the join waits to connect (default 20)')
    add_restart_option(parser)
    rows = parser.add_mutually_exclusive_group() if discard_option else parser
    rows.add_argument('--snapshot', metavar='FILE',
                      help='made by `velgar-fleet server snapshot`: global_config becomes '
                           "the fleet's as of it, and replication goes on from its position")
    if discard_option:
        rows.add_argument('--discard-local-global', action='store_true',
                          help="global_config becomes empty, and the fleet's rows come from "
                               'the start of its binary log')
