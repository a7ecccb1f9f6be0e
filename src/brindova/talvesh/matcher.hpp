// The wildcard test of the decision: `fnmatch.fnmatch(text, pattern)`, with
// `fnmatch` resolved as a global of the module at the moment of each test, so
// that rebinding it, or the function inside it, takes effect at the next test.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

// Registers the namespace watcher that keeps a remembered lookup honest; a
// failure only means that every test looks the function up in full.
void matcher_init() noexcept;

// The result of the test (new reference), or null with an exception set.
PyObject* matcher_call(PyObject* globals, PyObject* text, PyObject* pattern) noexcept;

}  // namespace brindova::talvesh
