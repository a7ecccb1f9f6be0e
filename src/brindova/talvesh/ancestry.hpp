// The paths step's test, `abs_path == entry or entry in abs_path.parents`,
// answered from the two paths' cached texts when both are PosixPath objects
// whose class, and all the code the ordinary protocol would run for them,
// are pathlib's own (known by a fingerprint of their content), without
// building `parents` or any ancestor. Whenever the answer cannot be proved
// equal to what the ordinary protocol would give, the caller takes the
// ordinary protocol.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

// What the shortcut knows about one test.
// clang-format off: the formatter would put one enumerator a line
enum class Known : int { no = 0, yes = 1, unknown = -1 };
// clang-format on

// Both run no Python code, release nothing they did not make, and leave no
// exception set.

// `abs_path == entry`.
Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept;

// `entry in abs_path.parents`, for an entry that has just compared unequal
// through the ordinary `==` or `ancestry_equal`.
Known ancestry_in_parents(PyObject* abs_path, PyObject* entry) noexcept;

}  // namespace brindova::talvesh
