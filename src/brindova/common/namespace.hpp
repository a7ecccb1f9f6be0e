// Helpers for the namespaces that a module's exec fills in, and for the
// caches that watch namespaces.
#pragma once

#include "common/ref.hpp"

namespace brindova {

// dict[key] = text, the text interned; 0, or -1 with an exception set.
int dict_set_str(PyObject* dict, const char* key, const char* text) noexcept;

// type(name, (), ns): a class made the way the built-in `type` makes one,
// called directly rather than looked up among the builtins.
Ref new_class(PyObject* name, PyObject* ns) noexcept;

// Has `watcher` watch `dict` and tells whether what a cache reads from it can
// be trusted until the watcher sees a change: false (no exception) when it
// cannot be watched or holds a key that is not an exact `str`, since such a
// key can compare equal to a name by code of its own, whose answer may
// change with no change to the dict.
bool watch_namespace(int watcher, PyObject* dict) noexcept;

}  // namespace brindova
