import fnmatch as fnmatch
from pathlib import Path as Path

class LoaderIgnore:
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
