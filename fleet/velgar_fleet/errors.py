"""What ends a run: a refusal or failure the operator can act on, or a signal."""


class FleetError(Exception):
    """A failure with a message for the operator; the tool exits 1 and prints it."""


class Interrupted(BaseException):
    """A signal (INT, TERM, HUP) turned into an exception, so that every `with` block gives
    back what it holds before the tool exits 128 + the signal's number."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum
