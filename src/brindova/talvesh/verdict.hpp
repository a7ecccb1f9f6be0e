// Whether the ordinary route of a path operation would run only pathlib's
// and posixpath's own code for paths of one class: the verdict that the
// native shortcuts (ancestry.hpp, resolve.hpp) ask before each use. It
// trusts code only by a fingerprint of its content, runs no Python code,
// releases nothing and holds no strong reference (verdict.cpp says how).
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh::verdict {

// The slots of a path that the shortcuts read or fill.
// clang-format off: the formatter would put one enumerator a line
enum Member : int { str_slot, normcase_slot, drv_slot, root_slot, tail_slot, raw_slot, path_slots };
// clang-format on

// Prepares the check once, at module exec: 0, or -1 with an exception set.
int init() noexcept;

// True when the verdict holds for `type` and nothing observes the calls of
// the ordinary route (no tracer, profiler or monitor, recursion headroom to
// spare). Until the next call that can run Python code, the accessors below
// then describe `type`.
bool usable(PyTypeObject* type) noexcept;

// The slot `m` of a path of the class last found usable.
PyObject*& slot(PyObject* path, Member m) noexcept;

// `posixpath.sep` and `sys.intern`, as trusted by the last usable verdict
// (borrowed).
PyObject* sep() noexcept;
PyObject* intern() noexcept;

}  // namespace brindova::talvesh::verdict
