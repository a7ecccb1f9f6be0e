#include "talvesh/matcher.hpp"

#include "talvesh/names.hpp"

namespace brindova::talvesh {
namespace {

// The last lookup, when it went the common way: `fnmatch` found in the
// module's namespace, holding a plain module whose namespace has `fnmatch`.
// Its result depends only on those two dicts, so it stays valid until either
// changes; a dict watcher sees every change and only marks the entry stale
// (the callback runs inside the dict operation and must not run other code).
struct Remembered {
    int watcher = -1;
    bool valid = false;
    PyObject* globals = nullptr;   // strong: a freed dict's address could come back
    PyObject* module = nullptr;    // strong: keeps its namespace dict alive
    PyObject* function = nullptr;  // strong
};

Remembered remembered;

int on_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept
{
    if (remembered.valid &&
        (dict == remembered.globals || dict == PyModule_GetDict(remembered.module))) {
        remembered.valid = false;
    }
    return 0;
}

// Replaces the remembered lookup; references are dropped only after the new
// ones are in place, since dropping them can run code.
void remember(PyObject* globals, PyObject* module, PyObject* function)
{
    if (remembered.watcher < 0 || PyDict_Watch(remembered.watcher, globals) < 0 ||
        PyDict_Watch(remembered.watcher, PyModule_GetDict(module)) < 0) {
        PyErr_Clear();
        return;
    }
    PyObject* old[] = {remembered.globals, remembered.module, remembered.function};
    remembered.globals = Py_NewRef(globals);
    remembered.module = Py_NewRef(module);
    remembered.function = Py_NewRef(function);
    remembered.valid = true;
    for (PyObject* obj : old) {
        Py_XDECREF(obj);
    }
}

// Looks `fnmatch` up as the module's code would: the module namespace, then
// the builtins, then the attribute of whatever was found.
Ref lookup(PyObject* globals)
{
    PyObject* raw = nullptr;
    int in_globals = PyDict_GetItemRef(globals, names.fnmatch, &raw);
    if (in_globals < 0) {
        return {};
    }
    if (in_globals == 0) {
        if (PyObject_GetOptionalAttr(guard.builtins, names.fnmatch, &raw) == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.fnmatch);
        }
        if (raw == nullptr) {
            return {};
        }
    }
    Ref holder = Ref::steal(raw);
    if (PyModule_CheckExact(holder.get())) {
        // The module type defines no attribute of this name, so a plain
        // module's attribute is its namespace entry, when it has one.
        raw = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(holder.get()), names.fnmatch, &raw) < 0) {
            return {};
        }
        Ref function = Ref::steal(raw);
        if (function) {
            if (in_globals > 0) {
                remember(globals, holder.get(), function.get());
            }
            return function;
        }
    }
    return Ref::steal(PyObject_GetAttr(holder.get(), names.fnmatch));
}

}  // namespace

void matcher_init() noexcept
{
    if (remembered.watcher < 0) {
        remembered.watcher = PyDict_AddWatcher(on_dict_change);
        if (remembered.watcher < 0) {
            PyErr_Clear();
        }
    }
}

PyObject* matcher_call(PyObject* globals, PyObject* text, PyObject* pattern) noexcept
{
    // A module's class can be reassigned without touching its namespace.
    const bool fresh = remembered.valid && remembered.globals == globals &&
                       PyModule_CheckExact(remembered.module);
    Ref function = fresh ? Ref::borrow(remembered.function) : lookup(globals);
    if (!function) {
        return nullptr;
    }
    PyObject* args[] = {nullptr, text, pattern};
    return PyObject_Vectorcall(function.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace brindova::talvesh
