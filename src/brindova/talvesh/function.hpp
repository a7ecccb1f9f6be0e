// Native function objects: the callables of LoaderIgnore. They bind their
// arguments like the module's Python-level signature says, behave as
// descriptors like Python functions, and carry the attributes introspection
// reads (__code__, __defaults__, __annotations__, ...).
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

struct FunctionSpec;

// A function body. `args` holds `self` and then every parameter, in order,
// each the caller's object or None. Returns a new reference, or null with an
// exception set and the function's traceback entry added.
using Body = PyObject* (*)(const FunctionSpec& spec, PyObject* globals, PyObject* const* args);

inline constexpr int max_arguments = 13;

// Everything fixed about one function; the module defines one per callable.
struct FunctionSpec {
    const char* name;        // bare name: __name__, co_name and binding messages
    const char* qualname;    // __qualname__
    const char* trace_name;  // dotted name shown in traceback entries
    int first_line;          // co_firstlineno, and the line of binding failures
    int argcount;            // `self` and the parameters
    bool self_by_keyword;    // only a getter's `self` may come by keyword
    const char* const* varnames;  // co_varnames: the arguments, then the body's locals
    int nvarnames;
    PyTypeObject* const* expected;  // exact type per argument, null when untested
    Body body;
    PyObject* interned[max_arguments] = {};  // argument names, made by function_intern_names
};

// Interns the argument names of `spec` once; later calls do nothing.
int function_intern_names(FunctionSpec& spec) noexcept;

// Readies the function type; called at every exec, cheap after the first.
int function_type_ready() noexcept;

// A new function object for `spec`. `defaults` (or null for None),
// `annotations` (or null: an empty dict is made at first read) and `doc` (or
// null for None) are the introspection values; binding never reads them.
PyObject* function_new(const FunctionSpec& spec, PyObject* module_name, PyObject* globals,
                       PyObject* defaults, PyObject* annotations, PyObject* doc) noexcept;

// Adds the traceback entry of `spec`'s function at `line`; returns null.
PyObject* function_fail(const FunctionSpec& spec, PyObject* globals, int line) noexcept;

}  // namespace brindova::talvesh
