import fnmatch as fnmatch
from pathlib import Path as Path
from typing import TypeAlias, overload

# `list` is invariant, so `list[Path | str]` alone would refuse a caller's
# `list[str]` or `list[Path]`; the module takes any of them, but only a list.
_PathList: TypeAlias = list[Path] | list[str] | list[Path | str]

class LoaderIgnore:
    # mypy infers a list display such as `[Path("a"), "b"]` against a union
    # of list types as `list[object]`, so each of `files` and `paths` also has
    # an overload with `list[Path | str]` alone, which such a display matches.
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
    ) -> None: ...
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
    def files(self) -> list[Path]: ...
    @property
    def file_masks(self) -> list[str]: ...
    @property
    def paths(self) -> list[Path]: ...
    @property
    def path_masks(self) -> list[str]: ...
    @property
    def env_names(self) -> list[str]: ...
    @property
    def env_name_masks(self) -> list[str]: ...
    def is_ignored(self, /, path: Path | None = None, name: str | None = None) -> bool: ...

__test__: dict[str, object]
