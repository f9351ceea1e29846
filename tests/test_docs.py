"""Every page of the reference runs as written: each page's examples in a fresh interpreter,
in order, on the sample market, showing the output the page shows."""

import glob
import os
import subprocess
import sys

import pytest

from fakes_local import client_pythonpath, sample_path

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
PAGES = sorted(["README.md", os.path.join("clients", "local", "README.md")] +
               [os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md"))])
RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "doc_pages.py")


@pytest.mark.parametrize("page", PAGES)
def test_page_runs_as_written(page, tmp_path):
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + client_pythonpath()),
               ONDRAX_LOCAL_DB=sample_path())
    # commands name files from the repository's root; what they write lands here
    os.symlink(os.path.join(ROOT, "docs"), tmp_path / "docs")
    done = subprocess.run([sys.executable, RUNNER, os.path.join(ROOT, page)], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, (done.stdout + done.stderr)[-6000:]


def test_the_runner_catches_a_wrong_output(tmp_path):
    sys.path.insert(0, os.path.dirname(RUNNER))
    try:
        import doc_pages
    finally:
        sys.path.pop(0)
    assert doc_pages.excerpt_problem("a\n...\nc\n", "a\nb\nc  \n") is None
    assert "'a'" in doc_pages.excerpt_problem("c\na\n", "a\nb\nc\n")  # out of order
    page = tmp_path / "page.md"
    page.write_text("```python\n>>> 1 + 1\n3\n```\n\n```python\nx = undefined_name\n```\n")
    done = subprocess.run([sys.executable, RUNNER, str(page)], capture_output=True, text=True)
    assert done.returncode == 1
    assert "Expected:\n    3\nGot:\n    2" in done.stdout and "NameError" in done.stdout
