"""Runs the examples of one Markdown page as a reader would, in order, in this interpreter:

    python doc_pages.py PAGE.md

- ```python blocks: statements run, `>>>` examples are checked against the output the page
  shows (doctest: `...` stands for skipped text, runs of blanks are equal);
- ```sh blocks: each `brelvox-marketdata ...` line runs (as `python -m brelvox.cli`) and must
  exit 0; the other lines are set-up the caller has done (install, export);
- a ```text block right after such a command: its lines must appear in the command's output,
  in order, a line `...` standing for lines left out.

Prints each failure with the page's line and exits 1 when there is any.
"""

import doctest
import os
import re
import shlex
import subprocess
import sys

FENCE = re.compile(r"^```(\w*)\s*$")


def blocks(text):
    """[(kind, first line number, text)] of the fenced blocks."""
    found, kind, start, body = [], None, 0, []
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if match and kind is None:
            kind, start, body = match.group(1) or "text", number + 1, []
        elif line.startswith("```") and kind is not None:
            found.append((kind, start, "\n".join(body) + "\n"))
            kind = None
        elif kind is not None:
            body.append(line)
    return found


def command(line):
    args = shlex.split(line, comments=True)
    done = subprocess.run([sys.executable, "-m", "brelvox.cli"] + args[1:], capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def excerpt_problem(expected, output):
    """Why `expected` (an excerpt, `...` for skipped lines) is not in `output`, or None."""
    lines = [line.rstrip() for line in output.splitlines()]
    at = 0
    for want in expected.splitlines():
        want = want.rstrip()
        if want.strip() == "...":
            continue
        while at < len(lines) and lines[at] != want:
            at += 1
        if at == len(lines):
            return "not in the output (or not in this order): %r" % want
        at += 1
    return None


def run(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    name = os.path.basename(path)
    failures = []
    globs = {"__name__": "__main__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
                                   verbose=False)
    last_output = None
    for kind, line, body in blocks(text):
        where = "%s line %d" % (name, line)
        if kind == "python":
            if ">>>" in body:
                test = parser.get_doctest(body, globs, where, path, line - 1)
                report = []
                runner.run(test, out=report.append, clear_globs=False)
                globs = test.globs
                failures += report
            else:
                try:
                    exec(compile(body, where, "exec"), globs)
                except Exception as exc:  # the page's own code failed
                    failures.append("%s: %s: %s" % (where, type(exc).__name__, exc))
        elif kind == "sh":
            for offset, cmd in enumerate(body.splitlines()):
                if not cmd.startswith("brelvox-marketdata "):
                    continue
                status, out, err = command(cmd)
                last_output = out
                if status != 0:
                    failures.append("%s line %d: %s exited %d: %s" % (
                        name, line + offset, cmd, status, err.strip()[-500:]))
        elif kind == "text" and last_output is not None:
            problem = excerpt_problem(body, last_output)
            if problem:
                failures.append("%s: %s" % (where, problem))
        if kind != "sh":
            last_output = None  # an excerpt follows its command directly
    return failures


if __name__ == "__main__":
    problems = run(sys.argv[1])
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)
