// The module-initialisation guard shared by both native modules: one
// interpreter per process, one module object per process, a warning when the
// running interpreter is not the one the module was built for, and an entry in
// sys.modules under the canonical name before anything else is defined.
#pragma once

#include <cstdint>

#include "common/ref.hpp"

namespace brindova {

struct ModuleGuard {
    const char* short_name;  // "talvesh": names the module in the re-initialisation error
    const char* key;         // "brindova.talvesh": module-table key and name in the version warning
    const char* source;      // "src/brindova/talvesh": file shown in traceback entries
    const char* init_name;   // "init brindova.talvesh": function shown for a failed exec

    // Process-wide: the first interpreter that created the module, and the
    // module whose exec started and has not failed (one strong reference).
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;
    // The builtins module bound as `__builtins__`, behind the module globals
    // in name lookups of the module's code.
    PyObject* builtins = nullptr;
};

// The create slot: a new module for `spec`, or the module of the process again.
PyObject* guard_create(ModuleGuard& guard, PyObject* spec) noexcept;

// Exec steps shared by both modules. Returns 1 when `module` is already the
// module of the process (exec has nothing left to do), 0 when the module's own
// steps should follow, and -1 with an exception set when a step failed (the
// guard has then already forgotten the module).
int guard_exec_begin(ModuleGuard& guard, PyObject* module) noexcept;

// A later exec step failed: adds the module's traceback entry at `line`,
// forgets the module of the process and takes it out of the module table under
// the canonical key. Always returns -1, for `return guard_exec_fail(...)`.
int guard_exec_fail(ModuleGuard& guard, PyObject* module, int line) noexcept;

// The last exec step of both modules: binds a new empty `__test__` dict.
int guard_exec_finish(ModuleGuard& guard, PyObject* module) noexcept;

// The body of `PyInit_<name>`: a multi-phase definition without functions or
// state whose create slot is the guard's and whose exec slot is `exec`.
template <ModuleGuard& guard, int (*exec)(PyObject*) noexcept>
PyObject* guarded_module_init(const char* name) noexcept
{
    static PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};
    static PyObject* (*const create)(PyObject*, PyModuleDef*) noexcept =
        [](PyObject* spec, PyModuleDef*) noexcept { return guard_create(guard, spec); };
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name, nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&definition);
}

}  // namespace brindova
