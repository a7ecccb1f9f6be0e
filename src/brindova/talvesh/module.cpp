// brindova.talvesh: the module's exec and the assembly of LoaderIgnore, an
// ordinary class made by `type` whose callables are native functions.
#include "common/intern.hpp"
#include "common/lookup.hpp"
#include "common/namespace.hpp"
#include "talvesh/function.hpp"
#include "talvesh/resolve.hpp"
#include "talvesh/verdict.hpp"
#include "talvesh/matcher.hpp"
#include "talvesh/state.hpp"
#include "talvesh/rules.hpp"
#include "talvesh/slots.hpp"

#include <cstddef>
#include <iterator>

namespace brindova::talvesh {

// The process-wide state declared in state.hpp.
Names names{};
ModuleGuard guard{"talvesh", "brindova.talvesh", source_path, "init brindova.talvesh"};
PyTypeObject* function_type = nullptr;
FnmatchCache fnmatch_cache;
SlotLayout slot_layout;

namespace {

// Source lines of the exec steps, shown in the traceback of a failed import.
enum Line : int {
    line_module = 1,
    line_pathlib = 14,
    line_fnmatch = 15,
    line_class = 19,
    line_slots = 20,
};

constexpr const char* module_name = "brindova.talvesh";

// clang-format off: name and type tables laid out in columns
constexpr const char* slot_declared[slot_count] = {
    "__files", "__file_masks", "__paths", "__path_masks", "__env_names", "__env_name_masks",
};
// The interpreter mangles the declared names with the class name.
constexpr const char* slot_stored[slot_count] = {
    "_LoaderIgnore__files",     "_LoaderIgnore__file_masks", "_LoaderIgnore__paths",
    "_LoaderIgnore__path_masks", "_LoaderIgnore__env_names", "_LoaderIgnore__env_name_masks",
};

// --- the eight functions ------------------------------------------------------

constexpr const char* init_varnames[] = {
    "self",       "file",     "files",     "file_mask",     "file_masks",     "path", "paths", "path_mask",
    "path_masks", "env_name", "env_names", "env_name_mask", "env_name_masks", "f",    "p",
};
constexpr int init_argcount = 13;  // `self` and the twelve parameters; the rest are the body's locals
PyTypeObject* const init_expected[max_arguments] = {
    nullptr,         nullptr,      &PyList_Type,    &PyUnicode_Type, &PyList_Type,    nullptr,      &PyList_Type,
    &PyUnicode_Type, &PyList_Type, &PyUnicode_Type, &PyList_Type,    &PyUnicode_Type, &PyList_Type,
};
// Annotation of each constructor parameter, in parameter order.
constexpr const char* init_annotations[] = {
    "Path | str", "list[Path | str]", "str", "list[str]", "Path | str", "list[Path | str]",
    "str",        "list[str]",        "str", "list[str]", "str",        "list[str]",
};
static_assert(init_argcount <= max_arguments && init_argcount <= std::ssize(init_varnames));
static_assert(std::ssize(init_annotations) == init_argcount - 1, "one annotation per parameter");

constexpr const char* is_ignored_varnames[] = {
    "self",    "path",    "name",    "abs_path", "file_name", "path_str",
    "genexpr", "genexpr", "genexpr", "genexpr",  "genexpr",   "genexpr",
};
// clang-format on
constexpr int is_ignored_argcount = 3;
PyTypeObject* const is_ignored_expected[max_arguments] = {nullptr, nullptr, &PyUnicode_Type};
static_assert(is_ignored_argcount <= std::ssize(is_ignored_varnames));
constexpr const char* is_ignored_doc =
    "\n"
    "            Check if a file path or environment variable name should be ignored.\n"
    "\n"
    "            :param path: file path\n"
    "            :param name: env-var name\n"
    "            :return:\n"
    "            ";

constexpr const char* self_only[] = {"self"};
PyTypeObject* const untested[max_arguments] = {};

FunctionSpec init_spec = {
    .name = "__init__",
    .qualname = "LoaderIgnore.__init__",
    .trace_name = "brindova.talvesh.LoaderIgnore.__init__",
    .first_line = 26,
    .argcount = init_argcount,
    .self_by_keyword = false,
    .varnames = init_varnames,
    .nvarnames = std::size(init_varnames),
    .expected = init_expected,
    .body = rules_init,
};

FunctionSpec is_ignored_spec = {
    .name = "is_ignored",
    .qualname = "LoaderIgnore.is_ignored",
    .trace_name = "brindova.talvesh.LoaderIgnore.is_ignored",
    .first_line = 135,
    .argcount = is_ignored_argcount,
    .self_by_keyword = false,
    .varnames = is_ignored_varnames,
    .nvarnames = std::size(is_ignored_varnames),
    .expected = is_ignored_expected,
    .body = rules_is_ignored,
};

// A getter takes only `self`, which may come by keyword, and tests nothing.
// Its first line is also the line of its property in the class body.
// clang-format off: the getters' table, two a line
#define BRINDOVA_GETTER(slot, line)                                                           \
    FunctionSpec                                                                              \
    {                                                                                         \
        .name = #slot, .qualname = "LoaderIgnore." #slot,                                     \
        .trace_name = "brindova.talvesh.LoaderIgnore." #slot, .first_line = line, .argcount = 1, \
        .self_by_keyword = true, .varnames = self_only, .nvarnames = std::size(self_only),    \
        .expected = untested, .body = rules_get<slot>,                                        \
    }

// In slot order: the names are the slots' own.
FunctionSpec getter_specs[] = {
    BRINDOVA_GETTER(files, 105),     BRINDOVA_GETTER(file_masks, 110),
    BRINDOVA_GETTER(paths, 115),     BRINDOVA_GETTER(path_masks, 120),
    BRINDOVA_GETTER(env_names, 125), BRINDOVA_GETTER(env_name_masks, 130),
};
// clang-format on
#undef BRINDOVA_GETTER
static_assert(std::size(getter_specs) == slot_count, "one getter per slot");

// --- constants ----------------------------------------------------------------

// Made at the first exec; an exec that runs again after a failed import finds
// what the first one already made.
int constants_init()
{
    if (intern_once(names.Path, "Path") < 0 || intern_once(names.fnmatch, "fnmatch") < 0 ||
        intern_once(names.resolve, "resolve") < 0 || intern_once(names.name, "name") < 0 ||
        intern_once(names.parents, "parents") < 0 || intern_once(names.empty, "") < 0 ||
        intern_once(names.add_note, "add_note") < 0 || intern_once(names.replace, "replace") < 0) {
        return -1;
    }
    for (int slot = 0; slot < slot_count; ++slot) {
        if (intern_once(names.slots[slot], slot_stored[slot]) < 0 ||
            function_intern_names(getter_specs[slot]) < 0) {
            return -1;
        }
    }
    if (function_intern_names(init_spec) < 0 || function_intern_names(is_ignored_spec) < 0) {
        return -1;
    }
    matcher_init();
    if (verdict::init() < 0 || resolve_init() < 0) {
        return -1;
    }
    return function_type_ready();
}

// --- exec ---------------------------------------------------------------------

Ref none_tuple(Py_ssize_t size)
{
    Ref tuple = Ref::steal(PyTuple_New(size));
    for (Py_ssize_t i = 0; tuple && i < size; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(Py_None));
    }
    return tuple;
}

// Stores a new function for `spec` under its name in the class namespace.
int add_function(PyObject* ns, const FunctionSpec& spec, PyObject* module, PyObject* globals,
                 PyObject* defaults, PyObject* annotations, PyObject* doc)
{
    Ref function = Ref::steal(function_new(spec, module, globals, defaults, annotations, doc));
    return function ? PyDict_SetItemString(ns, spec.name, function.get()) : -1;
}

int add_init(PyObject* ns, PyObject* module, PyObject* globals)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return -1;
    }
    for (std::size_t i = 0; i < std::size(init_annotations); ++i) {
        if (dict_set_str(annotations.get(), init_varnames[i + 1], init_annotations[i]) < 0) {
            return -1;
        }
    }
    Ref defaults = none_tuple(init_argcount - 1);
    return defaults ? add_function(ns, init_spec, module, globals, defaults.get(), annotations.get(), nullptr)
                    : -1;
}

int add_property(PyObject* ns, PyObject* property, const FunctionSpec& spec, PyObject* module,
                 PyObject* globals)
{
    Ref getter = Ref::steal(function_new(spec, module, globals, nullptr, nullptr, nullptr));
    Ref prop = getter ? Ref::steal(PyObject_CallOneArg(property, getter.get())) : Ref();
    return prop ? PyDict_SetItemString(ns, spec.name, prop.get()) : -1;
}

int add_is_ignored(PyObject* ns, PyObject* module, PyObject* globals)
{
    Ref annotations = Ref::steal(PyDict_New());
    Ref defaults = annotations ? none_tuple(is_ignored_argcount - 1) : Ref();
    Ref doc = defaults ? Ref::steal(PyUnicode_FromString(is_ignored_doc)) : Ref();
    if (!doc || dict_set_str(annotations.get(), "path", "Path") < 0 ||
        dict_set_str(annotations.get(), "name", "str") < 0 ||
        dict_set_str(annotations.get(), "return", "bool") < 0) {
        return -1;
    }
    return add_function(ns, is_ignored_spec, module, globals, defaults.get(), annotations.get(), doc.get());
}

// The `property` of the builtins, read once: it makes all six properties.
Ref builtin_property()
{
    Ref name = interned("property");
    return name ? builtin_attribute(guard.builtins, name.get()) : Ref();
}

int module_exec(PyObject* module) noexcept
{
    int begun = guard_exec_begin(guard, module);
    if (begun != 0) {
        return begun > 0 ? 0 : -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    auto fail = [&](int line) { return guard_exec_fail(guard, module, line); };

    Ref module_str = interned(module_name);
    if (!module_str || constants_init() < 0) {
        return fail(line_module);
    }
    Ref property = builtin_property();
    if (!property) {
        return fail(line_module);
    }
    Ref path_type = import_from("pathlib", names.Path, globals);
    if (!path_type || PyDict_SetItem(globals, names.Path, path_type.get()) < 0) {
        return fail(line_pathlib);
    }
    Ref fnmatch = import_module("fnmatch", globals);
    if (!fnmatch || PyDict_SetItem(globals, names.fnmatch, fnmatch.get()) < 0) {
        return fail(line_fnmatch);
    }

    // A plain dict: no metaclass is consulted, and `type` sees the namespace
    // once it is complete.
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__module__", module_str.get()) < 0 ||
        dict_set_str(ns.get(), "__qualname__", "LoaderIgnore") < 0) {
        return fail(line_class);
    }
    Ref slots = Ref::steal(Py_BuildValue("(ssssss)", slot_declared[0], slot_declared[1], slot_declared[2],
                                         slot_declared[3], slot_declared[4], slot_declared[5]));
    if (!slots || PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0) {
        return fail(line_slots);
    }
    if (add_init(ns.get(), module_str.get(), globals) < 0) {
        return fail(init_spec.first_line);
    }
    for (const FunctionSpec& spec : getter_specs) {
        if (add_property(ns.get(), property.get(), spec, module_str.get(), globals) < 0) {
            return fail(spec.first_line);
        }
    }
    if (add_is_ignored(ns.get(), module_str.get(), globals) < 0) {
        return fail(is_ignored_spec.first_line);
    }

    Ref class_name = interned("LoaderIgnore");
    Ref cls = class_name ? new_class(class_name.get(), ns.get()) : Ref();
    if (!cls || PyDict_SetItem(globals, class_name.get(), cls.get()) < 0) {
        return fail(line_class);
    }
    if (guard_exec_finish(guard, module) < 0) {
        return -1;
    }
    // Only now: a class kept from a failed exec would keep its module's
    // namespace alive, and everything in it.
    slots_set_class(cls.get());
    return 0;
}

}  // namespace
}  // namespace brindova::talvesh

PyMODINIT_FUNC PyInit_talvesh()
{
    using namespace brindova::talvesh;
    return brindova::guarded_module_init<guard, module_exec>("talvesh");
}
