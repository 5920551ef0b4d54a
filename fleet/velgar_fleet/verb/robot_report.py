import json

from velgar_fleet import options, report_answers
from velgar_fleet.local_server import LocalServer
from velgar_fleet.reports import check_prepared
from velgar_fleet.verb import VerbExtension


class RobotReportVerb(VerbExtension):
    """What robot NAME last reported: every item it keeps, with its state and why (items not
    applied first), and when it last reported."""

    def add_arguments(self, parser):
        parser.add_argument('name', type=options.robot_name, metavar='NAME')
        parser.add_argument('--json', action='store_true', help='as JSON')

    def main(self, *, args):
        with LocalServer() as server:
            check_prepared(server)
            answer = report_answers.robot_answer(server, args.name)
        print(json.dumps(answer, indent=2) if args.json
              else '\n'.join(report_answers.robot_lines(answer)))
        return 0
