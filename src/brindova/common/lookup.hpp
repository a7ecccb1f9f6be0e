// Name resolution shared by the module bodies: module globals with the
// builtins behind them, and `from <module> import <name>` at exec time.
#pragma once

#include "common/ref.hpp"

namespace brindova {

// The attribute `name` of the builtins module; NameError when it has none.
Ref builtin_attribute(PyObject* builtins, PyObject* name) noexcept;

// NameError "name '<name>' is not defined", with its `name` set.
void raise_name_error(PyObject* name) noexcept;

// The value of `name` in the module namespace `globals`, else in the
// namespace of the builtins module, as the interpreter's global lookup reads
// them; NameError when neither has it, and an error of either lookup
// unchanged. The one place where a global of the modules' code is resolved.
// `in_globals`, when given, tells whether the value came from `globals`.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name,
                  bool* in_globals = nullptr) noexcept;

// `from <module_name> import <name>` as a module's exec performs it: an entry
// of the module table that already has the name is used as it is; otherwise
// the module is imported with `globals`. A name the module lacks may stand in
// the module table as "<module>.<name>". When no value results, ImportError
// "cannot import name <name>" replaces whatever went wrong; a failed import
// keeps its own exception.
Ref import_from(const char* module_name, PyObject* name, PyObject* globals) noexcept;

}  // namespace brindova

namespace brindova {

// `import <module_name>` as a module's exec performs it: the module-table entry
// when there is one, else the module imported with `globals`.
Ref import_module(const char* module_name, PyObject* globals) noexcept;

}  // namespace brindova
