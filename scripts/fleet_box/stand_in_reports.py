"""Reports for the fleet box's scale run, whose robots are database-only (no config_center,
so no item states topic and no `velgar-fleet robot report`). What is stood in for is only
the node's message: for each robot this builds the item states its node would publish
after applying a change (every item applied, the digest of the value in effect), and hands
them to the reporter's own code (velgar_fleet.reporter.Reporter and FleetLink), which sends
them as the robot's own report account, over TLS with the server's certificate checked,
through the report_items procedure, as a robot's reporter does. So the fleet server does
the work real reports cost it, which is what the scale run measures.

Usage: stand_in_reports.py FLEET_DIR CREDENTIALS...  (one option file per robot, as
`velgar-fleet server add-reporter` writes it). Sends each robot's first, whole report, then
prints "ready"; then for each line VALUE on stdin (the fleet's new value of `speed`), sends
every robot's report of it (one changed item each) and prints "sent N" (or "failed N")."""
import hashlib
import shutil
import sys


def item_states(speed, change_id):
    """The two items of the scale run's fleet server, as a node that applied them says."""
    def applied(node_name, name, config_type, value):
        return {'node_name': node_name, 'name': name, 'config_type': config_type,
                'state': 'applied', 'reason': '',
                'value_sha256': hashlib.sha256(value.encode()).hexdigest(),
                'change_id': change_id}
    return [applied('fleet_arm', 'speed', 1, speed), applied('', 'limits.yaml', 2, 'limit: 0')]


def main(argv):
    sys.path.insert(0, argv[1])
    from velgar_fleet import reporter

    scratch = reporter.scratch_directory()
    links = [reporter.FleetLink(reporter.read_credentials(path), scratch) for path in argv[2:]]
    robots = [reporter.Reporter(link, heartbeat=600, log=lambda line: None) for link in links]

    def report_all(speed, change_id):
        failed = 0
        for robot in robots:
            robot.take(item_states(speed, change_id))
            failed += 0 if robot.send() else 1
        return failed

    failed = report_all('s0', 0)
    print('ready' if failed == 0 else f'failed {failed}', flush=True)
    change_id = 0
    for line in sys.stdin:
        change_id += 1
        failed = report_all(line.strip(), change_id)
        print(f'sent {len(robots)}' if failed == 0 else f'failed {failed}', flush=True)
    for link in links:
        link.close()
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
