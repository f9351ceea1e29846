"""The command line's exit statuses and its one error type."""

DONE = 0
NO_DATA = 1  # no data, or an unknown instrument
USAGE = 2  # bad command line, or a missing optional dependency

EXIT_STATUS_HELP = ("Exit status: 0 done; 1 no data or unknown instrument; "
                    "2 bad command line or missing optional dependency (matplotlib).")


class UserError(Exception):
    """A problem with what the user asked for: one line on stderr, no traceback."""

    def __init__(self, message, status=NO_DATA):
        super().__init__(message)
        self.status = status
