"""This machine's MariaDB, reached as its administrator through the client's defaults (the
[client] group of the option files, the server's Unix socket), the way an operator on that
machine reaches it with `mariadb`."""
import MySQLdb
import MySQLdb.cursors


def connect(**options):
    return MySQLdb.connect(read_default_group='client', charset='utf8mb4', autocommit=True,
                           **options)


class LocalServer:
    """One session with the local server. Every statement takes its values as parameters."""

    def __init__(self, **options):
        self._options = options
        self._connection = connect(**options)

    def close(self):
        try:
            self._connection.close()
        except MySQLdb.Error:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def reconnect(self):
        """A new session, after the server restarted (the old one is gone with it)."""
        self.close()
        self._connection = connect(**self._options)

    def execute(self, statement, params=None):
        with self._connection.cursor() as cursor:
            cursor.execute(statement, params)
            return cursor.fetchall() if cursor.description else ()

    def rows(self, statement, params=None):
        return list(self.execute(statement, params))

    def scalar(self, statement, params=None):
        rows = self.execute(statement, params)
        return rows[0][0] if rows else None

    def stream(self, statement, params=None):
        """The rows one by one, without holding them all in memory."""
        cursor = self._connection.cursor(MySQLdb.cursors.SSCursor)
        try:
            cursor.execute(statement, params)
            yield from cursor
        finally:
            cursor.close()

    def execute_unlogged(self, statements):
        """Statements kept out of this server's binary log: the fleet's own bookkeeping and
        account statements must never reach a server that replicates from this one."""
        self.execute('SET SESSION sql_log_bin = 0')
        try:
            for statement, params in statements:
                self.execute(statement, params)
        finally:
            self.execute('SET SESSION sql_log_bin = 1')

    def slave_status(self):
        """SHOW SLAVE STATUS as text by field name; empty when nothing is followed."""
        with self._connection.cursor() as cursor:
            cursor.execute('SHOW SLAVE STATUS')
            row = cursor.fetchone()
            if row is None:
                return {}
            return {column[0]: _text(value) for column, value in zip(cursor.description, row)}

    def stop_replication(self):
        """A server that follows nothing answers STOP SLAVE with an error: stopped too."""
        try:
            self.execute('STOP SLAVE')
        except MySQLdb.Error:
            pass


def _text(value):
    if value is None:
        return 'NULL'
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    return str(value)
