"""What a following server says of its link."""


def report(server):
    status = server.slave_status()
    if not status.get('Slave_IO_Running'):
        return 'not following a fleet server'
    lines = [f"following {status['Master_Host']}:{status['Master_Port']} as server"
             f" {server.scalar('SELECT @@server_id')}, link {status['Slave_IO_Running']},"
             f" applying {status['Slave_SQL_Running']}, position {status['Gtid_IO_Pos']},"
             f" behind {status['Seconds_Behind_Master']} s"]
    if status.get('Last_IO_Error'):
        lines.append(f"link error: {status['Last_IO_Error']}")
    if status.get('Last_SQL_Error'):
        lines.append(f"apply error: {status['Last_SQL_Error']}")
    return '\n'.join(lines)
