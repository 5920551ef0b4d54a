"""Files the tool reads and writes on the server's machine."""
import os
import tempfile

from velgar_fleet.errors import FleetError


def read_secret(path):
    """The first line of a file (a password), without its line end."""
    try:
        with open(path, 'rb') as f:
            line = f.readline()
    except OSError:
        raise FleetError(f'cannot read {path}')
    secret = line.rstrip(b'\n').rstrip(b'\r').decode('utf-8', 'surrogateescape')
    if not secret:
        raise FleetError(f'{path} is empty')
    return secret


def write_file(path, data, mode=0o644):
    """Replaces the file atomically and readable by the server (mode), so a crash never
    leaves a half-written file that stops the server."""
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix='.velgar-fleet.', dir=directory)
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data.encode() if isinstance(data, str) else data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


class SavedFile:
    """A file as it was (or that it was not there), to be put back as it was."""

    def __init__(self, path):
        self.path = path
        try:
            with open(path, 'rb') as f:
                self.data = f.read()
            self.mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            self.data = None
            self.mode = None

    @property
    def existed(self):
        return self.data is not None

    def put_back(self):
        if self.data is None:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
        else:
            write_file(self.path, self.data, self.mode)
