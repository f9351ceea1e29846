"""Runs nanobind's stub generator over every extension module found in an importable tree.

    python tools/stubgen/generate.py <tree> <output root>

The extensions import the data client when they load; a stand-in client (tools/stub_client)
comes first on the path of the generator only, so no real client is needed or used.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STAND_IN = os.path.join(os.path.dirname(HERE), "stub_client")


def extensions(tree):
    """Dotted names of the extension modules under <tree>/brelvox, by package directory."""
    by_dir = {}
    for folder, _, files in os.walk(os.path.join(tree, "brelvox")):
        for name in sorted(files):
            if name.endswith(".so") and ".cpython-" in name or name.endswith(".pyd"):
                package = os.path.relpath(folder, tree).replace(os.sep, ".")
                by_dir.setdefault(package, []).append(package + "." + name.split(".")[0])
    return by_dir


def generate(tree, out):
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
        written += [os.path.join(target, m.rsplit(".", 1)[1] + ".pyi") for m in modules]
    marker = os.path.join(out, "brelvox", "py.typed")
    if not os.path.exists(marker):
        open(marker, "w").close()
    return written


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    for path in generate(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])):
        print(path)
