#include "talvesh/ancestry.hpp"

#include "common/intern.hpp"
#include "common/namespace.hpp"
#include "talvesh/fingerprint.hpp"
#include "talvesh/interp.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace brindova::talvesh {
namespace {

// The shortcut answers `abs_path == entry` and `entry in abs_path.parents`
// for two paths of one class T only while a verdict holds that T, its
// parents sequence and everything their code reaches are pathlib's own.
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
// tags are unchanged (tags are never reused), each function's version
// (unique to its code, 0 once its code or defaults were replaced) and the
// descriptor that holds it are as checked. Nothing outlives Python's own
// lifetime for it, and the answer is computed only from state read after
// that test.
//
// Why the answer is the ordinary route's, while the verdict holds (each
// function runs code whose fingerprint is in the table below, with the
// globals and builtins checked, and no finaliser, tracer or monitor can see
// the objects or calls that route makes and drops):
// - `A == E` is `A._str_normcase == E._str_normcase`: the cached slot when
//   set, else the text of the parts, parsed from the raw text exactly as
//   parse_fresh does. With both texts exact `str`, their equality decides.
// - `E in A.parents` compares E, by the same `==`, with the ancestors made
//   from A's cached `_drv`, `_root` and `_tail`, nearest first; ancestor k
//   has the text `drv + root + "/".join(tail[:k])` (k from len(tail) - 1 to
//   0), so E's text is matched part by part against those texts. A root
//   entry is the text for k = 0; a `//` root is kept by both; relative and
//   `..` entries match no such text, as their comparisons fail.
// - Any slot missing or not of the exact type this needs (an empty root,
//   which would send the parts through the drive test, included) goes the
//   ordinary way.

// Where each attribute the ordinary route reads must be found: the class
// order searched (the path class T, or the parents sequence P), from which
// index (`super()` starts past the class that holds its cell), the index of
// the class that must define it, and what it must be. Functions list the
// fingerprints of their code in each verified release (tools/fingerprints.py
// prints these rows): 3.13.0, then 3.13.5.
enum class Kind : unsigned char { function, property, classmethod, staticmethod, member, parser };
enum Group : int { local_ns, abc_ns, cabc_ns, group_count };  // whose globals a function runs with
struct Row {
    bool on_parents;
    int from, owner;
    const char* name;
    Kind kind;
    Group group;
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
    {false, 2, 4, "__init__", K::function, local_ns, {0xd54da5b112d726cc, 0xa4ba32f0274c4764}},
    {false, 0, 4, "_raw_path", K::property, local_ns, {0x82463350eeb76c7c, 0x82463350eeb76c7c}},
    {false, 0, 4, "_parse_path", K::classmethod, local_ns, {0x0620ff42686ea3d9, 0x99b34cef0b4c31f5}},
    {true, 0, 0, "__init__", K::function, local_ns, {0xf470eed0312eb9ea, 0xf470eed0312eb9ea}},
    {true, 0, 0, "__len__", K::function, local_ns, {0x6cf800ab5f8e28e8, 0x6cf800ab5f8e28e8}},
    {true, 0, 0, "__getitem__", K::function, local_ns, {0x6e65608aa18ece5d, 0x47b4472d22377b46}},
    {true, 0, 1, "__contains__", K::function, cabc_ns, {0x9ccf075879f99720, 0x9ccf075879f99720}},
    {true, 0, 1, "__iter__", K::function, cabc_ns, {0xf758cfd0079d1884, 0xf758cfd0079d1884}},
    // the slots: the shortcut reads and fills the first five of T's
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
constexpr int function_count = 21, path_init = 12, first_member = 21, parents_members = 27;
enum Member : int { str_slot, normcase_slot, drv_slot, root_slot, tail_slot, raw_slot, path_slots };
static_assert(rows[function_count - 1].kind == K::function && rows[first_member].kind == K::member);
static_assert(rows[path_init].from == 0 && rows[path_init + 1].from == rows[path_init].owner + 1);
constexpr Py_ssize_t path_mro = 7, parents_mro = 8;  // with object last

// The globals of those functions: name, then what it must be. Builtins must
// not be shadowed by the module's own globals.
enum class Want : unsigned char { absent, pure, path, parents, parser, os, sys };
struct Global {
    Group group;
    const char* name;
    Want want;
};
constexpr Global globals[] = {
    {local_ns, "PurePath", Want::pure},   {local_ns, "Path", Want::path},       {local_ns, "_PathParents", Want::parents},
    {local_ns, "posixpath", Want::parser}, {local_ns, "os", Want::os},           {local_ns, "sys", Want::sys},
    {local_ns, "isinstance", Want::absent}, {local_ns, "slice", Want::absent},  {local_ns, "len", Want::absent},
    {local_ns, "IndexError", Want::absent}, {local_ns, "str", Want::absent},    {local_ns, "super", Want::absent},
    {local_ns, "object", Want::absent},   {abc_ns, "type", Want::absent},       {cabc_ns, "IndexError", Want::absent},
};
enum Module : int { parser_module, os_module, sys_module, module_count };
constexpr int parents_global = 2;
static_assert(globals[parents_global].want == Want::parents);

// Interned once, at the first check, and kept for the process.
constexpr const char* other_names[] = {"isinstance", "len", "slice", "str", "super", "object", "type", "IndexError",
                                       "sep", "altsep", "splitroot", "fspath", "intern"};
struct Keys {
    PyObject* row_keys[std::size(rows)] = {};
    PyObject* global_keys[std::size(globals)] = {};
    PyObject* other_keys[std::size(other_names)] = {};

    bool make()
    {
        bool ok = true;
        for (size_t i = 0; i < std::size(rows); ++i) ok = ok && intern_once(row_keys[i], rows[i].name) == 0;
        for (size_t i = 0; i < std::size(globals); ++i) ok = ok && intern_once(global_keys[i], globals[i].name) == 0;
        for (size_t i = 0; i < std::size(other_names); ++i) ok = ok && intern_once(other_keys[i], other_names[i]) == 0;
        return ok;
    }
    PyObject* other(const char* name) const
    {
        for (size_t i = 0; i < std::size(other_names); ++i) {
            if (std::strcmp(other_names[i], name) == 0) return other_keys[i];
        }
        return nullptr;
    }
};

struct Function {
    PyObject* fn;
    PyObject** holder_slot;  // where a property or classmethod keeps it; null for a class dict
    std::uint32_t version;
    PyObject* code;
    PyObject* globals;
};

class Verdict {
public:
    // Whether the paths of class `type` may be answered from their slots now.
    bool usable(PyTypeObject* type)
    {
        if (!(positive_ && type == type_ && holds())) {
            if (never_ || (type == rejected_ && type->tp_version_tag == rejected_tag_ &&
                           generation_ == rejected_at_) || PyErr_Occurred()) {
                return false;
            }
            if (!check(type) || !holds()) {
                positive_ = false;
                rejected_ = type;
                rejected_tag_ = type->tp_version_tag;
                rejected_at_ = generation_;
                return false;
            }
        }
        return unobserved();
    }

    Py_ssize_t offset(Member m) const { return offsets_[m]; }
    PyObject* intern() const { return intern_; }

private:
    static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
    {
        ++the().generation_;
        return 0;
    }
    static Verdict& the();

    // What a change to pathlib can alter without a tag or watched event.
    bool holds() const
    {
        if (generation_ != armed_at_ || type_->tp_version_tag != tag_ || parents_->tp_version_tag != parents_tag_ ||
            !Py_IS_TYPE(type_, &PyType_Type) || !Py_IS_TYPE(pure_, &PyType_Type) ||
            Py_TYPE(parents_)->tp_call != PyType_Type.tp_call ||
            interp::cell_contents(functions_[path_init].fn, 0) != reinterpret_cast<PyObject*>(path_class_)) {
            return false;
        }
        for (const Function& f : functions_) {
            const PyFunctionObject* fn = interp::function(f.fn);
            if ((f.holder_slot != nullptr && *f.holder_slot != f.fn) || !PyFunction_Check(f.fn) ||
                fn->func_code != f.code || interp::version(f.code) != f.version || fn->func_defaults ||
                fn->func_kwdefaults || fn->func_globals != f.globals || fn->func_builtins != builtins_) {
                return false;
            }
        }
        return true;
    }

    // What may change from call to call: who watches, and how the modules
    // that the code reads attributes of answer.
    bool unobserved() const
    {
        for (const Function& f : functions_) {
            if (interp::code_monitored(f.code)) return false;
        }
        for (PyObject* m : modules_) {
            if (!PyModule_CheckExact(m)) return false;
        }
        return interp::unobserved(PyThreadState_Get());
    }

    bool watch(PyObject* dict) const { return dict != nullptr && PyDict_CheckExact(dict) && watch_namespace(watcher_, dict); }

    // The value under `key` in a watched namespace, borrowed; null if absent.
    static PyObject* get(PyObject* dict, PyObject* key) { return PyDict_GetItemWithError(dict, key); }

    // A class the route makes instances of or reads through the generic
    // protocol, its whole order watched and free of finalisers.
    bool plain_class(PyTypeObject* type, Py_ssize_t mro_size, unsigned int& tag) const
    {
        PyObject* mro = type->tp_mro;
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_dictoffset != 0 ||
            (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) || type->tp_getattro != PyObject_GenericGetAttr ||
            type->tp_setattro != PyObject_GenericSetAttr || mro == nullptr || PyTuple_GET_SIZE(mro) != mro_size ||
            PyTuple_GET_ITEM(mro, mro_size - 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
            !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < mro_size - 1; ++i) {
            auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) || cls->tp_finalize || cls->tp_del || !watch(cls->tp_dict)) {
                return false;
            }
        }
        tag = type->tp_version_tag;
        return true;
    }

    // The first definition of a row's name in its order, which must be in
    // the row's class.
    PyObject* find(const Row& row, PyObject* key, PyTypeObject* type) const
    {
        PyObject* mro = type->tp_mro;
        for (Py_ssize_t i = row.from; i < PyTuple_GET_SIZE(mro) - 1; ++i) {
            PyObject* value = get(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict, key);
            if (value != nullptr) {
                return i == row.owner ? value : nullptr;
            }
        }
        return nullptr;
    }

    bool known_code(const Row& row, PyObject* fn, Function& out)
    {
        std::uint64_t print = 0;
        PyFunctionObject* f = interp::function(fn);
        if (!PyFunction_Check(fn) || f->func_defaults || f->func_kwdefaults || interp::version(f->func_code) == 0 ||
            interp::code_monitored(f->func_code) || !fingerprint(f->func_code, print) ||
            (print != row.prints[0] && print != row.prints[1])) {
            return false;
        }
        PyObject*& group = groups_[row.group];
        group = group ? group : f->func_globals;
        builtins_ = builtins_ ? builtins_ : f->func_builtins;
        out = {fn, out.holder_slot, interp::version(f->func_code), f->func_code, group};
        return f->func_globals == group && f->func_builtins == builtins_;
    }

    bool check_rows(bool on_parents)
    {
        for (size_t i = 0; i < std::size(rows); ++i) {
            const Row& row = rows[i];
            if (row.on_parents != on_parents) continue;
            PyTypeObject* type = on_parents ? parents_ : type_;
            PyObject* found = find(row, keys_.row_keys[i], type);
            if (found == nullptr) return false;
            auto* owner = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, row.owner));
            Py_ssize_t inner = -1;
            switch (row.kind) {
            case K::member: {
                const Py_ssize_t at = interp::slot_offset(found, owner, row.name);
                if (at < 0) return false;
                if (!on_parents) offsets_[i - first_member] = at;
                continue;
            }
            case K::parser:
                modules_[parser_module] = found;
                continue;
            case K::property:
                inner = Py_IS_TYPE(found, &PyProperty_Type) ? property_fget_ : -1;
                break;
            case K::classmethod:
                inner = Py_IS_TYPE(found, &PyClassMethod_Type) ? classmethod_func_ : -1;
                break;
            case K::staticmethod:
                inner = Py_IS_TYPE(found, &PyStaticMethod_Type) ? staticmethod_func_ : -1;
                break;
            case K::function:
                break;
            }
            if (row.kind != K::function && inner < 0) return false;
            Function& f = functions_[i];
            f.holder_slot = row.kind == K::function ? nullptr : interp::at(found, inner);
            if (!known_code(row, f.holder_slot ? *f.holder_slot : found, f)) return false;
            if (row.kind == K::function && static_cast<int>(i) == path_init) path_class_ = owner;
        }
        return true;
    }

    bool distinct_slots() const
    {
        for (int a = 0; a < path_slots; ++a) {
            for (int b = a + 1; b < path_slots; ++b) {
                if (offsets_[a] == offsets_[b]) return false;
            }
        }
        return true;
    }

    // The globals the functions read, and the attributes of modules they reach.
    bool check_globals()
    {
        PyObject* mro = type_->tp_mro;
        for (size_t i = 0; i < std::size(globals); ++i) {
            PyObject* v = get(groups_[globals[i].group], keys_.global_keys[i]);
            switch (globals[i].want) {
            case Want::absent:
                if (v != nullptr) return false;
                break;
            case Want::pure:
                pure_ = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, 4));
                if (v != PyTuple_GET_ITEM(mro, 4)) return false;
                break;
            case Want::path:
                if (v != PyTuple_GET_ITEM(mro, 1)) return false;
                break;
            case Want::parents:
                if (v != reinterpret_cast<PyObject*>(parents_)) return false;
                break;
            case Want::parser:
            case Want::os:
            case Want::sys: {
                const Module m = globals[i].want == Want::parser ? parser_module
                                 : globals[i].want == Want::os   ? os_module
                                                                 : sys_module;
                if (v == nullptr || !PyModule_CheckExact(v) || !watch(PyModule_GetDict(v)) ||
                    (m == parser_module && v != modules_[m])) {
                    return false;
                }
                modules_[m] = v;
                break;
            }
            }
        }
        const struct {
            const char* name;
            PyObject* is;
        } types[] = {
            {"slice", reinterpret_cast<PyObject*>(&PySlice_Type)},     {"str", reinterpret_cast<PyObject*>(&PyUnicode_Type)},
            {"super", reinterpret_cast<PyObject*>(&PySuper_Type)},     {"object", reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
            {"type", reinterpret_cast<PyObject*>(&PyType_Type)},       {"IndexError", PyExc_IndexError},
        };
        for (const auto& t : types) {
            if (get(builtins_, keys_.other(t.name)) != t.is) return false;
        }
        PyObject* parser = PyModule_GetDict(modules_[parser_module]);
        PyObject* sep = get(parser, keys_.other("sep"));
        PyObject* intern = get(PyModule_GetDict(modules_[sys_module]), keys_.other("intern"));
        if (!interp::builtin_function(get(builtins_, keys_.other("isinstance")), "isinstance", "builtins") ||
            !interp::builtin_function(get(builtins_, keys_.other("len")), "len", "builtins") || sep == nullptr ||
            !PyUnicode_CheckExact(sep) || PyUnicode_CompareWithASCIIString(sep, "/") != 0 ||
            get(parser, keys_.other("altsep")) != Py_None ||
            !interp::builtin_function(get(parser, keys_.other("splitroot")), "_path_splitroot_ex", "posix") ||
            !interp::builtin_function(get(PyModule_GetDict(modules_[os_module]), keys_.other("fspath")), "fspath",
                                      "posix") ||
            !interp::builtin_function(intern, "intern", "sys", METH_O)) {
            return false;
        }
        intern_ = intern;
        return true;
    }

    bool check(PyTypeObject* type)
    {
        positive_ = false;
        if (!interp::layout_known() || (watcher_ < 0 && (watcher_ = PyDict_AddWatcher(on_change)) < 0)) {
            PyErr_Clear();
            never_ = true;
            return false;
        }
        if (!keys_.make()) {
            PyErr_Clear();  // our own MemoryError: the ordinary route runs
            return false;
        }
        property_fget_ = interp::member_offset(&PyProperty_Type, "fget");
        classmethod_func_ = interp::member_offset(&PyClassMethod_Type, "__func__");
        staticmethod_func_ = interp::member_offset(&PyStaticMethod_Type, "__func__");
        type_ = type;
        parents_ = nullptr;
        builtins_ = nullptr;
        for (PyObject*& g : groups_) g = nullptr;
        // Anything the check watches may change only afterwards, so the
        // count it will compare with is read first.
        const std::uint64_t armed = generation_;
        bool ok = Py_IS_TYPE(type, &PyType_Type) && plain_class(type, path_mro, tag_) && check_rows(false) &&
                  distinct_slots() && watch(groups_[local_ns]);
        PyObject* parents = ok ? get(groups_[local_ns], keys_.global_keys[parents_global]) : nullptr;
        parents_ = parents != nullptr && PyType_Check(parents) ? reinterpret_cast<PyTypeObject*>(parents) : nullptr;
        ok = parents_ && plain_class(parents_, parents_mro, parents_tag_) && parents_->tp_new == PyBaseObject_Type.tp_new &&
             check_rows(true);
        for (PyObject* g : groups_) ok = ok && watch(g);
        ok = ok && watch(builtins_) && check_globals();
        if (PyErr_Occurred()) {
            PyErr_Clear();  // only a failed watch can set one
            ok = false;
        }
        armed_at_ = armed;
        return positive_ = ok && generation_ == armed;
    }

    bool positive_ = false;
    bool never_ = false;
    int watcher_ = -1;
    std::uint64_t generation_ = 0;
    std::uint64_t armed_at_ = 0;
    PyTypeObject* rejected_ = nullptr;
    unsigned int rejected_tag_ = 0;
    std::uint64_t rejected_at_ = 0;
    Keys keys_;
    Py_ssize_t property_fget_ = -1, classmethod_func_ = -1, staticmethod_func_ = -1;
    // All borrowed (invariant ii).
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
    PyTypeObject* parents_ = nullptr;
    unsigned int parents_tag_ = 0;
    PyTypeObject* pure_ = nullptr;
    PyTypeObject* path_class_ = nullptr;
    PyObject* groups_[group_count] = {};
    PyObject* builtins_ = nullptr;
    PyObject* modules_[module_count] = {};
    PyObject* intern_ = nullptr;
    Function functions_[function_count] = {};
    Py_ssize_t offsets_[path_slots] = {};
};

Verdict the_verdict;
Verdict& Verdict::the() { return the_verdict; }

bool usable(PyObject* abs_path, PyObject* entry)
{
    PyTypeObject* type = Py_TYPE(abs_path);
    return type == Py_TYPE(entry) && the_verdict.usable(type);
}

PyObject*& slot(PyObject* obj, Member m)
{
    return *interp::at(obj, the_verdict.offset(m));
}

// Parses a fresh absolute path as its first `str()` would, and stores the
// same values in the same slots: `_parse_path(_raw_path)` (the posix
// splitroot, then the non-empty parts other than `.`, each through
// `sys.intern`), then the text `drv + root + "/".join(tail)`, kept as `_str`
// and as `_str_normcase_cached`. False, with the path untouched and no
// exception, when the path is not such a path.
bool parse_fresh(PyObject* path)
{
    for (Member m : {str_slot, normcase_slot, drv_slot, root_slot, tail_slot}) {
        if (slot(path, m) != nullptr) {
            return false;
        }
    }
    PyObject* raw = slot(path, raw_slot);
    if (!raw || !PyList_CheckExact(raw) || PyList_GET_SIZE(raw) != 1) {
        return false;
    }
    PyObject* text = PyList_GET_ITEM(raw, 0);
    const Py_ssize_t length = PyUnicode_CheckExact(text) ? PyUnicode_GET_LENGTH(text) : 0;
    if (length == 0 || PyUnicode_READ_CHAR(text, 0) != '/') {
        return false;
    }
    // Exactly two leading separators are kept as the root; one or more than
    // two make the root one separator.
    const bool two = length >= 2 && PyUnicode_READ_CHAR(text, 1) == '/' &&
                     !(length >= 3 && PyUnicode_READ_CHAR(text, 2) == '/');
    const Py_ssize_t root_end = two ? 2 : 1;
    Ref keep = Ref::borrow(text);
    Ref drv = Ref::steal(PyUnicode_Substring(text, 0, 0));
    Ref root = Ref::steal(PyUnicode_Substring(text, 0, root_end));
    Ref rest = Ref::steal(PyUnicode_Substring(text, root_end, length));
    Ref sep = Ref::steal(PyUnicode_Substring(text, 0, 1));
    Ref pieces = rest && sep ? Ref::steal(PyUnicode_Split(rest.get(), sep.get(), -1)) : Ref();
    Ref tail = Ref::steal(PyList_New(0));
    if (!drv || !root || !pieces || !tail) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces.get(), i);
        if (PyUnicode_GET_LENGTH(piece) == 0 || PyUnicode_CompareWithASCIIString(piece, ".") == 0) {
            continue;
        }
        Ref interned = Ref::steal(interp::call_o(the_verdict.intern(), piece));
        if (!interned || PyList_Append(tail.get(), interned.get()) < 0) {
            PyErr_Clear();
            return false;
        }
    }
    Ref joined = Ref::steal(PyUnicode_Join(sep.get(), tail.get()));
    Ref anchor = joined ? Ref::steal(PyUnicode_Concat(drv.get(), root.get())) : Ref();
    Ref str = anchor ? Ref::steal(PyUnicode_Concat(anchor.get(), joined.get())) : Ref();
    if (!str) {
        PyErr_Clear();
        return false;
    }
    slot(path, drv_slot) = drv.release();
    slot(path, root_slot) = root.release();
    slot(path, tail_slot) = tail.release();
    slot(path, normcase_slot) = Py_NewRef(str.get());
    slot(path, str_slot) = str.release();
    return true;
}

// Whether `text[pos:]` starts with `part`.
bool match_at(PyObject* text, Py_ssize_t pos, PyObject* part)
{
    return PyUnicode_Tailmatch(text, part, pos, pos + PyUnicode_GET_LENGTH(part), -1) == 1;
}

}  // namespace

Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept
{
    if (!usable(abs_path, entry)) {
        return Known::unknown;
    }
    PyObject* theirs = slot(entry, normcase_slot);
    if (slot(abs_path, normcase_slot) == nullptr && theirs != nullptr) {
        parse_fresh(abs_path);
    }
    PyObject* mine = slot(abs_path, normcase_slot);
    if (!mine || !theirs || !PyUnicode_CheckExact(mine) || !PyUnicode_CheckExact(theirs)) {
        return Known::unknown;
    }
    return mine == theirs || PyUnicode_Compare(mine, theirs) == 0 ? Known::yes : Known::no;
}

Known ancestry_in_parents(PyObject* abs_path, PyObject* entry) noexcept
{
    if (!usable(abs_path, entry)) {
        return Known::unknown;
    }
    PyObject* drv = slot(abs_path, drv_slot);
    PyObject* root = slot(abs_path, root_slot);
    PyObject* tail = slot(abs_path, tail_slot);
    if (!drv || !root || !tail || !PyUnicode_CheckExact(drv) || !PyUnicode_CheckExact(root) ||
        PyUnicode_GET_LENGTH(root) == 0 || !PyList_CheckExact(tail)) {
        return Known::unknown;
    }
    const Py_ssize_t parts = PyList_GET_SIZE(tail);
    for (Py_ssize_t i = 0; i < parts; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(tail, i))) {
            return Known::unknown;
        }
    }
    if (parts == 0) {
        return Known::no;  // no ancestors: the entry's text is never read
    }
    PyObject* text = slot(entry, normcase_slot);
    if (!text || !PyUnicode_CheckExact(text)) {
        return Known::unknown;
    }
    // Ancestor k (0 <= k < parts) has the text drv + root + "/".join(tail[:k]).
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t pos = 0;
    for (PyObject* anchor : {drv, root}) {
        if (!match_at(text, pos, anchor)) {
            return Known::no;
        }
        pos += PyUnicode_GET_LENGTH(anchor);
    }
    for (Py_ssize_t k = 0; k < parts; ++k) {
        if (pos == length) {
            return Known::yes;
        }
        if (k + 1 == parts) {
            break;
        }
        if (k > 0) {
            if (PyUnicode_READ_CHAR(text, pos) != '/') {
                return Known::no;
            }
            ++pos;
        }
        PyObject* part = PyList_GET_ITEM(tail, k);
        if (!match_at(text, pos, part)) {
            return Known::no;
        }
        pos += PyUnicode_GET_LENGTH(part);
    }
    return Known::no;
}

}  // namespace brindova::talvesh
