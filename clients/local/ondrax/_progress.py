"""Progress of a long load on a terminal: which table, what step, how many rows so far."""

import sys
import threading
import time


class Quiet:
    """No progress shown."""

    def step(self, what, rows=None, running=None):
        pass

    def close(self):
        pass


class Terminal(Quiet):
    """One line redrawn on `stream` from about a second after the start, cleared at the end."""

    DELAY, EVERY = 1.0, 0.25

    def __init__(self, stream):
        self.stream = stream
        self.start = time.monotonic()
        self.text, self.shown, self.running, self.done = "", False, None, 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._tick, name="ondrax-load-progress", daemon=True)
        self.thread.start()

    def step(self, what, rows=None, running=None):
        """`rows`: done; `running`: (connection, rows expected) of a statement under way,
        whose share done the engine reports."""
        with self.lock:
            self.text = what if rows is None else "%s, %s rows" % (what, format(rows, ","))
            self.running, self.done = running, 0

    def _line(self):
        if self.running is None:
            return self.text
        conn, expected = self.running
        try:
            share = conn.query_progress()
        except Exception:  # noqa: BLE001  (no figure is better than a failed load)
            share = -1
        if share is not None and share >= 0:  # a step of several statements: the furthest
            self.done = max(self.done, int(expected * min(share, 100.0) / 100))
        if not self.done:
            return self.text
        return "%s, about %s of %s rows" % (self.text, format(self.done, ","),
                                            format(expected, ","))

    def _tick(self):
        while not self.stop.wait(self.EVERY):
            elapsed = time.monotonic() - self.start
            if elapsed >= self.DELAY:
                with self.lock:
                    line = "loading: %s (%.0f s)" % (self._line(), elapsed)
                    self.stream.write("\r\033[K" + line)
                    self.stream.flush()
                    self.shown = True

    def close(self):
        self.stop.set()
        self.thread.join()
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def track(conn):
    """Has the engine measure how far each statement on `conn` is, without printing it."""
    for setting in ("enable_progress_bar = true", "enable_progress_bar_print = false",
                    "progress_bar_time = 0"):
        conn.execute("SET " + setting)


def for_stderr():
    """Progress on stderr when it is a terminal, else none."""
    stream = sys.stderr
    try:
        tty = stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        tty = False
    return Terminal(stream) if tty else Quiet()
