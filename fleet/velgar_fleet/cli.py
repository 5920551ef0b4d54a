"""velgar-fleet COMMAND VERB [OPTIONS]: the parser, and how a run ends (exit 0; 1 with a
message on a failure; 2 on a usage error; 128 + N on signal N, after giving back)."""
import argparse
import inspect
import signal
import sys

import MySQLdb

from velgar_fleet.command import COMMANDS
from velgar_fleet.errors import FleetError, Interrupted

PROGRAM = 'velgar-fleet'


def _first_line(text):
    """The first sentence of a docstring, for a list of commands or verbs."""
    sentence = inspect.cleandoc(text or '').split('. ')[0].replace('\n', ' ').rstrip('.')
    return sentence.replace('%', '%%') + '.'


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description=inspect.cleandoc(sys.modules['velgar_fleet'].__doc__).split(
            '\n\nEach')[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest='command', metavar='COMMAND')
    for command in COMMANDS:
        command_parser = commands.add_parser(
            command.NAME, help=_first_line(command.__doc__),
            description=inspect.cleandoc(command.__doc__),
            formatter_class=argparse.RawDescriptionHelpFormatter)
        verbs = command_parser.add_subparsers(dest='verb', metavar='VERB')
        for name, verb_class in command.VERBS.items():
            verb = verb_class()
            verb_parser = verbs.add_parser(
                name, help=_first_line(verb_class.__doc__),
                description=inspect.cleandoc(verb_class.__doc__),
                formatter_class=argparse.RawDescriptionHelpFormatter)
            verb.add_arguments(verb_parser)
            verb_parser.set_defaults(run=verb, parser=verb_parser)
        command_parser.set_defaults(parser=command_parser)
    parser.set_defaults(parser=parser)
    return parser


def _raise_interrupted(signum, frame):
    raise Interrupted(signum)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if not hasattr(args, 'run'):
        args.parser.print_help(sys.stderr)
        return 2
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_interrupted)
    who = f'{PROGRAM} {args.command} {args.verb}'
    try:
        return args.run.main(args=args)
    except FleetError as error:
        print(f'{who}: {error}', file=sys.stderr)
    except MySQLdb.Error as error:
        print(f'{who}: MariaDB error {error.args[0]}: {error.args[-1]}', file=sys.stderr)
    except Interrupted as interrupted:
        print(f'{who}: stopped by signal {interrupted.signum}', file=sys.stderr)
        return 128 + interrupted.signum
    except BrokenPipeError:
        pass
    return 1
