"""The operator's questions, answered from what robots reported (velgar_fleet.robot_items)
and global_config: where one item (or the last change) is applied, held, refused, passed
over or drifted, and which robots are silent about it; what one robot holds and why. Each
answer is a dict (printed as JSON with --json) and a few lines a person reads at a glance."""
from velgar_fleet.errors import FleetError
from velgar_fleet.reports import STATES

TYPES = {1: 'parameter', 2: 'file'}
_TIME = '%Y-%m-%d %H:%M:%S.%f'

# The item's latest row in global_config (a file is keyed by name alone). Its updated_at is
# when the fleet changed it: a robot's report of the item from before then is not an answer.
_ITEM = """SELECT name, COALESCE(node_name, ''), config_type, deleted,
    DATE_FORMAT(updated_at, '%%Y-%%m-%%d %%H:%%i:%%s.%%f'), SHA2(value, 256)
  FROM ROBOT.global_config
  WHERE name = %s AND config_type = %s AND (config_type = 2 OR node_name <=> %s)
  ORDER BY updated_at DESC, id DESC LIMIT 1"""
_LAST = """SELECT name, COALESCE(node_name, ''), config_type, deleted,
    DATE_FORMAT(updated_at, '%Y-%m-%d %H:%i:%s.%f'), SHA2(value, 256)
  FROM ROBOT.global_config ORDER BY updated_at DESC, id DESC LIMIT 1"""
# Every robot that reports, with its row for the item if it has one.
_ROBOTS_AND_ITEM = """SELECT p.robot,
    DATE_FORMAT(p.reported_at, '%%Y-%%m-%%d %%H:%%i:%%s.%%f'), i.state, i.reason,
    i.value_sha256, DATE_FORMAT(i.reported_at, '%%Y-%%m-%%d %%H:%%i:%%s.%%f'),
    i.reported_at >= %s
  FROM velgar_fleet.reporters p
  LEFT JOIN velgar_fleet.robot_items i ON i.robot = p.robot AND i.config_type = %s
    AND i.name = %s AND (%s = 2 OR i.node_name = %s)
  ORDER BY p.robot"""


def _item(server, statement, params):
    row = server.rows(statement, params)
    if not row:
        return None
    name, node_name, config_type, deleted, changed_at, digest = row[0]
    return {'name': name, 'node_name': node_name if config_type == 1 else '',
            'config_type': TYPES.get(config_type, str(config_type)),
            'config_type_id': config_type, 'deleted': bool(deleted), 'changed_at': changed_at,
            'value_sha256': digest}


def item_answer(server, name=None, node_name='', config_type=1):
    """For one item (name given) or the last change (name None)."""
    if name is None:
        item = _item(server, _LAST, None)
        if item is None:
            raise FleetError('global_config holds no item')
    else:
        item = _item(server, _ITEM, (name, config_type, node_name))
        if item is None:
            raise FleetError(f'global_config holds no {TYPES[config_type]} {name}'
                             + (f' of node {node_name}' if config_type == 1 else ''))
    counts = {state: [] for state in STATES}
    silent = []
    for robot, robot_reported, state, reason, digest, item_reported, current in server.rows(
            _ROBOTS_AND_ITEM, (item['changed_at'], item['config_type_id'], item['name'],
                               item['config_type_id'], item['node_name'])):
        if state is None or not current:
            silent.append({'robot': robot, 'reported_at': robot_reported,
                           'item_reported_at': item_reported})
        else:
            counts[state].append({'robot': robot, 'reason': reason, 'value_sha256': digest,
                                  'reported_at': item_reported})
    return {'item': item, 'states': counts, 'silent': silent}


def robot_answer(server, robot):
    row = server.rows("""SELECT DATE_FORMAT(reported_at, '%%Y-%%m-%%d %%H:%%i:%%s.%%f')
                         FROM velgar_fleet.reporters WHERE robot = %s""", (robot,))
    if not row:
        raise FleetError(f'{robot} has no report account: see `velgar-fleet server'
                         ' add-reporter`')
    items = [{'node_name': node_name, 'name': name,
              'config_type': TYPES.get(config_type, str(config_type)), 'state': state,
              'reason': reason, 'value_sha256': digest, 'change_id': change_id,
              'reported_at': reported_at}
             for node_name, name, config_type, state, reason, digest, change_id, reported_at
             in server.rows("""SELECT node_name, name, config_type, state, reason,
                 value_sha256, change_id,
                 DATE_FORMAT(reported_at, '%%Y-%%m-%%d %%H:%%i:%%s.%%f')
               FROM velgar_fleet.robot_items WHERE robot = %s
               ORDER BY state = 'applied', state, config_type, node_name, name""", (robot,))]
    return {'robot': robot, 'reported_at': row[0][0], 'items': items}


def _item_title(item):
    who = f'{item["node_name"]} ' if item['config_type'] == 'parameter' else ''
    gone = ', deleted' if item['deleted'] else ''
    return (f'{item["config_type"]} {who}{item["name"]}: changed {item["changed_at"]}{gone}'
            f' (sha256 {(item["value_sha256"] or "-")[:12]})')


def item_lines(answer):
    lines = [_item_title(answer['item'])]
    for state, robots in answer['states'].items():
        names = ' '.join(r['robot'] for r in robots)
        lines.append(f'  {state.replace("_", " "):<12}{len(robots):>5}  {names}'.rstrip())
        if state != 'applied':
            lines.extend(f'      {r["robot"]}: {r["reason"]}' for r in robots if r['reason'])
    silent = answer['silent']
    lines.append(f'  {"silent":<12}{len(silent):>5}  '
                 + ' '.join(r['robot'] for r in silent).rstrip())
    lines.extend(f'      {r["robot"]}: last report {r["reported_at"] or "never"}'
                 for r in silent)
    return lines


def robot_lines(answer):
    items = answer['items']
    counts = {state: sum(1 for i in items if i['state'] == state) for state in STATES}
    lines = [f'{answer["robot"]}: last report {answer["reported_at"] or "never"}; '
             + ', '.join(f'{n} {state.replace("_", " ")}' for state, n in counts.items())]
    for i in items:
        who = f'{i["node_name"]} ' if i['config_type'] == 'parameter' else ''
        why = f': {i["reason"]}' if i['reason'] else ''
        lines.append(f'  {i["state"]:<12}{i["config_type"]} {who}{i["name"]}'
                     f' (sha256 {i["value_sha256"][:12]}, change {i["change_id"]}){why}')
    return lines
