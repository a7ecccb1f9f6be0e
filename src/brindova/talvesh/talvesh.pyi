from pathlib import Path
import fnmatch as fnmatch

class LoaderIgnore:
    def __init__(
        self,
        file: Path | str = None,  # type: ignore[assignment]
        files: list[Path | str] = None,  # type: ignore[assignment]
        file_mask: str = None,  # type: ignore[assignment]
        file_masks: list[str] = None,  # type: ignore[assignment]
        path: Path | str = None,  # type: ignore[assignment]
        paths: list[Path | str] = None,  # type: ignore[assignment]
        path_mask: str = None,  # type: ignore[assignment]
        path_masks: list[str] = None,  # type: ignore[assignment]
        env_name: str = None,  # type: ignore[assignment]
        env_names: list[str] = None,  # type: ignore[assignment]
        env_name_mask: str = None,  # type: ignore[assignment]
        env_name_masks: list[str] = None,  # type: ignore[assignment]
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
    def is_ignored(self, path: Path = None, name: str = None) -> bool: ...  # type: ignore[assignment]
