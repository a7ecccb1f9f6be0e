// Traceback entries for native functions.
#pragma once

#include "common/ref.hpp"

namespace brindova {

// Adds one entry to the traceback of the pending exception, as the interpreter
// does for a Python function that the exception leaves: the entry shows
// `filename`, `function` as the code's name, and `line`, with `globals` as the
// frame's globals. Entries added later appear above earlier ones, so a native
// function adds its own entry last. Building the entry may fail (no memory);
// the pending exception is then kept as it was, without the entry.
void traceback_add(const char* filename, const char* function, int line, PyObject* globals) noexcept;

}  // namespace brindova
