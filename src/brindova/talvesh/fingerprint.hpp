// A fingerprint of what a code object does: its bytecode (as the compiler
// made it, before the interpreter specialised it), exception table, argument
// counts and flags, names and constants, nested code included, but not its
// file or line numbers. tools/fingerprints.py computes the same value in
// Python, so that the table of known code can be read off an interpreter.
#pragma once

#include "common/ref.hpp"

#include <cstdint>

namespace brindova::talvesh {

// False, with no exception left, for code holding a constant of a kind the
// fingerprint does not cover or nested too deep, or when the bytes could
// not be had. `code` must be a code object.
bool fingerprint(PyObject* code, std::uint64_t& out) noexcept;

}  // namespace brindova::talvesh
