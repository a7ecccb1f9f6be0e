#include "talvesh/function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>

#if defined(__GLIBC__) && defined(__x86_64__)
// The wheel must load on the oldest glibc its tag names: bind the versions
// these two have had on x86-64 from the first, not those of glibc 2.32 and
// 2.34, which moved them into libc under new version names (same code).
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif
#endif

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
    // None up front: nothing below asks which parameters are still unbound.
    for (int i = 0; i < spec.argcount; ++i) {
        values[i] = i < npositional ? args[i] : Py_None;
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
    for (int i = 1; i < spec.argcount; ++i) {
        PyTypeObject* expected = spec.expected[i];
        if (expected != nullptr && values[i] != Py_None && Py_TYPE(values[i]) != expected) {
            return raise_type_error(spec.varnames[i], expected, values[i]);
        }
    }
    return 0;
}

// --- call guard ---------------------------------------------------------------

// A call loop through native code alone (a `Path` whose conversion calls
// __init__ again, say) must end in RecursionError, not in a stack overflow,
// whatever sys.setrecursionlimit() or threading.stack_size() say. Counting
// levels cannot promise that: a level's size depends on what nests in it (a
// functools.partial, a bound method, a sanitizer's red zones), and a thread's
// stack may be 32 KiB or 8 MiB. So each call compares the stack pointer with
// the lowest address this thread's calls may start from, and refuses below it.
//
// The interpreter's own C recursion counter is not entered: our frames are
// bounded in bytes, the stronger promise, and the thread-state look-up behind
// Py_EnterRecursiveCall (a call of __tls_get_addr into a shared libpython)
// was most of the old guard's ~117 instructions a call, against six for this
// one. What our bodies call back into (Python functions, the interpreter's C
// code) still counts against the interpreter's budget, which a refused call
// leaves as it was; what the interpreter runs below our deepest call is
// guarded by that count alone, as below any extension's C frames.

#if defined(__GLIBC__)
// A fixed offset from the thread pointer, with no call to __tls_get_addr:
// glibc keeps room in static TLS for the few bytes of modules loaded later.
// musl and others keep the default model.
#define BRINDOVA_TLS_INITIAL_EXEC [[gnu::tls_model("initial-exec")]]
#else
#define BRINDOVA_TLS_INITIAL_EXEC
#endif

#if defined(__SANITIZE_ADDRESS__)
#define BRINDOVA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRINDOVA_ASAN 1
#endif
#endif

// Stack kept below the floor for the deepest path that starts above it: a
// call's own frames down to its next guarded call or into the interpreter
// (binding, the body, a Path conversion through functools.partial), and the
// refusal itself (the RecursionError, its traceback entry's code object and
// frame). Measured on x86-64, GCC 12, with the unused stack painted before
// a call loop through functools.partial: a level of the loop takes 784 bytes
// and the refusal reaches at most 1.4 KiB below the floor; under
// AddressSanitizer 1,700 bytes and 5.3 KiB. A construction and two decisions
// called from Python in a fresh thread reach 14 KiB below its top, 8 KiB of
// it below the caller. The margins are twice that, or more; a 32 KiB thread
// still constructs and decides (40 KiB under AddressSanitizer).
#if defined(BRINDOVA_ASAN)
constexpr std::uintptr_t stack_margin = 32 * 1024;
#else
constexpr std::uintptr_t stack_margin = 16 * 1024;
#endif

// Beyond this much the reported bounds are not taken at their word: the main
// thread under an unlimited stack rlimit reports everything down to the next
// mapping, while the kernel stops the stack a guard gap short of it.
constexpr std::uintptr_t max_stack = std::uintptr_t{1} << 30;

// Where no bounds are known (another platform, a stack of the program's own
// making), native calls nested in one another are counted instead. Ours never
// nest in ordinary use; this many levels fit a 256 KiB stack even under a
// sanitizer.
constexpr int fallback_depth = 64;

// A call may start where `sp - floor < span` (unsigned): at or above the
// floor and below the stack's top. Until a thread's first call the span is 0,
// so that call takes the slow path, which finds the bounds; where it finds
// none the span stays 0 and every call is counted there. One struct: one
// look-up of its offset from the thread pointer.
struct StackWindow {
    std::uintptr_t floor;
    std::uintptr_t span;
};
constinit thread_local StackWindow stack_window BRINDOVA_TLS_INITIAL_EXEC = {0, 0};

// clang-format off: the formatter would put one enumerator a line
enum class Bounds : unsigned char { unknown, known, none };
// clang-format on
constinit thread_local Bounds bounds = Bounds::unknown;
constinit thread_local int counted_depth = 0;

[[gnu::always_inline]] inline std::uintptr_t stack_pointer()
{
    std::uintptr_t sp;
#if defined(__GNUC__) && defined(__x86_64__)
    // One register move; __builtin_frame_address would make the function set
    // up a frame pointer. Either is the real stack even under
    // AddressSanitizer, which may move locals to a heap-allocated fake stack.
    asm("mov %%rsp, %0" : "=r"(sp));
#elif defined(__GNUC__) && defined(__aarch64__)
    asm("mov %0, sp" : "=r"(sp));
#elif defined(__GNUC__)
    sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
    volatile char here = 0;
    sp = reinterpret_cast<std::uintptr_t>(&here);
#endif
    return sp;
}

// The running thread's stack, [low, top): any thread, the main one (glibc
// reads the rlimit and /proc/self/maps for it) and threads that Python did not
// start alike. False when they cannot be had.
bool find_stack_bounds(std::uintptr_t& low, std::uintptr_t& top)
{
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    void* addr = nullptr;
    std::size_t size = 0;
    const bool got = pthread_attr_getstack(&attr, &addr, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!got || size == 0) {
        return false;  // uncovered: pthread_attr_getstack only reads the attributes that pthread_getattr_np filled in: it cannot fail, and no thread has an empty stack
    }
    low = reinterpret_cast<std::uintptr_t>(addr);
    top = low + size;
    low = std::max(low, top - std::min<std::uintptr_t>(size, max_stack));
    return true;
#else
    static_cast<void>(low);
    static_cast<void>(top);
    return false;
#endif
}

PyObject* refuse(const FunctionSpec& spec, PyObject* globals)
{
    // Before any argument is bound: the entry of a binding failure, the
    // function's first line.
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a native function");
    return function_fail(spec, globals, spec.first_line);
}

[[gnu::always_inline]] inline PyObject* call(NativeFunction* self, PyObject* const* args, size_t nargsf,
                                             PyObject* kwnames)
{
    const FunctionSpec& spec = *self->spec;
    PyObject* values[max_arguments];
    return bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, values) < 0
               ? function_fail(spec, self->globals, spec.first_line)
               : spec.body(spec, self->globals, values);
}

// A thread's first call, a call below the floor, and every call where the
// stack's bounds are unknown or the stack pointer is outside them.
[[gnu::noinline, gnu::cold]] PyObject* call_slow(NativeFunction* self, PyObject* const* args, size_t nargsf,
                                                 PyObject* kwnames, std::uintptr_t sp)
{
    if (bounds == Bounds::unknown) {
        std::uintptr_t low = 0;
        std::uintptr_t top = 0;
        bounds = find_stack_bounds(low, top) ? Bounds::known : Bounds::none;
        if (bounds == Bounds::known) {
            // A stack smaller than the margin refuses every call.
            const std::uintptr_t floor = low + stack_margin;
            stack_window = {floor, top > floor ? top - floor : 0};
        }
    }
    const StackWindow window = stack_window;
    if (bounds == Bounds::known) {
        if (sp - window.floor < window.span) {
            return call(self, args, nargsf, kwnames);
        }
        if (sp < window.floor && sp + stack_margin >= window.floor) {
            return refuse(*self->spec, self->globals);
        }
        // Not on this thread's stack (a coroutine's stack of the program's
        // own making, a signal stack): counted like unknown bounds.
    }
    if (counted_depth >= fallback_depth) {
        return refuse(*self->spec, self->globals);
    }
    ++counted_depth;
    PyObject* result = call(self, args, nargsf, kwnames);
    --counted_depth;
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    NativeFunction* self = as_function(callable);
    const std::uintptr_t sp = stack_pointer();
    const StackWindow& window = stack_window;
    if (sp - window.floor < window.span) [[likely]] {
        return call(self, args, nargsf, kwnames);
    }
    return call_slow(self, args, nargsf, kwnames, sp);
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
            return nullptr;  // uncovered: the sweep's `del f.__annotations__` leaves the dict on the interpreter's free list, and the empty dict made next takes it: no allocation to fail
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
                               spec.qualname))
                         : Ref();
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
