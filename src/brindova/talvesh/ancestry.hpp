// The paths step's test, `abs_path == entry or entry in abs_path.parents`,
// answered from the two paths' cached texts when both are plain PosixPath
// objects of an unaltered pathlib, without building `parents` or any
// ancestor. Whenever the answer cannot be proved equal to what the ordinary
// protocol would give, the caller takes the ordinary protocol.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

// What the shortcut knows about one test.
enum class Known : int { no = 0, yes = 1, unknown = -1 };

// Both never raise, and call nothing of the paths or their classes. The
// first use after pathlib's state changed checks that state again, which can
// run Python code: a metaclass `__eq__` (the parents sequence's bases are
// searched for `Sequence`), finalisers of a replaced function released there,
// the `__eq__` of a key met by a namespace lookup. The check may raise there
// or change what it checked; it then takes nothing as proved.

// `abs_path == entry`.
Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept;

// `entry in abs_path.parents`, for an entry that has just compared unequal
// through the ordinary `==` or `ancestry_equal`.
Known ancestry_in_parents(PyObject* abs_path, PyObject* entry) noexcept;

}  // namespace brindova::talvesh
