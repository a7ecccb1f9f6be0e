// The interpreter's own structures that the paths shortcut reads: thread
// state, function, code and descriptor layouts. They are 3.13's; another
// release must be checked against its headers here, and until then
// `layout_known()` keeps the shortcut off.
#pragma once

#include "common/ref.hpp"

#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "the structures below are those of CPython 3.13"
#endif

namespace brindova::talvesh::interp {

// The running interpreter is the 3.13 these layouts were compiled for.
inline bool layout_known() noexcept
{
    return (Py_Version >> 16) == (PY_VERSION_HEX >> 16);
}

// Nothing can see the calls an ordinary route would make: no monitoring
// event, trace or profile function was ever set in the interpreter (each
// of them raises its instrumentation version, which lives above the eval
// breaker's eight flag bits; this thread's copy is current while it holds
// the interpreter). The recursion budget must also leave room for that
// route, which would otherwise raise where the shortcut does not.
inline bool unobserved(const PyThreadState* t) noexcept
{
    return (t->eval_breaker >> 8) == 0 && t->py_recursion_remaining > 50 && t->c_recursion_remaining > 100;
}

// A signal is pending, or another thread has set an exception for this one:
// the ordinary route would raise it at its next instruction. (The eval
// breaker's bits 1 and 3.)
inline bool interrupted(const PyThreadState* t) noexcept
{
    return (t->eval_breaker & ((1u << 1) | (1u << 3))) != 0;
}

inline PyCodeObject* code(PyObject* c) noexcept { return reinterpret_cast<PyCodeObject*>(c); }

// A code object's version is unique to it in the process (0 once the
// counter is spent), so a pointer to code that also shows the version seen
// before is the same code, not another one made at a freed address.
inline std::uint32_t version(PyObject* c) noexcept { return code(c)->co_version; }

// Local monitoring events, set on one code object, raise no version: the
// code then carries monitoring data.
inline bool code_monitored(PyObject* c) noexcept { return code(c)->_co_monitoring != nullptr; }

// What a function runs with. Neither globals nor builtins can be replaced;
// its code can, and so can its defaults (which only `resolve` has, of the
// code trusted: every other call passes every argument).
struct Function {
    PyObject* code;
    PyObject* globals;
    PyObject* builtins;
    PyObject* first_cell;  // contents of the first closure cell, or null
};
inline PyObject* defaults(PyObject* f) noexcept { return reinterpret_cast<PyFunctionObject*>(f)->func_defaults; }

inline Function parts(PyObject* f) noexcept
{
    const auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    PyObject* closure = fn->func_closure;
    PyObject* cell = closure && PyTuple_GET_SIZE(closure) ? PyCell_GET(PyTuple_GET_ITEM(closure, 0)) : nullptr;
    return {fn->func_code, fn->func_globals, fn->func_builtins, cell};
}

// What the interpreter's own attribute lookup finds for `name` on `type`
// (borrowed): its type cache first, then the class dicts. Runs no code for
// classes whose dicts hold exact `str` keys only.
inline PyObject* type_cache_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

// Where a built-in descriptor type keeps the object behind its member `name`
// (a property's "fget", a classmethod's "__func__"): read from the type's own
// member table, not assumed; -1 when it has none.
inline Py_ssize_t member_offset(PyTypeObject* type, const char* name) noexcept
{
    for (const PyMemberDef* m = type->tp_members; m != nullptr && m->name != nullptr; ++m) {
        if (std::strcmp(m->name, name) == 0 && m->type == _Py_T_OBJECT) {
            return m->offset;
        }
    }
    return -1;  // uncovered: the member tables of property, classmethod and staticmethod hold fget and __func__: the search always finds them
}

inline PyObject** at(PyObject* obj, Py_ssize_t offset) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The writable object slot that a member descriptor of `owner` named `name`
// stands for, or -1.
inline Py_ssize_t slot_offset(PyObject* descr, PyTypeObject* owner, const char* name) noexcept
{
    if (!Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        return -1;
    }
    auto* member = reinterpret_cast<PyMemberDescrObject*>(descr);
    const PyMemberDef* def = member->d_member;
    const bool own = member->d_common.d_type == owner && std::strcmp(def->name, name) == 0 &&
                     def->type == Py_T_OBJECT_EX && (def->flags & Py_READONLY) == 0;
    return own ? def->offset : -1;
}

// A built-in function named `name` of the module whose definition is named
// `module` (with the calling convention `flags`, when given): only C code
// can make one, so a Python program cannot forge it.
inline bool builtin_function(PyObject* obj, const char* name, const char* module, int flags = -1) noexcept
{
    if (!PyCFunction_CheckExact(obj)) {
        return false;
    }
    auto* f = reinterpret_cast<PyCFunctionObject*>(obj);
    PyModuleDef* def = f->m_self != nullptr && PyModule_CheckExact(f->m_self) ? PyModule_GetDef(f->m_self) : nullptr;
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, module) == 0 &&
           std::strcmp(f->m_ml->ml_name, name) == 0 && (flags < 0 || f->m_ml->ml_flags == flags);
}

// Calls a METH_O built-in as its vectorcall would, without the recursion
// check that could raise on its way.
inline PyObject* call_o(PyObject* builtin, PyObject* arg) noexcept
{
    auto* f = reinterpret_cast<PyCFunctionObject*>(builtin);
    return f->m_ml->ml_meth(f->m_self, arg);
}

}  // namespace brindova::talvesh::interp
