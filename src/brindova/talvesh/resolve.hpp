// `path.resolve()`, computed natively for a path whose whole ordinary route
// the verdict trusts, and taken the ordinary way otherwise.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

// Prepares the route once, at module exec: 0, or -1 with an exception set.
int resolve_init() noexcept;

// What `path.resolve()` returns, or null with what it raised.
Ref resolve(PyObject* path) noexcept;

}  // namespace brindova::talvesh
