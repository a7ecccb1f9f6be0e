#include "talvesh/function.hpp"

#include <algorithm>
#include <cstddef>

#include "common/intern.hpp"
#include "common/traceback.hpp"
#include "talvesh/state.hpp"

namespace brindova::talvesh {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;          // null reads as None
    PyObject* defaults;     // null reads as None
    PyObject* kwdefaults;   // null reads as None
    PyObject* annotations;  // null until first read
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

NativeFunction* as_function(PyObject* obj)
{
    return reinterpret_cast<NativeFunction*>(obj);
}

// --- argument binding ---------------------------------------------------------

// The argument among [first, end) that the keyword `key` names: -1 when none,
// -2 with an exception set when a comparison raised.
int find_argument(const FunctionSpec& spec, PyObject* key, int first, int end, int hint = 0)
{
    // Identity first: names written in a call are interned, like ours. Calls
    // mostly name parameters in their order, so the scan starts at `hint`,
    // just after the previous keyword's parameter, and wraps around.
    hint = std::clamp(hint, first, end);
    for (int i = hint; i < end; ++i) {
        if (spec.interned[i] == key) {
            return i;
        }
    }
    for (int i = first; i < hint; ++i) {
        if (spec.interned[i] == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    const bool exact = PyUnicode_CheckExact(key);
    for (int i = first; i < end; ++i) {
        if (exact) {
            if (PyUnicode_Compare(key, spec.interned[i]) == 0) {
                return i;
            }
            continue;
        }
        // A str subclass may define its own equality; it decides.
        int equal = PyObject_RichCompareBool(key, spec.interned[i], Py_EQ);
        if (equal != 0) {
            return equal > 0 ? i : -2;
        }
    }
    return -1;
}

int raise_count_error(const FunctionSpec& spec, Py_ssize_t given, Py_ssize_t low)
{
    const char* qualifier = "exactly";
    Py_ssize_t bound = 1;
    if (!spec.self_by_keyword) {
        qualifier = given < low ? "at least" : "at most";
        bound = given < low ? low : spec.argcount;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, qualifier, bound, bound == 1 ? "" : "s", given);
    return -1;
}

int raise_type_error(const char* argument, PyTypeObject* expected, PyObject* value)
{
    PyTypeObject* got = Py_TYPE(value);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument, expected->tp_name, got->tp_name);
    // When the message itself could not be made, a MemoryError is pending:
    // the note explains a TypeError and belongs on nothing else.
    if (PyType_IsSubtype(got, expected) && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are not accepted for this argument: pass a plain %.200s "
            "instead of the %.200s instance.",
            expected->tp_name, got->tp_name));
        Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(exc, names.add_note, note.get())) : Ref();
        // Without its note the TypeError still says what is wrong.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    return -1;
}

// Fills `values` with `self` and every parameter: positional arguments, then
// keywords in call order, then None for the rest; then applies the exact-type
// tests in parameter order. The first failure ends the binding.
int bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** values)
{
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t low = spec.self_by_keyword && nkw > 0 ? 0 : 1;
    const Py_ssize_t high = spec.self_by_keyword ? 1 : spec.argcount;
    if (nargs < low || nargs > high) {
        return raise_count_error(spec, nargs, low);
    }
    const int npositional = static_cast<int>(nargs);
    for (int i = 0; i < spec.argcount; ++i) {
        values[i] = i < npositional ? args[i] : nullptr;
    }
    const int first_keyword = spec.self_by_keyword ? 0 : 1;
    const int first_unbound = std::max(npositional, first_keyword);
    int hint = first_unbound;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = find_argument(spec, key, first_unbound, spec.argcount, hint);
        if (index >= 0) {
            values[index] = args[nargs + k];
            hint = index + 1;
            continue;
        }
        if (index == -2) {
            return -1;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        index = find_argument(spec, key, first_keyword, npositional);
        if (index == -2) {
            return -1;
        }
        PyErr_Format(PyExc_TypeError,
                     index >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                : "%s() got an unexpected keyword argument '%U'",
                     spec.name, key);
        return -1;
    }
    for (int i = 0; i < spec.argcount; ++i) {
        if (values[i] == nullptr) {
            values[i] = Py_None;
        }
    }
    for (int i = 1; i < spec.argcount; ++i) {
        PyTypeObject* expected = spec.expected[i];
        if (expected != nullptr && values[i] != Py_None && Py_TYPE(values[i]) != expected) {
            return raise_type_error(spec.varnames[i], expected, values[i]);
        }
    }
    return 0;
}

// Native calls in progress on this thread, nested in one another. Constant
// initialisation: no per-thread initialiser runs before each use.
constinit thread_local int call_depth = 0;

// The interpreter's default recursion limit; a level of a native call loop
// takes a few kilobytes of stack at most, even under a sanitizer.
constexpr int max_call_depth = 1000;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    NativeFunction* self = as_function(callable);
    const FunctionSpec& spec = *self->spec;
    // A call loop through native code alone (a `Path` whose conversion calls
    // __init__ again, say) must meet a recursion limit as a Python one does.
    // The interpreter's own check counts against its C limit, which allows
    // more levels than the stack holds when each level nests several C frames
    // (a functools.partial, a bound method, the body's own calls, and more
    // still under a sanitizer). So native calls nested in one another also
    // count against sys.getrecursionlimit(), and never beyond a fixed depth
    // that the stack is known to hold: the limit can be raised far past what
    // C frames fit in, as Python frames, unlike ours, take no C stack. Our
    // functions never nest in ordinary use. The RecursionError comes before
    // any argument is bound, so it carries the entry of a binding failure:
    // the function's first line.
    int& depth = call_depth;  // one look-up of this thread's counter
    const bool too_deep = depth >= std::min(Py_GetRecursionLimit(), max_call_depth);
    if (too_deep) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a native function");
    }
    if (too_deep || Py_EnterRecursiveCall(" while calling a native function") != 0) {
        return function_fail(spec, self->globals, spec.first_line);
    }
    ++depth;
    PyObject* values[max_arguments];
    PyObject* result = bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, values) < 0
                           ? function_fail(spec, self->globals, spec.first_line)
                           : spec.body(spec, self->globals, values);
    --depth;
    Py_LeaveRecursiveCall();
    return result;
}

// --- descriptor and attributes ------------------------------------------------

// Like a Python function: itself through the class, a bound method through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* new_ref_or_none(PyObject* obj)
{
    return Py_NewRef(obj != nullptr ? obj : Py_None);
}

int set_string(PyObject*& field, PyObject* value, const char* message)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

// Binding always fills in None, so reassigned defaults would mislead a reader
// of the attribute about what a call does; the warning says so.
int set_defaults(PyObject*& field, PyObject* value, int (*check)(PyObject*), const char* attribute,
                 const char* message)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "assigning %s of a native function does not change its calls: "
                         "omitted arguments are always None",
                         attribute) < 0) {
        return -1;
    }
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* obj)
{
    return PyTuple_Check(obj);
}

int is_dict(PyObject* obj)
{
    return PyDict_Check(obj);
}

PyObject* get_name(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept
{
    return set_string(as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept
{
    return set_string(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) noexcept
{
    return new_ref_or_none(as_function(self)->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept
{
    return new_ref_or_none(as_function(self)->module);
}

int set_module(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept
{
    return new_ref_or_none(as_function(self)->defaults);
}

int set_defaults_attr(PyObject* self, PyObject* value, void*) noexcept
{
    return set_defaults(as_function(self)->defaults, value, is_tuple, "__defaults__",
                        "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept
{
    return new_ref_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept
{
    return set_defaults(as_function(self)->kwdefaults, value, is_dict, "__kwdefaults__",
                        "__kwdefaults__ must be set to a dict object");
}

// The same dict on every read; made at the first read when there is none.
PyObject* get_annotations(PyObject* self, void*) noexcept
{
    NativeFunction* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_closure(PyObject*, void*) noexcept
{
    Py_RETURN_NONE;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults_attr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as Python functions are: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->qualname, self);
}

// --- lifetime -----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

// Other slots rely on name, qualified name, globals and code never being null
// (__name__, repr(), the traceback entry of a failing call), and a cleared
// function can still be reached while its cycle is broken up. Globals and
// code are kept until dealloc: a dict and a code object break no cycle of
// ours by being dropped here. A name may be a str subclass that is part of a
// cycle, so it is swapped for an immutable empty string, as CPython does.
int function_clear(PyObject* self) noexcept
{
    NativeFunction* f = as_function(self);
    Py_SETREF(f->name, Py_NewRef(names.empty));
    Py_SETREF(f->qualname, Py_NewRef(names.empty));
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "brindova.talvesh.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A code object that describes the signature to introspection; it has no body.
Ref make_code(const FunctionSpec& spec)
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_path, spec.name, spec.first_line)));
    Ref varnames = code ? Ref::steal(PyTuple_New(spec.nvarnames)) : Ref();
    if (!varnames) {
        return {};
    }
    for (int i = 0; i < spec.nvarnames; ++i) {
        Ref name = interned(spec.varnames[i]);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), i, name.release());
    }
    Ref replace = Ref::steal(PyObject_GetAttr(code.get(), names.replace));
    Ref no_args = replace ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref fields = no_args ? Ref::steal(Py_BuildValue(
        "{s:i,s:i,s:i,s:i,s:O,s:i,s:s}", "co_argcount", spec.argcount, "co_posonlyargcount",
        spec.self_by_keyword ? 0 : 1, "co_kwonlyargcount", 0, "co_nlocals", spec.nvarnames,
        "co_varnames", varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS, "co_qualname",
        spec.qualname)) : Ref();
    if (!fields) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), fields.get()));
}

}  // namespace

int function_intern_names(FunctionSpec& spec) noexcept
{
    for (int i = 0; i < spec.argcount; ++i) {
        if (intern_once(spec.interned[i], spec.varnames[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

int function_type_ready() noexcept
{
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
        // CPython 3.13.0 returns null without an exception when its first
        // allocation fails.
        if (function_type == nullptr && !PyErr_Occurred()) {
            PyErr_NoMemory();
        }
    }
    return function_type != nullptr ? 0 : -1;
}

PyObject* function_new(const FunctionSpec& spec, PyObject* module_name, PyObject* globals,
                       PyObject* defaults, PyObject* annotations, PyObject* doc) noexcept
{
    // Each object is checked before the next is made: no call may run with
    // the previous one's MemoryError pending.
    Ref name = interned(spec.name);
    Ref qualname = name ? interned(spec.qualname) : Ref();
    Ref code = qualname ? make_code(spec) : Ref();
    if (!code) {
        return nullptr;
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, function_type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = Py_XNewRef(doc);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = Py_XNewRef(annotations);
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

PyObject* function_fail(const FunctionSpec& spec, PyObject* globals, int line) noexcept
{
    traceback_add(source_path, spec.trace_name, line, globals);
    return nullptr;
}

}  // namespace brindova::talvesh
