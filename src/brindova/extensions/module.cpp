// brindova.extensions: the frozen record `_Extensions` naming the kinds of
// configuration source by their file-name extensions, and its default
// instance `Extensions`.
#include "common/guard.hpp"
#include "common/intern.hpp"
#include "common/lookup.hpp"
#include "common/namespace.hpp"

namespace brindova::extensions {
namespace {

// The module's only process-wide state: its guard, made at the first import
// and kept for the life of the process, never released.
ModuleGuard guard{"extensions", "brindova.extensions", "src/brindova/extensions",
                  "init brindova.extensions"};

// Source lines of the module's own steps, shown in the traceback of a failed import.
enum Line : int {
    line_import = 14,
    line_decorator = 18,
    line_class = 19,
    line_py = 20,
    line_yaml = 21,
    line_json = 22,
    line_env = 23,
    line_default = 26,
};

// The four fields, in order; each defaults to its own name.
constexpr const char* field_names[] = {"py", "yaml", "json", "env"};
constexpr int field_lines[] = {line_py, line_yaml, line_json, line_env};

// The class namespace: module, qualified name, string annotations, defaults.
// Returns the line of the failing store through `line`.
Ref make_namespace(int& line)
{
    line = line_class;
    Ref ns = Ref::steal(PyDict_New());
    Ref annotations;
    if (!ns || dict_set_str(ns.get(), "__module__", "brindova.extensions") < 0 ||
        dict_set_str(ns.get(), "__qualname__", "_Extensions") < 0 ||
        !(annotations = Ref::steal(PyDict_New()))) {
        return {};
    }
    for (const char* field : field_names) {
        if (dict_set_str(annotations.get(), field, "str") < 0) {
            return {};
        }
    }
    if (PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0) {
        return {};
    }
    for (int i = 0; i < 4; ++i) {
        line = field_lines[i];
        if (dict_set_str(ns.get(), field_names[i], field_names[i]) < 0) {
            return {};
        }
    }
    return ns;
}

// `dataclass(frozen=True)`, with `dataclass` looked up by name at this moment.
Ref make_decorator(PyObject* globals)
{
    Ref name = interned("dataclass");
    Ref dataclass = name ? lookup_global(globals, guard.builtins, name.get()) : Ref();
    Ref kwnames = dataclass ? Ref::steal(Py_BuildValue("(s)", "frozen")) : Ref();
    if (!kwnames) {
        return {};
    }
    PyObject* args[] = {nullptr, Py_True};
    return Ref::steal(PyObject_Vectorcall(dataclass.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}

int module_exec(PyObject* module) noexcept
{
    int begun = guard_exec_begin(guard, module);
    if (begun != 0) {
        return begun > 0 ? 0 : -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    auto fail = [&](int line) { return guard_exec_fail(guard, module, line); };

    Ref dataclass_name = interned("dataclass");
    Ref dataclass = dataclass_name ? import_from("dataclasses", dataclass_name.get(), globals) : Ref();
    if (!dataclass || PyDict_SetItem(globals, dataclass_name.get(), dataclass.get()) < 0) {
        return fail(line_import);
    }

    int line = 0;
    Ref ns = make_namespace(line);
    if (!ns) {
        return fail(line);
    }
    // The decorator is made once the namespace is complete and before the class exists.
    Ref decorator = make_decorator(globals);
    if (!decorator) {
        return fail(line_decorator);
    }
    Ref class_name = interned("_Extensions");
    Ref cls = class_name ? new_class(class_name.get(), ns.get()) : Ref();
    if (!cls) {
        return fail(line_class);
    }
    Ref record_type = Ref::steal(PyObject_CallOneArg(decorator.get(), cls.get()));
    if (!record_type) {
        return fail(line_decorator);
    }
    if (PyDict_SetItem(globals, class_name.get(), record_type.get()) < 0) {
        return fail(line_class);  // uncovered: the module dict has free room for the class at that point: the insertion allocates nothing
    }

    Ref looked_up = lookup_global(globals, guard.builtins, class_name.get());
    Ref record = looked_up ? Ref::steal(PyObject_CallNoArgs(looked_up.get())) : Ref();
    if (!record || PyDict_SetItemString(globals, "Extensions", record.get()) < 0) {
        return fail(line_default);
    }

    return guard_exec_finish(guard, module);
}

}  // namespace
}  // namespace brindova::extensions

PyMODINIT_FUNC PyInit_extensions()
{
    using namespace brindova::extensions;
    return brindova::guarded_module_init<guard, module_exec>("extensions");
}
