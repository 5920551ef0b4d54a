import json

from velgar_fleet import report_answers
from velgar_fleet.local_server import LocalServer
from velgar_fleet.reports import check_prepared
from velgar_fleet.verb import VerbExtension


class ItemReportVerb(VerbExtension):
    """Where one item stands on the robots (or, without NAME, the last change of
    global_config): on how many it is applied, held, refused, passed over or drifted, with
    the reasons, and which robots are silent (no report of it since it changed)."""

    def add_arguments(self, parser):
        parser.add_argument('name', nargs='?', metavar='NAME',
                            help='the item (default: the one changed last)')
        parser.add_argument('--node', default='', metavar='NODE',
                            help="a parameter's node (with NAME)")
        parser.add_argument('--file', action='store_true', help='NAME is a file item')
        parser.add_argument('--json', action='store_true', help='as JSON')

    def main(self, *, args):
        with LocalServer() as server:
            check_prepared(server)
            answer = report_answers.item_answer(server, args.name, args.node,
                                                2 if args.file else 1)
        print(json.dumps(answer, indent=2) if args.json
              else '\n'.join(report_answers.item_lines(answer)))
        return 0
