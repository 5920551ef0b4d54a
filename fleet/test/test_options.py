"""The command line: every verb of the three roles, the options each takes with their
defaults, and the values refused before anything runs."""
import pytest

from velgar_fleet.cli import build_parser, main
from velgar_fleet.options import DEFAULT_CNF

JOIN = ['robot', 'join', '--host', 'fleet.example.org', '--user', 'robot17',
        '--password-file', 'robot17.pw', '--ca', 'ca.pem']
RELAY = ['relay', 'setup', '--cert', 'c.pem', '--key', 'k.pem', '--host', 'fleet.example.org',
         '--user', 'relay-a', '--password-file', 'relay-a.pw', '--ca', 'ca.pem']


def parse(*argv):
    return build_parser().parse_args(list(argv))


def refused(capsys, *argv):
    with pytest.raises(SystemExit) as exit_:
        parse(*argv)
    assert exit_.value.code == 2
    return capsys.readouterr().err


def test_each_role_has_the_verbs_it_had():
    parser = build_parser()
    roles = parser._subparsers._group_actions[0].choices
    verbs = {role: set(p._subparsers._group_actions[0].choices) for role, p in roles.items()}
    assert verbs == {
        'server': {'setup', 'add-robot', 'remove-robot', 'status', 'snapshot', 'clear-global'},
        'robot': {'join', 'leave', 'status'},
        'relay': {'setup', 'add-robot', 'remove-robot', 'snapshot', 'status'},
    }


def test_no_command_or_verb_prints_the_usage_and_exits_2(capsys):
    assert main([]) == 2
    assert main(['robot']) == 2
    assert 'join' in capsys.readouterr().err


def test_join_defaults():
    args = parse(*JOIN)
    assert (args.port, args.wait, args.connect_retry, args.server_id) == (3306, 20, 10, None)
    assert (args.cnf, args.snapshot, args.discard_local_global) == (DEFAULT_CNF, None, False)
    assert args.restart_cmd == ['systemctl', 'restart', 'mariadb']


def test_join_options():
    args = parse(*JOIN, '--port', '3307', '--server-id', '4294967295', '--cnf', '/x/f.cnf',
                 '--connect-retry', '1', '--wait', '5', '--restart-cmd',
                 "db-restart 'two words'", '--snapshot', 'fleet.snapshot')
    assert (args.port, args.server_id, args.cnf, args.connect_retry, args.wait) == \
        (3307, 4294967295, '/x/f.cnf', 1, 5)
    # Split as a shell would, run without one: nothing in it is expanded.
    assert args.restart_cmd == ['db-restart', 'two words']
    assert args.snapshot == 'fleet.snapshot'
    assert parse(*JOIN, '--discard-local-global').discard_local_global


@pytest.mark.parametrize('option, value', [
    ('--server-id', '0'), ('--server-id', '4294967296'), ('--server-id', '01'),
    ('--port', '0'), ('--port', '65536'), ('--port', 'x'),
    ('--wait', '0'), ('--connect-retry', '1000000'), ('--connect-retry', '-1'),
    ('--host', 'a b'), ('--host', "h';--"), ('--host', ''), ('--user', 'robot 17'),
    ('--restart-cmd', ''), ('--restart-cmd', "'unclosed"),
])
def test_join_refuses_bad_values(capsys, option, value):
    assert option in refused(capsys, *JOIN, option, value)


def test_join_needs_its_link(capsys):
    for missing in ('--host', '--user', '--password-file', '--ca'):
        argv = list(JOIN)
        at = argv.index(missing)
        del argv[at:at + 2]
        assert missing in refused(capsys, *argv)


def test_snapshot_and_discard_exclude_each_other(capsys):
    assert 'not allowed' in refused(capsys, *JOIN, '--snapshot', 'f', '--discard-local-global')


def test_relay_setup_follows_like_a_join_but_never_discards(capsys):
    args = parse(*RELAY, '--bind', '0.0.0.0', '--snapshot', 'f')
    assert (args.cert, args.key, args.bind, args.snapshot) == ('c.pem', 'k.pem', '0.0.0.0', 'f')
    assert args.discard_local_global is False and args.server_id is None
    assert '--discard-local-global' in refused(capsys, *RELAY, '--discard-local-global')


def test_server_setup():
    args = parse('server', 'setup', '--cert', 'c.pem', '--key', 'k.pem')
    assert (args.server_id, args.bind, args.cnf) == (1, None, DEFAULT_CNF)
    assert parse('server', 'setup', '--cert', 'c', '--key', 'k', '--bind', '*',
                 '--server-id', '7').server_id == 7


def test_server_setup_refuses(capsys):
    assert '--bind' in refused(capsys, 'server', 'setup', '--cert', 'c', '--key', 'k',
                               '--bind', '0.0.0.0;reboot')
    assert '--cert' in refused(capsys, 'server', 'setup', '--key', 'k')


@pytest.mark.parametrize('role', ['server', 'relay'])
def test_accounts(capsys, role):
    args = parse(role, 'add-robot', 'robot-17.a_b', '--password-file', 'p')
    assert (args.name, args.from_host, args.password_file) == ('robot-17.a_b', '%', 'p')
    assert parse(role, 'remove-robot', 'r', '--from', '10.0.%').from_host == '10.0.%'
    assert 'NAME' in refused(capsys, role, 'add-robot', "r'", '--password-file', 'p')
    assert 'NAME' in refused(capsys, role, 'add-robot', 'r' * 81, '--password-file', 'p')
    assert '--from' in refused(capsys, role, 'remove-robot', 'r', '--from', "h'@'%")
    assert '--password-file' in refused(capsys, role, 'add-robot', 'r')


def test_verbs_without_options_take_none(capsys):
    for argv in (['server', 'status'], ['server', 'clear-global'], ['robot', 'status'],
                 ['relay', 'snapshot']):
        assert 'unrecognized' in refused(capsys, *argv, '--cert', 'x')
    assert parse('robot', 'leave', '--cnf', '/x.cnf').cnf == '/x.cnf'
