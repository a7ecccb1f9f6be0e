// Interned strings: the one way both modules make the names they compare by
// identity or store in namespaces.
#pragma once

#include "common/ref.hpp"

namespace brindova {

// A new reference to the interned string `text`, or null with an exception set.
inline Ref interned(const char* text) noexcept
{
    return Ref::steal(PyUnicode_InternFromString(text));
}

// Makes `name` the interned `text` once, for a process-wide constant: a later
// call (an exec that runs again after a failed import) keeps what is there.
// 0, or -1 with an exception set.
inline int intern_once(PyObject*& name, const char* text) noexcept
{
    if (name == nullptr) {
        name = PyUnicode_InternFromString(text);
    }
    return name != nullptr ? 0 : -1;
}

}  // namespace brindova
