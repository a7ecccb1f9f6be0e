"""The rules that decide which files, directories and environment variables
the brindova configuration loader leaves out: `LoaderIgnore`."""

import fnmatch as fnmatch
from pathlib import Path as Path
from typing import TypeAlias, overload

# `list` is invariant, so `list[Path | str]` alone would refuse a caller's
# `list[str]` or `list[Path]`; the module takes any of them, but only a list.
_PathList: TypeAlias = list[Path] | list[str] | list[Path | str]

class LoaderIgnore:
    """Ignore rules: files, file masks, directories, path masks,
    environment-variable names and name masks, asked by `is_ignored`.

    Each of the six rule lists has a plural argument (a list) and a singular
    one (one value); the plural entries come first, in order, and the
    singular value is appended unless an equal entry is already there:

    - `files`, `file` -> `files`: `str` or `pathlib.Path` values, converted
      with `Path` and not resolved. Only each entry's final component counts:
      it ignores a file of that name in any directory.
    - `file_masks`, `file_mask` -> `file_masks`: `fnmatch` patterns matched
      against the file name (final component) of the queried path.
    - `paths`, `path` -> `paths`: directories as `str` or `pathlib.Path`,
      resolved against the working directory when the rules are made; a
      directory ignores itself and everything below it.
    - `path_masks`, `path_mask` -> `path_masks`: `fnmatch` patterns matched
      against the whole text of the queried path, as given, unresolved
      (`*` matches `/` too).
    - `env_names`, `env_name` -> `env_names`: exact environment-variable
      names.
    - `env_name_masks`, `env_name_mask` -> `env_name_masks`: `fnmatch`
      patterns matched against the queried name.

    A plural argument must be exactly a `list` (not a tuple, not a subclass)
    and a singular mask or name exactly a `str`, else `TypeError`. `files` and
    `paths` are read into new lists. The four mask and name lists are kept as
    the caller's very objects, not copied: the singular value is appended to
    the caller's list, and later changes to that list change the rules. Only
    None means absent: an empty string or list counts as given. Matching is
    case-sensitive.
    """
    # mypy infers a list display such as `[Path("a"), "b"]` against a union
    # of list types as `list[object]`, so each of `files` and `paths` also has
    # an overload with `list[Path | str]` alone, which such a display matches.
    # Docstrings: pyright shows the first overload's on a call of the class
    # (and the class's for the other overloads), jedi always the class's.
    @overload
    def __init__(
        self,
        /,
        file: Path | str | None = None,
        files: list[Path | str] | None = None,
        file_mask: str | None = None,
        file_masks: list[str] | None = None,
        path: Path | str | None = None,
        paths: list[Path | str] | None = None,
        path_mask: str | None = None,
        path_masks: list[str] | None = None,
        env_name: str | None = None,
        env_names: list[str] | None = None,
        env_name_mask: str | None = None,
        env_name_masks: list[str] | None = None,
    ) -> None:
        """Make the rules; every argument defaults to None (absent).

        file, files: files ignored by name (`str` or `Path`; `files` a list).
        file_mask, file_masks: `fnmatch` patterns for the file name.
        path, paths: directories ignored with everything below them,
        resolved now against the working directory.
        path_mask, path_masks: `fnmatch` patterns for the whole path text.
        env_name, env_names: exact environment-variable names.
        env_name_mask, env_name_masks: `fnmatch` patterns for the names.

        Plural arguments are exactly `list`, singular masks and names exactly
        `str` (else `TypeError`). The four mask and name lists are the
        caller's own objects, kept and not copied, and the singular value is
        appended to them.
        """
    @overload
    def __init__(
        self,
        /,
        file: Path | str | None = None,
        files: list[Path | str] | None = None,
        file_mask: str | None = None,
        file_masks: list[str] | None = None,
        path: Path | str | None = None,
        paths: _PathList | None = None,
        path_mask: str | None = None,
        path_masks: list[str] | None = None,
        env_name: str | None = None,
        env_names: list[str] | None = None,
        env_name_mask: str | None = None,
        env_name_masks: list[str] | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self,
        /,
        file: Path | str | None = None,
        files: _PathList | None = None,
        file_mask: str | None = None,
        file_masks: list[str] | None = None,
        path: Path | str | None = None,
        paths: list[Path | str] | None = None,
        path_mask: str | None = None,
        path_masks: list[str] | None = None,
        env_name: str | None = None,
        env_names: list[str] | None = None,
        env_name_mask: str | None = None,
        env_name_masks: list[str] | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self,
        /,
        file: Path | str | None = None,
        files: _PathList | None = None,
        file_mask: str | None = None,
        file_masks: list[str] | None = None,
        path: Path | str | None = None,
        paths: _PathList | None = None,
        path_mask: str | None = None,
        path_masks: list[str] | None = None,
        env_name: str | None = None,
        env_names: list[str] | None = None,
        env_name_mask: str | None = None,
        env_name_masks: list[str] | None = None,
    ) -> None: ...
    @property
    def files(self) -> list[Path]:
        """The live list of ignored files (`pathlib.Path`, unresolved), matched by
        final component: the very list the rules consult, not a copy."""
    @property
    def file_masks(self) -> list[str]:
        """The live list of file-name masks: the very list the rules consult
        (the caller's `file_masks` list itself when one was given)."""
    @property
    def paths(self) -> list[Path]:
        """The live list of ignored directories (resolved `pathlib.Path`): the very
        list the rules consult, not a copy."""
    @property
    def path_masks(self) -> list[str]:
        """The live list of whole-path masks: the very list the rules consult
        (the caller's `path_masks` list itself when one was given)."""
    @property
    def env_names(self) -> list[str]:
        """The live list of ignored environment-variable names: the very list the
        rules consult (the caller's `env_names` list itself when one was given)."""
    @property
    def env_name_masks(self) -> list[str]:
        """The live list of environment-variable name masks: the very list the
        rules consult (the caller's `env_name_masks` list itself when one was
        given)."""
    def is_ignored(self, /, path: Path | None = None, name: str | None = None) -> bool:
        """Whether the loader must skip `path`, `name`, or either of them.

        path: a `pathlib.Path` (a `str` is refused with `AttributeError`), or
        None. Its file name (final component) is tested against `files`, then
        against `file_masks`; `path.resolve()` against `paths` (equal to an
        entry or below it); its text as given against `path_masks`.
        name: an environment-variable name, exactly a `str`, or None. Tested
        next against `env_names`, then `env_name_masks`.

        Returns True at the first rule that matches, in that order, and False
        when none does: with both arguments, the name is tested only when the
        path side misses.
        """

__test__: dict[str, object]
