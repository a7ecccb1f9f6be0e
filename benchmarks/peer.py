"""The ignore rules written in plain Python, as the benchmarks' yardstick.

This is the implementation one would write without a native core: the same
construction steps in the same order, the same decision with the same list
walks, and the same argument type tests, so that a benchmark compares like
with like. It does not reproduce the native module's exact messages,
traceback entries or introspection attributes; nothing imports it but the
benchmarks.
"""

import fnmatch
from pathlib import Path


def _wrong_type(argument, expected, value):
    return TypeError(
        f"Argument '{argument}' has incorrect type "
        f"(expected {expected.__name__}, got {type(value).__name__})"
    )


class LoaderIgnore:
    __slots__ = (
        "__files",
        "__file_masks",
        "__paths",
        "__path_masks",
        "__env_names",
        "__env_name_masks",
    )

    def __init__(
        self,
        file=None,
        files=None,
        file_mask=None,
        file_masks=None,
        path=None,
        paths=None,
        path_mask=None,
        path_masks=None,
        env_name=None,
        env_names=None,
        env_name_mask=None,
        env_name_masks=None,
    ):
        # Exact types only, None meaning absent; `file` and `path` are left
        # to `Path`, which refuses what it cannot convert.
        if files is not None and type(files) is not list:
            raise _wrong_type("files", list, files)
        if file_mask is not None and type(file_mask) is not str:
            raise _wrong_type("file_mask", str, file_mask)
        if file_masks is not None and type(file_masks) is not list:
            raise _wrong_type("file_masks", list, file_masks)
        if paths is not None and type(paths) is not list:
            raise _wrong_type("paths", list, paths)
        if path_mask is not None and type(path_mask) is not str:
            raise _wrong_type("path_mask", str, path_mask)
        if path_masks is not None and type(path_masks) is not list:
            raise _wrong_type("path_masks", list, path_masks)
        if env_name is not None and type(env_name) is not str:
            raise _wrong_type("env_name", str, env_name)
        if env_names is not None and type(env_names) is not list:
            raise _wrong_type("env_names", list, env_names)
        if env_name_mask is not None and type(env_name_mask) is not str:
            raise _wrong_type("env_name_mask", str, env_name_mask)
        if env_name_masks is not None and type(env_name_masks) is not list:
            raise _wrong_type("env_name_masks", list, env_name_masks)

        # Files keep the form they were given in: only their names are compared.
        if files is None:
            files = []
        else:
            files = [Path(f) for f in files]
        if file is not None:
            file = Path(file)
            if file not in files:
                files.append(file)

        # Mask and name lists are the caller's own objects, not copies.
        if file_masks is None:
            file_masks = []
        if file_mask is not None and file_mask not in file_masks:
            file_masks.append(file_mask)

        # Directories are fixed against the working directory of this moment.
        if paths is None:
            paths = []
        else:
            paths = [Path(p).resolve() for p in paths]
        if path is not None:
            path = Path(path).resolve()
            if path not in paths:
                paths.append(path)

        if path_masks is None:
            path_masks = []
        if path_mask is not None and path_mask not in path_masks:
            path_masks.append(path_mask)

        if env_names is None:
            env_names = []
        if env_name is not None and env_name not in env_names:
            env_names.append(env_name)

        if env_name_masks is None:
            env_name_masks = []
        if env_name_mask is not None and env_name_mask not in env_name_masks:
            env_name_masks.append(env_name_mask)

        self.__files = files
        self.__file_masks = file_masks
        self.__paths = paths
        self.__path_masks = path_masks
        self.__env_names = env_names
        self.__env_name_masks = env_name_masks

    @property
    def files(self):
        return self.__files

    @property
    def file_masks(self):
        return self.__file_masks

    @property
    def paths(self):
        return self.__paths

    @property
    def path_masks(self):
        return self.__path_masks

    @property
    def env_names(self):
        return self.__env_names

    @property
    def env_name_masks(self):
        return self.__env_name_masks

    def is_ignored(self, path=None, name=None):
        """Check if a file path or environment variable name should be ignored."""
        if name is not None and type(name) is not str:
            raise _wrong_type("name", str, name)
        if path is not None:
            abs_path = path.resolve()
            file_name = path.name
            path_str = f"{path}"
            if any(file_name == f.name for f in self.__files):
                return True
            if any(fnmatch.fnmatch(file_name, p) for p in self.__file_masks):
                return True
            if any(abs_path == p or p in abs_path.parents for p in self.__paths):
                return True
            if any(fnmatch.fnmatch(path_str, p) for p in self.__path_masks):
                return True
        if name is None:
            return False
        if name in self.__env_names:
            return True
        return any(fnmatch.fnmatch(name, p) for p in self.__env_name_masks)
