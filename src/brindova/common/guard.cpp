#include "common/guard.hpp"

#include <iterator>

#include "common/intern.hpp"
#include "common/traceback.hpp"
#include "common/version_warning.hpp"

namespace brindova {
namespace {

// What create copies from the spec into the module namespace. A missing
// attribute is skipped; `skip_none` also skips a value of None.
struct SpecCopy {
    const char* from;
    const char* to;
    bool skip_none;
};
constexpr SpecCopy spec_copies[] = {
    {"loader", "__loader__", false},
    {"origin", "__file__", false},
    {"parent", "__package__", false},
    {"submodule_search_locations", "__path__", true},
};

// The spec's attribute names, "name" first, interned once for the process:
// a lookup by a new string would leave that string in the interpreter's
// attribute cache, one more entry at every import.
PyObject* spec_names[1 + std::size(spec_copies)];

int intern_spec_names()
{
    if (intern_once(spec_names[0], "name") < 0) {
        return -1;
    }
    for (std::size_t i = 0; i < std::size(spec_copies); ++i) {
        if (intern_once(spec_names[i + 1], spec_copies[i].from) < 0) {
            return -1;
        }
    }
    return 0;
}

int copy_spec_attr(PyObject* spec, PyObject* name, const SpecCopy& copy, PyObject* ns)
{
    PyObject* raw = nullptr;
    int found = PyObject_GetOptionalAttr(spec, name, &raw);
    Ref value = Ref::steal(raw);
    if (found <= 0) {
        return found;
    }
    if (copy.skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(ns, copy.to, value.get());
}

void forget_module(ModuleGuard& guard)
{
    Py_CLEAR(guard.module);
}

// Removes `module` from the module table under the canonical key when it is
// the entry there. When the module was loaded under another name, the import
// system only removes that name, and a half-made module left under the
// canonical key would be handed to the next import.
void drop_canonical_entry(const ModuleGuard& guard, PyObject* module)
{
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* raw = nullptr;
    if (PyMapping_GetOptionalItemString(modules, guard.key, &raw) > 0 && raw == module) {
        PyMapping_DelItemString(modules, guard.key);
    }
    Py_XDECREF(raw);
    // The import fails for the pending reason; a failure to tidy up must not hide it.
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

}  // namespace

PyObject* guard_create(ModuleGuard& guard, PyObject* spec) noexcept
{
    std::int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;  // uncovered: a running interpreter always has an id: PyInterpreterState_GetID fails only for a state being torn down
    }
    if (guard.interpreter_id == -1) {
        guard.interpreter_id = id;
    } else if (guard.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (guard.module != nullptr) {
        // The interpreter clears the state pointer of the module that create
        // returns and gives it a new (empty) state at exec; the old block
        // would be lost on every re-import.
        PyMem_Free(PyModule_GetState(guard.module));
        return Py_NewRef(guard.module);
    }

    Ref name = intern_spec_names() < 0 ? Ref() : Ref::steal(PyObject_GetAttr(spec, spec_names[0]));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* ns = PyModule_GetDict(module.get());
    for (std::size_t i = 0; i < std::size(spec_copies); ++i) {
        if (copy_spec_attr(spec, spec_names[i + 1], spec_copies[i], ns) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int guard_exec_begin(ModuleGuard& guard, PyObject* module) noexcept
{
    if (guard.module != nullptr) {
        if (guard.module == module) {
            return 1;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return -1;
    }
    guard.module = Py_NewRef(module);
    PyObject* ns = PyModule_GetDict(module);

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(ns, "__builtins__", builtins.get()) < 0) {
        forget_module(guard);
        return -1;
    }
    Py_XSETREF(guard.builtins, builtins.release());

    // Only major.minor matter: the ABI is stable across micro releases.
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char text[version_warning_capacity];
        version_warning_text(text, guard.key, PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor);  // uncovered: the module runs only on the major.minor it was built for: the ABI tag of its file name keeps any other interpreter from loading it
        if (PyErr_WarnEx(nullptr, text, 1) < 0) {  // uncovered: as above: the version mismatch warning needs another major.minor
            forget_module(guard);  // uncovered: as above, and the warning would have to be an error
            return -1;  // uncovered: as above
        }
    }

    // Entered before anything is defined: code run while the module is built
    // (dataclasses resolving annotations, for one) looks the module up by name.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* raw = nullptr;
    int present = PyMapping_GetOptionalItemString(modules, guard.key, &raw);
    Py_XDECREF(raw);
    if (present < 0 || (present == 0 && PyMapping_SetItemString(modules, guard.key, module) < 0)) {
        return guard_exec_fail(guard, module, 1);
    }
    return 0;
}

int guard_exec_fail(ModuleGuard& guard, PyObject* module, int line) noexcept
{
    traceback_add(guard.source, guard.init_name, line, PyModule_GetDict(module));
    drop_canonical_entry(guard, module);
    forget_module(guard);
    return -1;
}

int guard_exec_finish(ModuleGuard& guard, PyObject* module) noexcept
{
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) {
        return guard_exec_fail(guard, module, 1);
    }
    return 0;
}

}  // namespace brindova
