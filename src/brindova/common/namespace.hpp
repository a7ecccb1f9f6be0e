// Helpers for the namespaces that a module's exec fills in.
#pragma once

#include "common/ref.hpp"

namespace brindova {

// dict[key] = text, the text interned; 0, or -1 with an exception set.
int dict_set_str(PyObject* dict, const char* key, const char* text) noexcept;

// type(name, (), ns): a class made the way the built-in `type` makes one,
// called directly rather than looked up among the builtins.
Ref new_class(PyObject* name, PyObject* ns) noexcept;

}  // namespace brindova
