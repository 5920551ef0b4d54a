import shutil

from velgar_fleet import options, reporter
from velgar_fleet.verb import VerbExtension


class ReportVerb(VerbExtension):
    """Reports this robot's item states to the fleet server, for as long as it runs: follows
    config_center's item states topic and sends what changed (digests and reasons, never
    values) as the robot's report account (--credentials, from `velgar-fleet server
    add-reporter`), over TLS. After a link outage it sends what changed while it was away;
    nothing goes while nothing changes but a heartbeat (default every 600 s). Needs ROS 2
    (rclpy) and config_center_interfaces sourced; run it beside the node."""

    def add_arguments(self, parser):
        parser.add_argument('--credentials', required=True, metavar='FILE',
                            help='the report account (a MariaDB option file)')
        parser.add_argument('--topic', default='/config_center/item_states',
                            help='the item states topic (default /config_center/item_states)')
        parser.add_argument('--heartbeat', type=options.seconds, default=600, metavar='S',
                            help='seconds between reports while nothing changes (default 600)')

    def main(self, *, args):
        credentials = reporter.read_credentials(args.credentials)
        import rclpy
        from rclpy.qos import DurabilityPolicy, QoSProfile, ReliabilityPolicy
        from config_center_interfaces.msg import ItemStates

        scratch = reporter.scratch_directory()
        link = reporter.FleetLink(credentials, scratch)
        work = reporter.Reporter(link, args.heartbeat,
                                 log=lambda line: print(f'report: {line}', flush=True))
        rclpy.init(args=[])
        node = rclpy.create_node('velgar_fleet_reporter')
        qos = QoSProfile(depth=1, reliability=ReliabilityPolicy.RELIABLE,
                         durability=DurabilityPolicy.TRANSIENT_LOCAL)
        node.create_subscription(
            ItemStates, args.topic,
            lambda message: work.take(reporter.item_of_message(s) for s in message.items), qos)
        print(f'report: {credentials["user"]} to {credentials["host"]}:{credentials["port"]},'
              f' following {args.topic}', flush=True)
        try:
            while rclpy.ok():
                wait = work.due()
                if wait == 0:
                    if work.send():
                        print(f'report: sent ({len(work.acked)} items held upstream)',
                              flush=True)
                    continue
                # Sleeps until a message (or a signal, which rclpy turns into a wake-up)
                # or until the next send is due: no wake-ups while nothing changes.
                rclpy.spin_once(node, timeout_sec=wait)
        finally:
            link.close()
            node.destroy_node()
            rclpy.try_shutdown()
            shutil.rmtree(scratch, ignore_errors=True)
        return 0
