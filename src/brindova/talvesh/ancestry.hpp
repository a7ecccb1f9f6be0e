// The paths step's test, `abs_path == entry or entry in abs_path.parents`,
// and the construction's `value in paths`, answered from the paths' texts
// when they are PosixPath objects whose class, and all the code the
// ordinary protocol would run for them, are pathlib's own (the verdict,
// verdict.hpp), without building `parents` or any ancestor. Whenever the
// answer cannot be proved equal to what the ordinary protocol would give,
// the caller takes the ordinary protocol.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

// What the shortcut knows about one test.
// clang-format off: the formatter would put one enumerator a line
enum class Known : int { no = 0, yes = 1, unknown = -1 };
// clang-format on

// These two run no Python code, release nothing they did not make, and
// leave no exception set.

// `abs_path == entry`.
Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept;

// `entry in abs_path.parents`, for an entry that has just compared unequal
// through the ordinary `==` or `ancestry_equal`.
Known ancestry_in_parents(PyObject* abs_path, PyObject* entry) noexcept;

// `value in list` for an exact list, as the list decides it, each entry's
// `==` through `ancestry_equal` where it knows: 1, 0, or -1 with an
// exception set. It runs the code of the entries it does not know.
int ancestry_contains(PyObject* list, PyObject* value) noexcept;

}  // namespace brindova::talvesh
