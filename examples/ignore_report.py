"""Report which configuration files and environment variables a loader would skip.

Builds a ``LoaderIgnore`` rule set for a typical configuration directory
(editor backups, compiled caches, version-control folders) and a few
environment-variable masks, walks a directory and the environment, and prints
what the rules ignore, with totals.

    python examples/ignore_report.py [DIRECTORY] [--summary | --ignored-only] [--file-mask MASK ...]
    python examples/ignore_report.py --demo
"""

from __future__ import annotations

import argparse
import os
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import TextIO

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


EXIT_STATUS = """\
exit status: 0 when the report is complete; 1 when it is printed but some
directory below DIRECTORY could not be read (each is named in a warning on
stderr); 2 when DIRECTORY does not exist, is not a directory or cannot be read.
On a terminal, stderr shows how many files have been walked so far."""


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Show which files below DIRECTORY and which environment variables\n"
        "the configuration loader's ignore rules skip.",
        epilog=EXIT_STATUS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("directory", nargs="?", default=".", help="directory to walk (default: .)")
    parser.add_argument("--demo", action="store_true",
                        help="walk an embedded demo directory and environment instead")
    listing = parser.add_mutually_exclusive_group()
    listing.add_argument("--summary", action="store_true",
                         help="print only the totals, not the files and variables")
    listing.add_argument("--ignored-only", action="store_true",
                         help="list only the IGNORED files and variables (totals still count all)")
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


class Console:
    """stderr for warnings and a progress count that rewrites one line in place.

    The count only goes to a terminal: redirected, the carriage returns would
    end up in a log. It never touches stdout, so a report piped elsewhere stays
    clean, and it is erased before a warning or the report is printed.
    """

    INTERVAL = 0.1  # seconds between rewrites: cheap, yet visibly moving

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._live = stream.isatty()
        self._due = 0.0
        self._width = 0

    def progress(self, files: int, ignored: int) -> None:
        if not self._live:
            return
        now = time.monotonic()
        if now < self._due:
            return
        self._due = now + self.INTERVAL
        text = f"walked {files} files, {ignored} ignored..."
        self._stream.write("\r" + text.ljust(self._width))
        self._stream.flush()
        self._width = len(text)

    def clear(self) -> None:
        if self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0

    def warn(self, text: str) -> None:
        self.clear()
        print(f"warning: {text}", file=self._stream, flush=True)


def walk_files(root: Path, console: Console, unreadable: list[str]) -> Iterator[Path]:
    """Relative paths of all files below ``root``, in a stable order.

    A directory that cannot be listed is named on stderr and recorded in
    ``unreadable``; the walk goes on with its siblings.
    """
    def skipped(error: OSError) -> None:
        where = os.path.abspath(error.filename or root)  # the walk runs from the cwd
        unreadable.append(where)
        console.warn(f"cannot read {where}: {error.strerror}")

    for dirpath, dirnames, filenames in os.walk(root, onerror=skipped):
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


def report(rules: LoaderIgnore, args: argparse.Namespace, label: str,
           environment: Mapping[str, str], environment_label: str, console: Console) -> int:
    """Prints the report on the working directory; returns the exit status."""
    files: list[tuple[Path, bool]] = []
    ignored_count = 0
    unreadable: list[str] = []
    # Deciding during the walk lets the progress count include the ignored
    # files, and costs no second pass over a large tree.
    for path in walk_files(Path("."), console, unreadable):
        ignored = rules.is_ignored(path)
        ignored_count += ignored
        files.append((path, ignored))
        console.progress(len(files), ignored_count)
    console.clear()
    names = [(n, rules.is_ignored(name=n)) for n in sorted(environment)]
    ignored_names = sum(ignored for _, ignored in names)
    kinds = ", ".join((Extensions.py, Extensions.yaml, Extensions.json, Extensions.env))

    if not args.summary:
        print(f"== Files below {label}")
        if not args.ignored_only:
            print(LEGEND.format(kinds=kinds))
            print()
        print(f"  {'STATUS':8} {'KIND':5} FILE")
        for path, ignored in files:
            if ignored:
                print(f"  {'IGNORED':8} {'':5} {path}")
            elif not args.ignored_only:
                print(f"  {'kept':8} {kind_of(path):5} {path}")
        print()
        print(f"== Environment variables ({environment_label})")
        print(f"  {'STATUS':8} NAME")
        for name, ignored in names:
            if ignored or not args.ignored_only:
                print(f"  {'IGNORED' if ignored else 'kept':8} {name}")
        print()
    print("== Totals")
    print(f"  {ignored_count} of {len(files)} files ignored")
    print(f"  {ignored_names} of {len(names)} environment variables ignored")
    if unreadable:
        count = len(unreadable)
        print(f"  {count} {'directory' if count == 1 else 'directories'} could not be read")
        return 1
    return 0


def make_demo_tree(base: Path) -> Path:
    root = base / "config"
    for relative, text in DEMO_FILES.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    return root


def enter(directory: str) -> Path | None:
    """Makes ``directory`` the working directory, or says on stderr why it cannot be walked."""
    # Queries are relative to the walked directory, so path masks written from
    # it ('build/*') match; the loader asks the same way.
    root = Path(directory).resolve()
    try:
        if not stat.S_ISDIR(root.stat().st_mode):
            problem = f"{directory} is not a directory"
        else:
            # chdir needs search permission, listing needs read permission.
            os.chdir(root)
            os.scandir(".").close()
            return root
    except FileNotFoundError:
        problem = f"{directory} does not exist"
    except OSError as error:
        problem = f"cannot read {directory}: {error.strerror}"
    print(f"error: {problem}", file=sys.stderr)
    return None


def run(args: argparse.Namespace, console: Console) -> int:
    if args.demo:
        # The demo tree lives in a temporary directory for the run only, so
        # the report names it as the demo rather than by a path that will be gone.
        with tempfile.TemporaryDirectory() as tmp:
            root = enter(str(make_demo_tree(Path(tmp))))
            assert root is not None  # made just now by this process
            return report(build_rules(args, root), args, "the embedded demo directory",
                          DEMO_ENVIRONMENT, "the embedded demo environment", console)
    root = enter(args.directory)
    if root is None:
        return 2
    return report(build_rules(args, root), args, str(root), os.environ,
                  "this process's environment", console)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    console = Console(sys.stderr)
    try:
        return run(args, console)
    except KeyboardInterrupt:
        console.clear()
        return 130
    except BrokenPipeError:
        # The reader (head, less) left early. Point stdout at /dev/null so that
        # the interpreter's final flush does not fail again, and end with the
        # status a shell shows for a writer that SIGPIPE stopped.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE


if __name__ == "__main__":
    sys.exit(main())
