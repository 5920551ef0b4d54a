from velgar_fleet import serving
from velgar_fleet.local_server import LocalServer
from velgar_fleet.verb import VerbExtension


class ClearGlobalVerb(VerbExtension):
    """Deletes every row of global_config in one transaction: robots withdraw every item, as
    their triggers see each row go (keeping their own overrides). Use it instead of TRUNCATE,
    which reaches robots without row events."""

    def main(self, *, args):
        with LocalServer() as server:
            serving.clear_global(server)
        return 0
