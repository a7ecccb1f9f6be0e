"""A plain-Python model of LoaderIgnore: argument binding, construction and
the decision, step by step in the native code's order, so that property tests
can hold the native results, lists, exceptions and messages against it.

The model keeps the rule set as an ordinary object with six attributes and
takes `Path` and `fnmatch` as the native module does: looked up at each use.
"""

import fnmatch
from pathlib import Path

INIT_PARAMS = ("file", "files", "file_mask", "file_masks", "path", "paths",
               "path_mask", "path_masks", "env_name", "env_names", "env_name_mask", "env_name_masks")
LISTS = ("files", "file_masks", "paths", "path_masks", "env_names", "env_name_masks")


class Signature:
    def __init__(self, name, params, tested=(), self_by_keyword=False):
        self.name, self.params, self.self_by_keyword = name, params, self_by_keyword
        self.tested = dict(tested)


INIT = Signature("__init__", INIT_PARAMS, tested={
    p: (list if p.endswith("s") else str) for p in INIT_PARAMS if p not in ("file", "path")})
IS_IGNORED = Signature("is_ignored", ("path", "name"), tested={"name": str})
GETTERS = {g: Signature(g, (), self_by_keyword=True) for g in LISTS}


HEAP_TYPE = 1 << 9


def tp_name(cls):
    """The C-level type name that binding messages show: the bare name for a
    class made at run time or a builtin, else qualified by its module."""
    if cls.__flags__ & HEAP_TYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


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
            exc = TypeError(f"Argument '{param}' has incorrect type "
                            f"(expected {expected.__name__}, got {tp_name(type(value))})")
            if isinstance(value, expected):
                exc.add_note("subclass")
            raise exc
    return values


class Rules:
    """The six lists of a rule set, under the names of the properties."""

    def __init__(self, **lists):
        self.__dict__.update(lists)


def convert(value, resolve, namespace):
    path = namespace["Path"](value)
    return path.resolve() if resolve else path


def construct(file=None, files=None, file_mask=None, file_masks=None, path=None, paths=None,
              path_mask=None, path_masks=None, env_name=None, env_names=None, env_name_mask=None,
              env_name_masks=None, namespace=None):
    """The six lists built from bound arguments; `namespace` stands for the
    module globals in which `Path` is looked up."""
    namespace = namespace if namespace is not None else {"Path": Path}

    def path_list(plural, singular, resolve):
        built = [] if plural is None else [convert(v, resolve, namespace) for v in plural]
        if singular is not None:
            value = convert(singular, resolve, namespace)
            if value not in built:
                built.append(value)
        return built

    def mask_list(plural, singular):
        built = [] if plural is None else plural
        if singular is not None and singular not in built:
            built.append(singular)
        return built

    built_files = path_list(files, file, False)
    built_file_masks = mask_list(file_masks, file_mask)
    built_paths = path_list(paths, path, True)
    built_path_masks = mask_list(path_masks, path_mask)
    built_env_names = mask_list(env_names, env_name)
    built_env_name_masks = mask_list(env_name_masks, env_name_mask)
    return Rules(files=built_files, file_masks=built_file_masks, paths=built_paths,
                 path_masks=built_path_masks, env_names=built_env_names,
                 env_name_masks=built_env_name_masks)


def is_ignored(rules, path=None, name=None, namespace=None):
    """The decision; `namespace` stands for the module globals in which
    `fnmatch` is looked up at each pattern test."""
    namespace = namespace if namespace is not None else {"fnmatch": fnmatch}

    def match(text, pattern):
        return namespace["fnmatch"].fnmatch(text, pattern)

    if path is not None:
        abs_path = path.resolve()
        file_name = path.name
        path_str = format(path, "")
        if any(file_name == f.name for f in rules.files):
            return True
        if any(match(file_name, p) for p in rules.file_masks):
            return True
        if any(abs_path == p or p in abs_path.parents for p in rules.paths):
            return True
        if any(match(path_str, p) for p in rules.path_masks):
            return True
    if name is None:
        return False
    if name in rules.env_names:
        return True
    return any(match(name, p) for p in rules.env_name_masks)
