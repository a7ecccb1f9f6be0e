"""Report which configuration files and environment variables a loader would skip.

Builds a ``LoaderIgnore`` rule set for a typical configuration directory
(editor backups, compiled caches, version-control folders) and a few
environment-variable masks, walks a directory and the environment, and prints
what the rules ignore, with totals.

    python examples/ignore_report.py [DIRECTORY] [--file-mask MASK ...]
    python examples/ignore_report.py --demo
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections.abc import Iterator, Mapping
from pathlib import Path

from brindova.extensions import Extensions
from brindova.talvesh import LoaderIgnore

DEFAULT_FILE_MASKS = ["*~", "*.bak", "*.swp", ".#*", "*.pyc", "*.orig"]
DEFAULT_PATH_MASKS = ["*__pycache__*", ".git/*", "*/.git/*", "node_modules/*"]
DEFAULT_ENV_NAME_MASKS = ["_*", "LS_COLORS", "*_PID", "OLDPWD"]

# The embedded demo: a small configuration directory and environment.
DEMO_FILES = {
    "app.yaml": "name: demo\n",
    "app.yaml~": "name: demo (backup)\n",
    "database.json": '{"host": "localhost"}\n',
    "secrets.env": "TOKEN=...\n",
    "settings.py": "DEBUG = False\n",
    "notes.bak": "old notes\n",
    "local/override.yaml": "debug: true\n",
    "local/override.yaml.orig": "debug: false\n",
    "local/.#override.yaml": "lock\n",
    "__pycache__/settings.cpython-313.pyc": "",
    ".git/config": "[core]\n",
    "drafts/plan.json": "{}\n",
}
DEMO_ENVIRONMENT = {
    "APP_HOME": "/srv/app",
    "APP_DEBUG": "0",
    "APP_SECRET": "s3cret",
    "LS_COLORS": "di=01;34",
    "SSH_AGENT_PID": "4242",
    "_": "/usr/bin/python3",
    "OLDPWD": "/home/demo",
    "PATH": "/usr/bin:/bin",
}


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Show which files below DIRECTORY and which environment variables "
        "the configuration loader's ignore rules skip.",
    )
    parser.add_argument("directory", nargs="?", default=".", help="directory to walk (default: .)")
    parser.add_argument("--demo", action="store_true",
                        help="walk an embedded demo directory and environment instead")
    parser.add_argument("--file-mask", action="append", default=[], metavar="MASK",
                        help="extra file-name mask, e.g. '*.log' (repeatable)")
    parser.add_argument("--path-mask", action="append", default=[], metavar="MASK",
                        help="extra mask on the relative path, e.g. 'build/*' (repeatable)")
    parser.add_argument("--ignore-dir", action="append", default=[], metavar="DIR",
                        help="directory whose whole tree is ignored (repeatable)")
    parser.add_argument("--env-mask", action="append", default=[], metavar="MASK",
                        help="extra environment-variable name mask, e.g. 'CI_*' (repeatable)")
    parser.add_argument("--env-name", action="append", default=[], metavar="NAME",
                        help="environment variable to ignore by exact name (repeatable)")
    parser.add_argument("--no-defaults", action="store_true",
                        help="use only the masks given on the command line")
    return parser.parse_args(argv)


def build_rules(args: argparse.Namespace, root: Path) -> LoaderIgnore:
    defaults = not args.no_defaults
    return LoaderIgnore(
        file_masks=(DEFAULT_FILE_MASKS if defaults else []) + args.file_mask,
        paths=[root / d for d in args.ignore_dir],
        path_masks=(DEFAULT_PATH_MASKS if defaults else []) + args.path_mask,
        env_names=list(args.env_name),
        env_name_masks=(DEFAULT_ENV_NAME_MASKS if defaults else []) + args.env_mask,
    )


def walk_files(root: Path) -> Iterator[Path]:
    """Relative paths of all files below ``root``, in a stable order."""
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for filename in sorted(filenames):
            yield (Path(dirpath) / filename).relative_to(root)


def kind_of(path: Path) -> str:
    """The kind of configuration source a file name announces, or "" for none."""
    suffix = path.suffix.lstrip(".")
    kinds = (Extensions.py, Extensions.yaml, Extensions.json, Extensions.env)
    return suffix if suffix in kinds else ""


LEGEND = """\
  STATUS   IGNORED: the loader skips it; kept: the loader reads it
  KIND     for kept files, the source kind their extension names
           ({kinds}); blank when it names none"""


def report(rules: LoaderIgnore, root: Path, label: str, environment: Mapping[str, str],
           environment_label: str) -> None:
    # Queries are relative to the walked directory, so path masks written from
    # it ('build/*') match; the loader asks the same way.
    os.chdir(root)
    files = list(walk_files(Path(".")))
    ignored_files = {p for p in files if rules.is_ignored(p)}
    names = sorted(environment)
    ignored_names = {n for n in names if rules.is_ignored(name=n)}
    kinds = ", ".join((Extensions.py, Extensions.yaml, Extensions.json, Extensions.env))

    print(f"== Files below {label}")
    print(LEGEND.format(kinds=kinds))
    print()
    print(f"  {'STATUS':8} {'KIND':5} FILE")
    for path in files:
        if path in ignored_files:
            print(f"  {'IGNORED':8} {'':5} {path}")
        else:
            print(f"  {'kept':8} {kind_of(path):5} {path}")
    print()
    print(f"== Environment variables ({environment_label})")
    print(f"  {'STATUS':8} NAME")
    for name in names:
        print(f"  {'IGNORED' if name in ignored_names else 'kept':8} {name}")
    print()
    print("== Totals")
    print(f"  {len(ignored_files)} of {len(files)} files ignored")
    print(f"  {len(ignored_names)} of {len(names)} environment variables ignored")


def make_demo_tree(base: Path) -> Path:
    root = base / "config"
    for relative, text in DEMO_FILES.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    return root


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if args.demo:
        # The demo tree lives in a temporary directory for the run only, so
        # the report names it as the demo rather than by a path that will be gone.
        with tempfile.TemporaryDirectory() as tmp:
            root = make_demo_tree(Path(tmp)).resolve()
            report(build_rules(args, root), root, "the embedded demo directory",
                   DEMO_ENVIRONMENT, "the embedded demo environment")
        return 0
    root = Path(args.directory).resolve()
    if not root.is_dir():
        print(f"{args.directory}: not a directory", file=sys.stderr)
        return 2
    report(build_rules(args, root), root, str(root), os.environ, "this process's environment")
    return 0


if __name__ == "__main__":
    sys.exit(main())
