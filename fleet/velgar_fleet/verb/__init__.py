"""The verbs of the fleet tool, one module each, in the way of ros2cli's verb extensions: a
class whose docstring is the verb's help, add_arguments(parser) its options and
main(args=...) its run, returning the exit status (a failure raises FleetError)."""


class VerbExtension:
    def add_arguments(self, parser):
        pass

    def main(self, *, args):
        raise NotImplementedError
