#include "talvesh/verdict.hpp"

#include "common/intern.hpp"
#include "common/namespace.hpp"
#include "talvesh/fingerprint.hpp"
#include "talvesh/interp.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

namespace brindova::talvesh::verdict {
namespace {

// The shortcuts answer `abs_path == entry`, `entry in abs_path.parents` and
// `path.resolve()` for paths of one class T only while a verdict holds that
// T, its parents sequence and everything their code reaches (pathlib's,
// posixpath's, and the os, stat and sys functions they call) are the
// standard library's own.
//
// Invariant (i): checking runs no Python code and releases nothing. It
// compares pointers, reads structures (interp.hpp), looks names up only in
// dicts whose keys are all exact `str` (so no key's `__eq__` runs), with
// interned keys, and reads code objects through accessors whose results the
// code caches. So it cannot be re-entered, cannot run a finaliser, and
// cannot see or clear an exception it did not cause.
// Invariant (ii): it holds no strong reference. Every pointer it keeps is
// borrowed and read only after a per-use test shows that its holder still
// holds it: the watched namespaces and class dicts have had no event (a
// dict watcher counts each one, deallocation included), the class version
// tags are unchanged (tags are never reused), each function still holds
// the code seen (its pointer, and the code's version, which no other code
// object ever has) with the globals and builtins seen, and the descriptor
// that holds a function still holds it. Nothing outlives Python's own
// lifetime for it, and the answer is computed only from state read after
// that test (the stat_result type among them, which posix's module state
// holds: its dict is watched and its tag compared).
//
// Where each attribute the ordinary route reads must be found: the class
// order searched (the path class T, or the parents sequence P), from which
// index (`super()` starts past the class that holds its cell), the index of
// the class that must define it, and what it must be. A function runs with
// the globals of the namespace named, and its code must have one of the
// fingerprints listed, one per verified release: 3.13.0, then 3.13.5
// (tools/fingerprints.py prints them for the running interpreter).
// clang-format off: tables and enums laid out by hand, a row a line
enum class Kind : unsigned char { function, property, classmethod, staticmethod, member, parser };
enum Ns : int { local_ns, abc_ns, cabc_ns, builtins_ns, parser_ns, os_ns, sys_ns, stat_ns, ns_count };
struct Row {
    bool on_parents;
    int from, owner;
    const char* name;
    Kind kind;
    Ns ns;
    std::uint64_t prints[2];
};
using K = Kind;
constexpr Row rows[] = {
    {false, 0, 4, "__eq__", K::function, local_ns, {0x508b8e7b80173613, 0x508b8e7b80173613}},
    {false, 0, 4, "_str_normcase", K::property, local_ns, {0x4c6e40c2b7874ccf, 0x4c6e40c2b7874ccf}},
    {false, 0, 4, "__str__", K::function, local_ns, {0x68e775a05c745b0c, 0x68e775a05c745b0c}},
    {false, 0, 4, "parents", K::property, local_ns, {0x3cdb8972e30445b5, 0x3cdb8972e30445b5}},
    {false, 0, 4, "drive", K::property, local_ns, {0x72e5996764e593ac, 0x72e5996764e593ac}},
    {false, 0, 4, "root", K::property, local_ns, {0x9791ec5c9d365b10, 0x9791ec5c9d365b10}},
    {false, 0, 4, "_tail", K::property, local_ns, {0x9aa0cfe243934fc9, 0x9aa0cfe243934fc9}},
    {false, 0, 4, "_from_parsed_parts", K::function, local_ns, {0x3142e0dee31370a9, 0x3142e0dee31370a9}},
    {false, 0, 4, "_from_parsed_string", K::function, local_ns, {0xa76c2cc329df3128, 0xa76c2cc329df3128}},
    {false, 0, 4, "_format_parsed_parts", K::classmethod, local_ns, {0x29b813105ebf0d92, 0x29b813105ebf0d92}},
    {false, 0, 5, "with_segments", K::function, abc_ns, {0xf6929459e109f01f, 0xf6929459e109f01f}},
    {false, 0, 1, "__new__", K::staticmethod, local_ns, {0xbed8a8377ec2c072, 0xbed8a8377ec2c072}},
    {false, 0, 1, "__init__", K::function, local_ns, {0xdd819e7cd2b66750, 0xdd819e7cd2b66750}},
    // 3.13.5's begins with `import ntpath` (check_import)
    {false, 2, 4, "__init__", K::function, local_ns, {0xd54da5b112d726cc, 0xa4ba32f0274c4764}},
    {false, 0, 4, "_raw_path", K::property, local_ns, {0x82463350eeb76c7c, 0x82463350eeb76c7c}},
    {false, 0, 4, "_parse_path", K::classmethod, local_ns, {0x0620ff42686ea3d9, 0x99b34cef0b4c31f5}},
    {true, 0, 0, "__init__", K::function, local_ns, {0xf470eed0312eb9ea, 0xf470eed0312eb9ea}},
    {true, 0, 0, "__len__", K::function, local_ns, {0x6cf800ab5f8e28e8, 0x6cf800ab5f8e28e8}},
    {true, 0, 0, "__getitem__", K::function, local_ns, {0x6e65608aa18ece5d, 0x47b4472d22377b46}},
    {true, 0, 1, "__contains__", K::function, cabc_ns, {0x9ccf075879f99720, 0x9ccf075879f99720}},
    {true, 0, 1, "__iter__", K::function, cabc_ns, {0xf758cfd0079d1884, 0xf758cfd0079d1884}},
    // what `resolve` runs besides (its one default, `strict=False`, is checked at each use)
    {false, 0, 1, "resolve", K::function, local_ns, {0xf3f3c7b82e7d7ece, 0xf3f3c7b82e7d7ece}},
    {false, 0, 4, "__fspath__", K::function, local_ns, {0xc5e535bcd5c6467b, 0xc5e535bcd5c6467b}},
    // the slots: the shortcut reads and fills the first five of T's; each
    // name must be that of its own descriptor, so no two share a slot
    {false, 0, 4, "_str", K::member, local_ns, {}},
    {false, 0, 4, "_str_normcase_cached", K::member, local_ns, {}},
    {false, 0, 4, "_drv", K::member, local_ns, {}},
    {false, 0, 4, "_root", K::member, local_ns, {}},
    {false, 0, 4, "_tail_cached", K::member, local_ns, {}},
    {false, 0, 4, "_raw_paths", K::member, local_ns, {}},
    {true, 0, 0, "_path", K::member, local_ns, {}},
    {true, 0, 0, "_drv", K::member, local_ns, {}},
    {true, 0, 0, "_root", K::member, local_ns, {}},
    {true, 0, 0, "_tail", K::member, local_ns, {}},
    {false, 0, 3, "parser", K::parser, local_ns, {}},
};
constexpr int class_functions = 23, path_init = 12, resolve_row = 21, first_member = 23;
static_assert(rows[class_functions - 1].kind == K::function && rows[first_member].kind == K::member);
static_assert(rows[path_init + 1].from == rows[path_init].owner + 1, "super() starts past Path");
constexpr Py_ssize_t path_mro = 7, parents_mro = 8;  // object last

// The functions of posixpath that `resolve` and the first `str()` of a path
// reach (`os.path.realpath`, and `_raw_path`'s join, `_format_parsed_parts`'s
// splitdrive), with the fingerprints of 3.13.0 and 3.13.5. Both `realpath`s
// make the same system calls and give the same answer when not strict: the
// later one only counts the parts left and gained an `ALLOW_MISSING` mode.
struct ModuleFunction {
    const char* name;
    std::uint64_t prints[2];
};
constexpr ModuleFunction module_functions[] = {
    {"realpath", {0x04ce7f8908c4c9a0, 0x78edcfaec90de1a0}},
    {"join", {0x0f77f2d86a0a1639, 0x0f77f2d86a0a1639}},
    {"_get_sep", {0x158f61b6e7f6b6e8, 0x158f61b6e7f6b6e8}},
    {"splitdrive", {0x17d3f3a30b8ace18, 0x17d3f3a30b8ace18}},
};
constexpr int function_count = class_functions + static_cast<int>(std::size(module_functions));

// What the globals of those functions, and the attributes of the modules
// they read, must be. The functions' own modules must not shadow a builtin.
enum class Want : unsigned char {
    absent, pure, path, parents, parser, module, type, error, builtin, none, sep, stat_result
};
struct Global {
    Ns ns;
    const char* name;
    Want want = Want::absent;
    Ns opens = ns_count;                  // a module: the namespace it is
    const PyTypeObject* type = nullptr;   // a builtin type
    PyObject* const* error = nullptr;     // a builtin exception
    const char* module = nullptr;         // a built-in function: its module
    const char* function = nullptr;       // and its name, when not `name`
};
constexpr Global globals[] = {
    {local_ns, "PurePath", Want::pure}, {local_ns, "Path", Want::path}, {local_ns, "_PathParents", Want::parents},
    {local_ns, "posixpath", Want::parser, parser_ns}, {local_ns, "os", Want::module, os_ns},
    {local_ns, "sys", Want::module, sys_ns},
    {local_ns, "isinstance"}, {local_ns, "slice"}, {local_ns, "len"}, {local_ns, "IndexError"}, {local_ns, "str"},
    {local_ns, "AttributeError"},
    {local_ns, "super"}, {local_ns, "object"}, {abc_ns, "type"}, {cabc_ns, "IndexError"},
    {builtins_ns, "isinstance", Want::builtin, ns_count, nullptr, nullptr, "builtins"},
    {builtins_ns, "len", Want::builtin, ns_count, nullptr, nullptr, "builtins"},
    {builtins_ns, "slice", Want::type, ns_count, &PySlice_Type}, {builtins_ns, "str", Want::type, ns_count, &PyUnicode_Type},
    {builtins_ns, "super", Want::type, ns_count, &PySuper_Type}, {builtins_ns, "type", Want::type, ns_count, &PyType_Type},
    {builtins_ns, "object", Want::type, ns_count, &PyBaseObject_Type},
    {builtins_ns, "IndexError", Want::error, ns_count, nullptr, &PyExc_IndexError},
    {builtins_ns, "AttributeError", Want::error, ns_count, nullptr, &PyExc_AttributeError},
    {builtins_ns, "bytes", Want::type, ns_count, &PyBytes_Type},
    {builtins_ns, "OSError", Want::error, ns_count, nullptr, &PyExc_OSError},
    {parser_ns, "sep", Want::sep}, {parser_ns, "altsep", Want::none},
    {parser_ns, "splitroot", Want::builtin, ns_count, nullptr, nullptr, "posix", "_path_splitroot_ex"},
    {os_ns, "fspath", Want::builtin, ns_count, nullptr, nullptr, "posix"},
    // what `resolve` reads: `os.path.realpath`, the posixpath globals of the
    // functions above, and the system calls, whose `lstat` results must be
    // the stat_result type that posix's own state holds, unaltered
    {os_ns, "path", Want::parser, parser_ns},
    {parser_ns, "os", Want::module, os_ns}, {parser_ns, "stat", Want::module, stat_ns},
    {parser_ns, "isinstance"}, {parser_ns, "bytes"}, {parser_ns, "OSError"}, {parser_ns, "len"},
    {os_ns, "getcwd", Want::builtin, ns_count, nullptr, nullptr, "posix"},
    {os_ns, "lstat", Want::builtin, ns_count, nullptr, nullptr, "posix"},
    {os_ns, "readlink", Want::builtin, ns_count, nullptr, nullptr, "posix"},
    {os_ns, "stat_result", Want::stat_result},
    {stat_ns, "S_ISLNK", Want::builtin, ns_count, nullptr, nullptr, "_stat"},
    {sys_ns, "intern", Want::builtin, ns_count, nullptr, nullptr, "sys"},
};
// clang-format on
constexpr int global_index(Want want, const char* name = nullptr)
{
    for (int i = 0; i < static_cast<int>(std::size(globals)); ++i) {
        if (globals[i].want == want && (!name || std::string_view(globals[i].name) == name)) return i;
    }
    return -1;
}
constexpr int parents_global = global_index(Want::parents), sep_global = global_index(Want::sep),
              intern_global = global_index(Want::builtin, "intern"), lstat_global = global_index(Want::builtin, "lstat");

struct Function {
    PyObject* fn;
    PyObject** holder_slot;  // in the property or classmethod that holds it; null: in a class dict
    std::uint32_t version;   // of its code
    PyObject* code;
    PyObject* globals;
};

class Verdict {
public:
    // `type` is alive (a path has it), so its verdict's pointers may be tested.
    bool holding(PyTypeObject* type) const { return positive_ && type == type_ && holds(); }

    // Checks `type` anew, unless it was found wanting and nothing changed since.
    bool arm(PyTypeObject* type)
    {
        const bool known_bad = type == rejected_ && type->tp_version_tag == rejected_tag_ && generation_ == rejected_at_;
        if (never_ || known_bad) return false;
        if (check(type) && holds()) return true;
        positive_ = false;
        rejected_ = type;
        rejected_tag_ = type->tp_version_tag;
        rejected_at_ = generation_;
        return false;
    }

    // Per call: who watches, and how the modules read from answer.
    bool unobserved() const
    {
        for (const Function& f : functions_) {
            if (interp::code_monitored(f.code)) return false;
        }
        for (PyObject* m : modules_) {
            if (!PyModule_CheckExact(m)) return false;
        }
        if (!PyModule_CheckExact(ntpath_)) return false;
        return interp::unobserved(PyThreadState_Get());
    }

    // At module exec: the watcher, and the names interned once. -1 with an
    // exception set on failure; a watcher that cannot be had only keeps
    // the shortcut off.
    static int init()
    {
        if (watcher_ < 0 && (watcher_ = PyDict_AddWatcher(on_change)) < 0) {
            PyErr_Clear();  // uncovered: PyDict_AddWatcher fails only when C code holds all eight watcher slots; Python cannot add a watcher
        }
        for (size_t i = 0; i < std::size(rows); ++i) {
            if (intern_once(row_keys_[i], rows[i].name) < 0) return -1;
        }
        for (size_t i = 0; i < std::size(globals); ++i) {
            if (intern_once(global_keys_[i], globals[i].name) < 0) return -1;
        }
        for (size_t i = 0; i < std::size(module_functions); ++i) {
            if (intern_once(function_keys_[i], module_functions[i].name) < 0) return -1;
        }
        if (intern_once(allow_missing_key_, "ALLOW_MISSING") < 0 || intern_once(st_mode_key_, "st_mode") < 0 ||
            intern_once(import_key_, "__import__") < 0 || intern_once(ntpath_key_, "ntpath") < 0 ||
            intern_once(spec_key_, "__spec__") < 0 || intern_once(initializing_key_, "_initializing") < 0) {
            return -1;
        }
        return generic_slots_.str ? 0 : probe_generic_slots();
    }
    Py_ssize_t offset(Member m) const { return offsets_[m]; }
    PyObject* intern() const { return intern_; }
    PyObject* sep() const { return sep_; }

private:
    static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept;

    // The C slots that the ordinary route enters a class by. A dunder that
    // Python code defines gives its class the interpreter's generic slot
    // function, which looks the name up: then the lookups checked are what
    // runs. A class dict written behind the type's back can leave another
    // function in a slot, whatever the dict now holds.
    struct Slots {
        reprfunc str;
        richcmpfunc richcompare;
        newfunc new_;
        initproc init;
        objobjproc contains;
        getiterfunc iter;
        binaryfunc subscript;
        lenfunc length;
    };
    // Of a class made by `type`, which has every table of slots.
    static Slots slots_of(const PyTypeObject* t)
    {
        return {t->tp_str, t->tp_richcompare,
                t->tp_new, t->tp_init,
                t->tp_as_sequence->sq_contains, t->tp_iter,
                t->tp_as_mapping->mp_subscript, t->tp_as_sequence->sq_length};
    }

    // Read off a class made here whose dunders are all one Python function
    // (of empty code: nothing is compiled, and it never runs).
    static int probe_generic_slots()
    {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<brindova.talvesh>", "probe", 0)));
        Ref ns = code ? Ref::steal(PyDict_New()) : Ref();
        Ref function = ns ? Ref::steal(PyFunction_New(code.get(), ns.get())) : Ref();
        Ref name = function ? Ref::steal(PyUnicode_FromString("probe")) : Ref();
        if (!name) return -1;
        for (const char* dunder : {"__str__", "__eq__", "__new__", "__init__", "__contains__", "__iter__", "__getitem__",
                                   "__len__"}) {
            if (PyDict_SetItemString(ns.get(), dunder, function.get()) < 0) return -1;
        }
        Ref probe = new_class(name.get(), ns.get());
        if (!probe) return -1;
        generic_slots_ = slots_of(reinterpret_cast<PyTypeObject*>(probe.get()));
        return 0;
    }

    static bool generic(const PyTypeObject* type, bool parents)
    {
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
        const Slots s = slots_of(type), g = generic_slots_;
        return parents ? s.init == g.init && s.contains == g.contains && s.iter == g.iter && s.subscript == g.subscript &&
                             s.length == g.length
                       : s.str == g.str && s.richcompare == g.richcompare && s.new_ == g.new_ && s.init == g.init;
    }

    // Per use: what can change with no tag or watched event. Each pointer is
    // read only once what holds it is known to still hold it.
    bool holds() const
    {
        // The metaclass of T and of PurePath is `type`, which refuses `__class__`
        // assignment; that of the parents sequence can be swapped.
        if (generation_ != armed_at_ || type_->tp_version_tag != tag_ || parents_->tp_version_tag != parents_tag_ ||
            stat_type_->tp_version_tag != stat_tag_ ||
            Py_TYPE(spec_) != spec_type_ || spec_type_->tp_version_tag != spec_tag_ ||
            *_PyObject_GetDictPtr(spec_) != spec_dict_ ||
            Py_TYPE(parents_)->tp_call != PyType_Type.tp_call ||
            interp::parts(functions_[path_init].fn).first_cell != reinterpret_cast<PyObject*>(path_class_)) {
            return false;
        }
        for (const Function& f : functions_) {
            if ((f.holder_slot != nullptr && *f.holder_slot != f.fn) || !PyFunction_Check(f.fn)) return false;
            const interp::Function now = interp::parts(f.fn);
            if (now.code != f.code || interp::version(f.code) != f.version || now.globals != f.globals ||
                now.builtins != ns_[builtins_ns]) {
                return false;
            }
        }
        // Defaults are not part of the code: `resolve()` takes its `strict`.
        PyObject* defaults = interp::defaults(functions_[resolve_row].fn);
        return defaults && PyTuple_CheckExact(defaults) && PyTuple_GET_SIZE(defaults) == 1 &&
               PyTuple_GET_ITEM(defaults, 0) == Py_False;
    }

    // Watched before it is read, and its keys all exact `str`.
    bool watch(PyObject* dict) const { return PyDict_CheckExact(dict) && watch_namespace(watcher_, dict); }

    bool set_ns(Ns n, PyObject* dict)
    {
        if (ns_[n] == nullptr && watch(dict)) ns_[n] = dict;
        return ns_[n] == dict;
    }

    // A class whose instances the route makes or reads through the generic
    // protocol, with the whole order searched watched and free of finalisers.
    bool plain_class(PyTypeObject* type, Py_ssize_t size, unsigned int& tag) const
    {
        PyObject* mro = type->tp_mro;
        if (type->tp_dictoffset != 0 ||
            PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) || type->tp_getattro != PyObject_GenericGetAttr ||
            type->tp_setattro != PyObject_GenericSetAttr || PyTuple_GET_SIZE(mro) != size ||
            !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < size - 1; ++i) {
            auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (cls->tp_finalize || cls->tp_del || !watch(cls->tp_dict)) {
                return false;
            }
        }
        tag = type->tp_version_tag;
        return true;
    }

    // The first definition of the row's name in its order, if in its class.
    // A lookup from the start must also be what the interpreter's type cache
    // holds, which a class dict written behind the type's back leaves stale
    // (`super()` reads the dicts themselves).
    static PyObject* find(const Row& row, PyObject* key, PyTypeObject* type)
    {
        for (Py_ssize_t i = row.from; i < PyTuple_GET_SIZE(type->tp_mro) - 1; ++i) {
            PyObject* value = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, i))->tp_dict, key);
            if (value) return i == row.owner && (row.from > 0 || interp::type_cache_lookup(type, key) == value) ? value : nullptr;
        }
        return nullptr;
    }

    // 0 or 1: the release whose fingerprint the code has; -1: neither.
    int known_code(const std::uint64_t (&prints)[2], Ns ns, PyObject* fn, PyObject** holder_slot, Function& out)
    {
        std::uint64_t print = 0;
        if (!PyFunction_Check(fn)) return -1;
        const interp::Function f = interp::parts(fn);
        if (interp::version(f.code) == 0 || !fingerprint(f.code, print) || (print != prints[0] && print != prints[1]) ||
            !set_ns(ns, f.globals) || !set_ns(builtins_ns, f.builtins)) {
            return -1;
        }
        out = {fn, holder_slot, interp::version(f.code), f.code, f.globals};
        return print == prints[0] ? 0 : 1;
    }

    bool check_module_functions()
    {
        for (size_t i = 0; i < std::size(module_functions); ++i) {
            PyObject* fn = PyDict_GetItemWithError(ns_[parser_ns], function_keys_[i]);
            const int release = fn ? known_code(module_functions[i].prints, parser_ns, fn, nullptr, functions_[class_functions + i]) : -1;
            if (release < 0) return false;
            if (i == 0) realpath_release_ = release;
        }
        // 3.13.5's `realpath` alone reads it, and would take `strict=False`
        // for that mode were it `False`.
        PyObject* allow_missing = PyDict_GetItemWithError(ns_[parser_ns], allow_missing_key_);
        return allow_missing ? allow_missing != Py_False : realpath_release_ == 0;
    }

    // `import ntpath`, as 3.13.5's PurePath.__init__ runs it (required of
    // 3.13.0 too, which keeps one check for both): with the default
    // `__import__`, and the module already in the interpreter's table and
    // initialised, the statement only reads: the table (watched), the
    // module's `__spec__` (its namespace watched), and that spec's
    // `_initializing` (found in no class of its order, each watched and its
    // tag kept, and False or absent in the spec's own dict, watched).
    bool check_import()
    {
        PyObject* import = PyDict_GetItemWithError(ns_[builtins_ns], import_key_);
        PyObject* modules = PyImport_GetModuleDict();
        if (!interp::builtin_function(import, "__import__", "builtins") || !watch(modules)) return false;
        PyObject* module = PyDict_GetItemWithError(modules, ntpath_key_);
        if (!module || !PyModule_CheckExact(module) || !watch(PyModule_GetDict(module))) return false;
        PyObject* spec = PyDict_GetItemWithError(PyModule_GetDict(module), spec_key_);
        PyTypeObject* type = spec ? Py_TYPE(spec) : nullptr;
        if (!type || type->tp_getattro != PyObject_GenericGetAttr || !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) ||
            !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        // Object last, whose dict the interpreter keeps (it cannot change).
        const Py_ssize_t size = PyTuple_GET_SIZE(type->tp_mro);
        if (PyTuple_GET_ITEM(type->tp_mro, size - 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return false;
        for (Py_ssize_t i = 0; i < size - 1; ++i) {
            if (!watch(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, i))->tp_dict)) return false;
        }
        if (interp::type_cache_lookup(type, initializing_key_)) return false;
        // The spec's own dict, made if its values are still kept inline; held by the spec.
        Ref own = Ref::steal(PyObject_GenericGetDict(spec, nullptr));
        if (!own) {
            PyErr_Clear();  // uncovered: the spec's dict is made at the first check, in the sweep's uninjected first run; later checks find it
            return false;   // uncovered: as above
        }
        PyObject* initializing = PyDict_CheckExact(own.get()) && watch(own.get())
                                     ? PyDict_GetItemWithError(own.get(), initializing_key_)
                                     : Py_True;
        ntpath_ = module;
        spec_ = spec;
        spec_dict_ = own.get();
        spec_type_ = type;
        spec_tag_ = type->tp_version_tag;
        return !initializing || initializing == Py_False;
    }

    // The class of what `os.lstat` returns, which `realpath` reads `st_mode`
    // of and drops: the one that posix's module state holds (its pointer is
    // found among the state's words, which are compared, never followed),
    // with that attribute its own member and no finaliser.
    bool stat_result(PyObject* candidate)
    {
        PyObject* lstat = PyDict_GetItemWithError(ns_[os_ns], global_keys_[lstat_global]);
        PyObject* posix = reinterpret_cast<PyCFunctionObject*>(lstat)->m_self;  // a posix builtin: checked above
        auto* state = static_cast<PyObject* const*>(PyModule_GetState(posix));
        const PyModuleDef* def = PyModule_GetDef(posix);
        bool held = false;
        for (Py_ssize_t i = 0; i < def->m_size / Py_ssize_t(sizeof(PyObject*)); ++i) {
            held = held || state[i] == candidate;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(candidate);
        if (!held || !Py_IS_TYPE(candidate, &PyType_Type) || std::strcmp(type->tp_name, "os.stat_result") != 0 ||
            type->tp_base != &PyTuple_Type || type->tp_getattro != PyObject_GenericGetAttr || type->tp_finalize ||
            type->tp_del || !watch(type->tp_dict) || !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        PyObject* mode = interp::type_cache_lookup(type, st_mode_key_);
        auto* member = mode && Py_IS_TYPE(mode, &PyMemberDescr_Type) ? reinterpret_cast<PyMemberDescrObject*>(mode) : nullptr;
        if (!member || member->d_common.d_type != type || std::strcmp(member->d_member->name, "st_mode") != 0) {
            return false;
        }
        stat_type_ = type;
        stat_tag_ = type->tp_version_tag;
        return true;
    }

    bool check_rows(bool on_parents)
    {
        PyTypeObject* type = on_parents ? parents_ : type_;
        for (size_t i = 0; i < std::size(rows); ++i) {
            const Row& row = rows[i];
            if (row.on_parents != on_parents) continue;
            PyObject* found = find(row, row_keys_[i], type);
            auto* owner = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, row.owner));
            if (!found) return false;
            if (row.kind == K::member) {
                const Py_ssize_t at = interp::slot_offset(found, owner, row.name);
                if (at < 0) return false;
                if (!on_parents) offsets_[i - first_member] = at;
                continue;
            }
            if (row.kind == K::parser) {
                parser_ = found;
                continue;
            }
            PyObject** holder = nullptr;
            if (row.kind != K::function) {
                const int k = static_cast<int>(row.kind);
                if (!Py_IS_TYPE(found, holder_types[k])) return false;
                holder = interp::at(found, holder_offsets_[k]);
            }
            if (known_code(row.prints, row.ns, holder ? *holder : found, holder, functions_[i]) < 0) return false;
            if (static_cast<int>(i) == path_init) path_class_ = owner;
        }
        return true;
    }

    bool check_globals()
    {
        PyObject* mro = type_->tp_mro;
        for (size_t i = 0; i < std::size(globals); ++i) {
            const Global& g = globals[i];
            // Each namespace is known by now: the functions' own, or a module's
            // opened by an earlier row.
            PyObject* v = PyDict_GetItemWithError(ns_[g.ns], global_keys_[i]);
            bool ok = false;
            switch (g.want) {
            case Want::absent: ok = !v; break;
            case Want::pure: ok = v == PyTuple_GET_ITEM(mro, 4) && Py_IS_TYPE(v, &PyType_Type); break;
            case Want::path: ok = v == PyTuple_GET_ITEM(mro, 1); break;
            case Want::parents: ok = v == reinterpret_cast<PyObject*>(parents_); break;
            case Want::parser:
            case Want::module:
                ok = v && PyModule_CheckExact(v) && (g.want == Want::module || v == parser_) &&
                     set_ns(g.opens, PyModule_GetDict(v));
                modules_[g.opens - parser_ns] = v;
                break;
            case Want::type: ok = v == reinterpret_cast<const PyObject*>(g.type); break;
            case Want::error: ok = v == *g.error; break;
            case Want::stat_result: ok = v && stat_result(v); break;
            case Want::none: ok = v == Py_None; break;
            case Want::sep: ok = v && PyUnicode_CheckExact(v) && PyUnicode_CompareWithASCIIString(v, "/") == 0; break;
            case Want::builtin:
                ok = interp::builtin_function(v, g.function ? g.function : g.name, g.module,
                                              static_cast<int>(i) == intern_global ? METH_O : -1);
                break;
            }
            if (!ok) return false;
        }
        sep_ = PyDict_GetItemWithError(ns_[parser_ns], global_keys_[sep_global]);
        intern_ = PyDict_GetItemWithError(ns_[sys_ns], global_keys_[intern_global]);
        return true;
    }

    bool check(PyTypeObject* type)
    {
        positive_ = false;
        for (int k = 1; k < 4; ++k) {
            holder_offsets_[k] = interp::member_offset(holder_types[k], k == 1 ? "fget" : "__func__");
        }
        if (!interp::layout_known() || watcher_ < 0 || holder_offsets_[1] < 0 || holder_offsets_[2] < 0 ||
            holder_offsets_[3] < 0) {
            never_ = true;  // uncovered: the running interpreter is the 3.13 the layouts were built for (its ABI tag lets no other load the module), the dict watcher was had at exec unless C code holds all eight slots, and property, classmethod and staticmethod have the members fget and __func__
            return false;  // uncovered: as above
        }
        // Watches start during the check, and the count it compares with
        // later is the one from before the first.
        const std::uint64_t armed = generation_;
        type_ = type;
        parents_ = nullptr;
        for (PyObject*& n : ns_) n = nullptr;
        bool ok = Py_IS_TYPE(type, &PyType_Type) && plain_class(type, path_mro, tag_) && generic(type, false) &&
                  check_rows(false);
        PyObject* parents = ok ? PyDict_GetItemWithError(ns_[local_ns], global_keys_[parents_global]) : nullptr;
        parents_ = parents && PyType_Check(parents) ? reinterpret_cast<PyTypeObject*>(parents) : nullptr;
        ok = parents_ && plain_class(parents_, parents_mro, parents_tag_) && parents_->tp_new == PyBaseObject_Type.tp_new &&
             generic(parents_, true) && check_rows(true) && check_globals() && check_module_functions() && check_import();
        // No code ran, so nothing it checked has changed meanwhile.
        armed_at_ = armed;
        return positive_ = ok;
    }

    static constexpr PyTypeObject* holder_types[] = {nullptr, &PyProperty_Type, &PyClassMethod_Type, &PyStaticMethod_Type};

    bool positive_ = false, never_ = false;
    static inline int watcher_ = -1;
    static inline std::uint64_t generation_ = 0;  // events seen in all watched dicts
    std::uint64_t armed_at_ = 0, rejected_at_ = 0;
    PyTypeObject* rejected_ = nullptr;  // compared, never read
    unsigned int rejected_tag_ = 0;
    static inline PyObject* row_keys_[std::size(rows)] = {};
    static inline PyObject* global_keys_[std::size(globals)] = {};
    static inline Slots generic_slots_ = {};
    static inline PyObject* function_keys_[std::size(module_functions)] = {};
    static inline PyObject *allow_missing_key_ = nullptr, *st_mode_key_ = nullptr, *import_key_ = nullptr,
                           *ntpath_key_ = nullptr, *spec_key_ = nullptr, *initializing_key_ = nullptr;
    // Borrowed: held by ntpath's namespace and the spec, both watched; what
    // can change with no event (the classes of both, the spec's dict) is
    // compared at each use.
    PyObject *ntpath_ = nullptr, *spec_ = nullptr, *spec_dict_ = nullptr;
    PyTypeObject* spec_type_ = nullptr;
    unsigned int spec_tag_ = 0;
    int realpath_release_ = -1;
    PyTypeObject* stat_type_ = nullptr;
    unsigned int stat_tag_ = 0;
    Py_ssize_t holder_offsets_[4] = {-1, -1, -1, -1};
    // All borrowed (invariant ii).
    PyTypeObject *type_ = nullptr, *parents_ = nullptr, *path_class_ = nullptr;
    unsigned int tag_ = 0, parents_tag_ = 0;
    PyObject* ns_[ns_count] = {};
    PyObject* modules_[ns_count - parser_ns] = {};
    PyObject *parser_ = nullptr, *intern_ = nullptr, *sep_ = nullptr;
    Function functions_[function_count] = {};
    Py_ssize_t offsets_[path_slots] = {};
};

int Verdict::on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    ++generation_;  // inside a dict operation: count, run nothing
    return 0;
}

// Two, so that paths of another class (a subclass, which is refused) are
// checked without dropping the verdict on PosixPath; `the_verdict` is the
// one that allowed the current test.
Verdict verdicts[2];
Verdict* the_verdict = &verdicts[0];

}  // namespace

int init() noexcept
{
    return Verdict::init();
}

bool usable(PyTypeObject* type) noexcept
{
    // A class that cannot be a path class is turned away before any verdict
    // is armed for it, so that it never takes the place of one that holds.
    if (!Py_IS_TYPE(type, &PyType_Type) || PyTuple_GET_SIZE(type->tp_mro) != path_mro) return false;
    Verdict* v = verdicts[0].holding(type) ? &verdicts[0] : (verdicts[1].holding(type) ? &verdicts[1] : nullptr);
    if (v == nullptr) {
        v = the_verdict == &verdicts[0] ? &verdicts[1] : &verdicts[0];  // the one not used last
        if (!v->arm(type)) return false;
    }
    the_verdict = v;
    return v->unobserved();
}

PyObject*& slot(PyObject* path, Member m) noexcept
{
    return *interp::at(path, the_verdict->offset(m));
}

PyObject* sep() noexcept
{
    return the_verdict->sep();
}

PyObject* intern() noexcept
{
    return the_verdict->intern();
}

}  // namespace brindova::talvesh::verdict
