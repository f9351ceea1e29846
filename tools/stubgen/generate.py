"""Runs nanobind's stub generator over every extension module found in an importable tree.

    python tools/stubgen/generate.py <tree> <output root>

The extensions import the data client when they load; a stand-in client (tools/stub_client)
comes first on the path of the generator only, so no real client is needed or used.
"""

import ast
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
STAND_IN = os.path.join(os.path.dirname(HERE), "stub_client")
DOCSTRINGS = os.path.join(HERE, "docstrings.txt")
WIDTH = 100


def extensions(tree):
    """Dotted names of the extension modules under <tree>/brelvox, by package directory."""
    by_dir = {}
    for folder, _, files in os.walk(os.path.join(tree, "brelvox")):
        for name in sorted(files):
            if name.endswith(".so") and ".cpython-" in name or name.endswith(".pyd"):
                package = os.path.relpath(folder, tree).replace(os.sep, ".")
                by_dir.setdefault(package, []).append(package + "." + name.split(".")[0])
    return by_dir


def read_docstrings(path=DOCSTRINGS):
    """Qualified name -> docstring text, from the table of English docstrings."""
    docs, name = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            if line[0].isspace():
                docs[name] = (docs.get(name, "") + " " + line.strip()).strip()
            else:
                name = line.strip()
    return docs


def _docstring_lines(text, indent):
    pad = " " * indent
    if indent + len(text) + 6 <= WIDTH:
        return [pad + '"""%s"""' % text]
    body = textwrap.wrap(text, WIDTH - indent)
    return [pad + '"""'] + [pad + line for line in body] + [pad + '"""']


def document(path, module, docs):
    """Write the docstrings of `docs` named under `module` into the stub at `path`: a
    docstring replaces the generated one (or the body `pass`/`...`) of its def or class."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    edits = []  # (first line, end line, new lines), 0-based, end exclusive

    def visit(nodes, prefix):
        for node in nodes:
            if not isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                continue
            name = prefix + "." + node.name
            if name in docs:
                edits.append(_edit(node, lines, docs.pop(name)))
            if isinstance(node, ast.ClassDef):
                visit(node.body, name)

    visit(ast.parse("\n".join(lines)).body, module)
    for first, end, new in sorted(edits, reverse=True):
        lines[first:end] = new
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def _edit(node, lines, text):
    head = node.body[0]
    indent = node.col_offset + 4
    doc = _docstring_lines(text, indent)
    is_doc = isinstance(head, ast.Expr) and isinstance(getattr(head, "value", None), ast.Constant) \
        and isinstance(head.value.value, str)
    row = head.lineno - 1
    if lines[row][:head.col_offset].strip():
        # "def f(...) -> T: ..." with the body on the header's line: the body moves under it
        return row, row + 1, [lines[row][:head.col_offset].rstrip()] + doc
    if is_doc or isinstance(head, ast.Pass):
        return row, head.end_lineno, doc
    first = min([row] + [d.lineno - 1 for d in getattr(head, "decorator_list", ())])
    return first, first, doc


def generate(tree, out):
    docs = read_docstrings()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([STAND_IN, tree])
    written = []
    for package, modules in sorted(extensions(tree).items()):
        target = os.path.join(out, *package.split("."))
        os.makedirs(target, exist_ok=True)
        command = [sys.executable, "-m", "nanobind.stubgen", "-q", "--include-private",
                   "-O", target]
        for module in modules:
            command += ["-m", module]
            patterns = os.path.join(HERE, module + ".pat")
            if os.path.exists(patterns):
                command += ["-p", patterns]
        # Run away from any source tree, whose brelvox would shadow the built one.
        subprocess.run(command, check=True, env=env, cwd=HERE)
        for module in modules:
            path = os.path.join(target, module.rsplit(".", 1)[1] + ".pyi")
            document(path, module, docs)
            written.append(path)
    if docs:
        raise SystemExit("docstrings.txt names unknown modules or names: %s" % ", ".join(docs))
    marker = os.path.join(out, "brelvox", "py.typed")
    if not os.path.exists(marker):
        open(marker, "w").close()
    return written


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    for path in generate(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])):
        print(path)
