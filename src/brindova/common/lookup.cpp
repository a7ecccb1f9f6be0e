#include "common/lookup.hpp"

#include "common/intern.hpp"

namespace brindova {
namespace {

// A module-table entry; None (an import that must fail) counts as no entry.
Ref module_table_entry(PyObject* name)
{
    Ref entry = Ref::steal(PyImport_GetModule(name));
    if (entry.get() == Py_None) {
        entry.reset();
    }
    return entry;
}

// The module-table entry "<module's __name__>.<name>", or null without an error.
Ref submodule_stand_in(PyObject* module, PyObject* name)
{
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref full = module_name ? Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name)) : Ref();
    Ref entry = full ? module_table_entry(full.get()) : Ref();
    PyErr_Clear();
    return entry;
}

}  // namespace

Ref builtin_attribute(PyObject* builtins, PyObject* name) noexcept
{
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(builtins, name, &raw) == 0) {
        raise_name_error(name);
    }
    return Ref::steal(raw);
}

void raise_name_error(PyObject* name) noexcept
{
    // As the interpreter's own: the name rides along for its suggestions.
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PyObject* error = PyErr_GetRaisedException();
    if (PyErr_GivenExceptionMatches(error, PyExc_NameError)) {
        auto* name_error = reinterpret_cast<PyNameErrorObject*>(error);
        Py_XSETREF(name_error->name, Py_NewRef(name));
    }
    PyErr_SetRaisedException(error);
}

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, bool* in_globals) noexcept
{
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(globals, name, &raw);
    if (in_globals != nullptr) {
        *in_globals = found > 0;
    }
    if (found != 0) {
        return Ref::steal(raw);
    }
    // A function defined in the module reads the namespace of the builtins
    // module that `__builtins__` named when it was made: its dict, never
    // its attributes (no module __getattr__ or subclass descriptor takes
    // part); anything else bound there is read as a mapping.
    PyObject* ns = PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
    if (PyMapping_GetOptionalItem(ns, name, &raw) == 0) {
        raise_name_error(name);
    }
    return Ref::steal(raw);
}

Ref import_module(const char* module_name, PyObject* globals) noexcept
{
    Ref module_key = interned(module_name);
    if (!module_key) {
        return {};
    }
    Ref module = module_table_entry(module_key.get());
    if (module || PyErr_Occurred()) {
        return module;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return {};  // uncovered: the locals dict of the import comes from the interpreter's dict free list, which the import's own work has refilled: no allocation to fail
    }
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_key.get(), globals, locals.get(), nullptr, 0));
}

Ref import_from(const char* module_name, PyObject* name, PyObject* globals) noexcept
{
    Ref module_key = interned(module_name);
    Ref module = module_key ? module_table_entry(module_key.get()) : Ref();
    if (!module_key || PyErr_Occurred()) {
        return {};
    }
    if (module) {
        // An entry that cannot tell whether it has the name is treated as
        // lacking it: the import below then reads the name and reports it.
        if (PyObject_HasAttrWithError(module.get(), name) <= 0) {
            PyErr_Clear();
            module.reset();
        }
    }
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        Ref fromlist = locals ? Ref::steal(PyTuple_Pack(1, name)) : Ref();
        if (!fromlist) {
            return {};
        }
        module = Ref::steal(PyImport_ImportModuleLevelObject(module_key.get(), globals, locals.get(),
                                                             fromlist.get(), 0));
        if (!module) {
            return {};
        }
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        value = submodule_stand_in(module.get(), name);
    }
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

}  // namespace brindova
