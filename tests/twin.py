"""LoaderIgnore written in plain Python, and the rules by which the native
functions bind their arguments.

The class is the implementation one would write without a native core: the
construction steps in the native order, the same decision with the same list
walks, and the same argument type tests. The benchmarks time it as the plain
Python yardstick, so its hot paths stay as lean as that code would be; the
property tests hold the native lists, answers and exceptions against it.
Like the native module, it looks up `Path` and `fnmatch` as globals at each
use, and `under` runs its code with another module's globals.

`bind` models the native binding step by step, messages and notes included,
which a Python function's own binding does not reproduce.
"""

import fnmatch
from pathlib import Path

INIT_PARAMS = ("file", "files", "file_mask", "file_masks", "path", "paths",
               "path_mask", "path_masks", "env_name", "env_names", "env_name_mask", "env_name_masks")
HEAP_TYPE = 1 << 9


def tp_name(cls):
    """The C-level type name that binding messages show: the bare name for a
    class made at run time or a builtin, else qualified by its module."""
    if cls.__flags__ & HEAP_TYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


def _wrong_type(argument, expected, value):
    return TypeError(f"Argument '{argument}' has incorrect type "
                     f"(expected {expected.__name__}, got {tp_name(type(value))})")


class LoaderIgnore:
    __slots__ = ("__files", "__file_masks", "__paths", "__path_masks", "__env_names", "__env_name_masks")

    def __init__(self, /, file: "Path | str" = None, files: "list[Path | str]" = None, file_mask: "str" = None,
                 file_masks: "list[str]" = None, path: "Path | str" = None, paths: "list[Path | str]" = None,
                 path_mask: "str" = None, path_masks: "list[str]" = None, env_name: "str" = None,
                 env_names: "list[str]" = None, env_name_mask: "str" = None, env_name_masks: "list[str]" = None):
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
        files = [] if files is None else [Path(f) for f in files]
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
        paths = [] if paths is None else [Path(p).resolve() for p in paths]
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

    def is_ignored(self, /, path: "Path" = None, name: "str" = None) -> "bool":
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


def under(function, namespace):
    """`function` with `namespace` for its globals: run under the native
    module's, the twin's code reads the same stored names of a native rule
    set and finds the same `Path` and `fnmatch`."""
    return type(function)(function.__code__, namespace, function.__name__, function.__defaults__)


class Signature:
    def __init__(self, name, params, tested=(), self_by_keyword=False):
        self.name, self.params, self.self_by_keyword = name, params, self_by_keyword
        self.tested = dict(tested)


INIT = Signature("__init__", INIT_PARAMS, tested={
    p: (list if p.endswith("s") else str) for p in INIT_PARAMS if p not in ("file", "path")})
IS_IGNORED = Signature("is_ignored", ("path", "name"), tested={"name": str})
# The getters are named after the slots they read.
GETTER_SIGNATURES = {s[2:]: Signature(s[2:], (), self_by_keyword=True) for s in LoaderIgnore.__slots__}


def bind(sig, args, keywords, dict_call=False):
    """Binds `args` (with `self`) and `keywords` (name, value pairs in call
    order) as the native functions do; returns the values of `self` and every
    parameter, or raises their TypeError. `dict_call` says the keywords came
    as a dict to the plain call slot, where a non-string key fails first."""
    if dict_call and not all(isinstance(key, str) for key, _ in keywords):
        raise TypeError("keywords must be strings")
    n = len(args)
    names = ("self",) + sig.params
    low, high = (0 if keywords else 1, 1) if sig.self_by_keyword else (1, len(names))
    if not low <= n <= high:
        if sig.self_by_keyword:
            which, bound = "exactly", 1
        else:
            which, bound = ("at least", low) if n < low else ("at most", high)
        plural = "" if bound == 1 else "s"
        raise TypeError(f"{sig.name}() takes {which} {bound} positional argument{plural} ({n} given)")
    values = dict(zip(names, args))
    first = 0 if sig.self_by_keyword else 1
    free, taken = names[max(n, first):], names[first:n]
    for key, value in keywords:
        match = next((p for p in free if key is p or (isinstance(key, str) and key == p)), None)
        if match is not None:
            values[match] = value
            continue
        if not isinstance(key, str):
            raise TypeError(f"{sig.name}() keywords must be strings")
        if any(key == p for p in taken):
            raise TypeError(f"{sig.name}() got multiple values for keyword argument '{key}'")
        raise TypeError(f"{sig.name}() got an unexpected keyword argument '{key}'")
    values = [values.get(p) for p in names]
    for param, value in zip(names, values):
        expected = sig.tested.get(param)
        if expected is not None and value is not None and type(value) is not expected:
            exc = _wrong_type(param, expected, value)
            if isinstance(value, expected):
                exc.add_note("subclass")
            raise exc
    return values
