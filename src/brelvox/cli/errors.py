"""The command line's exit statuses and its one error type."""

DONE = 0
NO_DATA = 1  # no data, an unknown instrument, or refused input (a file that cannot be loaded)
USAGE = 2  # bad command line, or a missing optional dependency

EXIT_STATUS_HELP = ("Exit status: 0 done; 1 no data, unknown instrument, or input refused "
                    "(a CSV or holdings file that cannot be loaded, with its file and line); "
                    "2 bad command line or missing optional dependency (matplotlib).")


class UserError(Exception):
    """A problem with what the user asked for: one line on stderr, no traceback."""

    def __init__(self, message, status=NO_DATA):
        super().__init__(message)
        self.status = status
