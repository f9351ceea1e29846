"""Progress of a long load on a terminal: which table, what step, how many rows so far."""

import sys
import threading
import time


class Quiet:
    """No progress shown."""

    def step(self, what, rows=None):
        pass

    def close(self):
        pass


class Terminal(Quiet):
    """One line redrawn on `stream` from about a second after the start, cleared at the end."""

    DELAY, EVERY = 1.0, 0.25

    def __init__(self, stream):
        self.stream = stream
        self.start = time.monotonic()
        self.text, self.shown = "", False
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._tick, name="ondrax-load-progress", daemon=True)
        self.thread.start()

    def step(self, what, rows=None):
        with self.lock:
            self.text = what if rows is None else "%s, %s rows" % (what, format(rows, ","))

    def _tick(self):
        while not self.stop.wait(self.EVERY):
            elapsed = time.monotonic() - self.start
            if elapsed >= self.DELAY:
                with self.lock:
                    line = "loading: %s (%.0f s)" % (self.text, elapsed)
                    self.stream.write("\r\033[K" + line)
                    self.stream.flush()
                    self.shown = True

    def close(self):
        self.stop.set()
        self.thread.join()
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def for_stderr():
    """Progress on stderr when it is a terminal, else none."""
    stream = sys.stderr
    try:
        tty = stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        tty = False
    return Terminal(stream) if tty else Quiet()
