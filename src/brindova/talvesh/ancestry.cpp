#include "talvesh/ancestry.hpp"

#include "common/namespace.hpp"

#include <cstring>
#include <iterator>
#include <string_view>

namespace brindova::talvesh {
namespace {

// Why the shortcut answers as the ordinary protocol would, for two objects of
// exactly PosixPath while the verdict below holds (so every function, property,
// slot and global that the protocol reaches is the standard library's own):
// - `A == E` is `A._str_normcase == E._str_normcase and A.parser is E.parser`;
//   the parser is the class's, the same for both, and `_str_normcase` returns
//   the cached slot when it is set. With both slots exact `str`, the answer is
//   their string equality. Otherwise the ordinary `==` runs (and fills them).
// - `E in A.parents` builds the ancestors from A's `drive`, `root` and `_tail`
//   (their cached slots, when all three are set) and compares each, nearest
//   first, with E by `==`; a fresh ancestor's `_str_normcase` is the text it
//   was made with, `drive + root + "/".join(tail[:k])` for k = len(tail)-1
//   down to 0. The shortcut answers whether E's cached text equals one of
//   those texts, by matching it part by part, without making them.
// - Root entry: the anchor is the text for k = 0, so `/` is an ancestor of
//   every longer absolute path and of none when `_tail` is empty.
// - A `//` anchor: `root` is `//`; texts keep it, as the ancestors' do.
// - Relative entries, and entries that kept a `..`: their texts have no or
//   another anchor, or a `..` part no resolved path has, and match no
//   ancestor text, as their ancestor comparisons fail.
// - An entry equal to `abs_path`: decided by `==` before `parents`, as in
//   the ordinary order.
// - Tampered slots: the shortcut reads exactly the slots the ordinary route
//   reads, so a text that disagrees with its parts decides the same way; a
//   slot that is missing or not of the exact type the proof needs (`str`,
//   a list of `str`, a non-empty root so that no drive test of the parser is
//   reached) sends the test the ordinary way.
// Nothing in that route can raise for such values, and nothing it changes is
// visible afterwards (only the ancestors it would make and drop), except by
// tracing or profiling, or a recursion limit close at hand: those go the
// ordinary way too.

// Attribute lookups the ordinary route makes, and what each must find.
enum Owner : int { posix_path, path, path_base, pure_posix, pure, pure_base, path_parents, sequence, owner_count };
enum class Kind : int { function, property, classmethod, staticmethod, member };
struct Expected {
    Owner on;          // the class whose method resolution order is searched
    Owner from;        // where in that order the search starts (`super()`)
    const char* name;
    Owner owner;       // the class that must define it
    Kind kind;
    const char* qualname;  // of the function's code
};
constexpr Expected expected[] = {
    // equality and its cached text
    {posix_path, posix_path, "__eq__", pure, Kind::function, "PurePath.__eq__"},
    {posix_path, posix_path, "_str_normcase", pure, Kind::property, "PurePath._str_normcase"},
    {posix_path, posix_path, "__str__", pure, Kind::function, "PurePath.__str__"},
    // parents and the parts it reads
    {posix_path, posix_path, "parents", pure, Kind::property, "PurePath.parents"},
    {posix_path, posix_path, "drive", pure, Kind::property, "PurePath.drive"},
    {posix_path, posix_path, "root", pure, Kind::property, "PurePath.root"},
    {posix_path, posix_path, "_tail", pure, Kind::property, "PurePath._tail"},
    // making an ancestor
    {posix_path, posix_path, "_from_parsed_parts", pure, Kind::function, "PurePath._from_parsed_parts"},
    {posix_path, posix_path, "_from_parsed_string", pure, Kind::function, "PurePath._from_parsed_string"},
    {posix_path, posix_path, "_format_parsed_parts", pure, Kind::classmethod, "PurePath._format_parsed_parts"},
    {posix_path, posix_path, "with_segments", pure_base, Kind::function, "PurePathBase.with_segments"},
    {posix_path, posix_path, "__new__", path, Kind::staticmethod, "Path.__new__"},
    {posix_path, posix_path, "__init__", path, Kind::function, "Path.__init__"},
    {posix_path, path_base, "__init__", pure, Kind::function, "PurePath.__init__"},
    // parsing the raw text of a fresh path
    {posix_path, posix_path, "_raw_path", pure, Kind::property, "PurePath._raw_path"},
    {posix_path, posix_path, "_parse_path", pure, Kind::classmethod, "PurePath._parse_path"},
    // the cached slots
    {posix_path, posix_path, "_str", pure, Kind::member, nullptr},
    {posix_path, posix_path, "_str_normcase_cached", pure, Kind::member, nullptr},
    {posix_path, posix_path, "_drv", pure, Kind::member, nullptr},
    {posix_path, posix_path, "_root", pure, Kind::member, nullptr},
    {posix_path, posix_path, "_tail_cached", pure, Kind::member, nullptr},
    {posix_path, posix_path, "_raw_paths", pure, Kind::member, nullptr},
    // the parents sequence
    {path_parents, path_parents, "__init__", path_parents, Kind::function, "_PathParents.__init__"},
    {path_parents, path_parents, "__len__", path_parents, Kind::function, "_PathParents.__len__"},
    {path_parents, path_parents, "__getitem__", path_parents, Kind::function, "_PathParents.__getitem__"},
    {path_parents, path_parents, "__contains__", sequence, Kind::function, "Sequence.__contains__"},
    {path_parents, path_parents, "__iter__", sequence, Kind::function, "Sequence.__iter__"},
    {path_parents, path_parents, "_path", path_parents, Kind::member, nullptr},
    {path_parents, path_parents, "_drv", path_parents, Kind::member, nullptr},
    {path_parents, path_parents, "_root", path_parents, Kind::member, nullptr},
    {path_parents, path_parents, "_tail", path_parents, Kind::member, nullptr},
};
constexpr int path_init = 12, first_member = 16, member_str = 16, member_str_normcase = 17, member_drv = 18,
              member_root = 19, member_tail = 20, member_raw_paths = 21;
static_assert(std::string_view(expected[member_str].name) == "_str");
static_assert(std::string_view(expected[member_raw_paths].name) == "_raw_paths");
static_assert(std::string_view(expected[path_init].qualname) == "Path.__init__");
static_assert(std::string_view(expected[member_str_normcase].name) == "_str_normcase_cached");
static_assert(std::string_view(expected[member_drv].name) == "_drv");
static_assert(std::string_view(expected[member_root].name) == "_root");
static_assert(std::string_view(expected[member_tail].name) == "_tail_cached");
// Every row before the slots names one function, in row order.
static_assert(expected[first_member - 1].kind != Kind::member && expected[first_member].kind == Kind::member);

// Module namespaces whose globals those functions read.
enum Module : int { local_module, abc_module, collections_abc, posixpath_module, os_module, sys_module, module_count };
// Globals that must be the interpreter's own builtins: absent from the
// function's module, and the builtin itself in the builtins.
struct BuiltinUse {
    Module module;
    const char* name;
};
constexpr BuiltinUse builtin_uses[] = {
    {local_module, "isinstance"}, {local_module, "slice"}, {local_module, "len"},
    {local_module, "IndexError"}, {local_module, "str"},   {local_module, "super"},
    {local_module, "object"},     {abc_module, "type"},    {collections_abc, "IndexError"},
};

constexpr int max_types = 20;
constexpr int max_functions = static_cast<int>(std::size(expected));
constexpr int max_cells = 2;
static_assert(std::size(builtin_uses) < 16, "the builtins table stays a short list");

// What a function runs: the code, its defaults and the values of its cells
// can all be replaced without touching its class.
struct FunctionState {
    PyObject* function = nullptr;  // strong
    // The property, classmethod or staticmethod that holds it (strong), and
    // where in that object: re-running the holder's __init__ swaps the
    // function without touching the class.
    PyObject* holder = nullptr;
    Py_ssize_t holder_offset = 0;
    PyObject* code = nullptr;      // borrowed: compared by address only
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
    PyObject* closure = nullptr;
    PyObject* cells[max_cells] = {};

    static bool read(PyObject* function, FunctionState& out)
    {
        auto* f = reinterpret_cast<PyFunctionObject*>(function);
        out.function = function;
        out.code = f->func_code;
        out.defaults = f->func_defaults;
        out.kwdefaults = f->func_kwdefaults;
        out.closure = f->func_closure;
        Py_ssize_t cells = out.closure ? PyTuple_GET_SIZE(out.closure) : 0;
        if (cells > max_cells) {
            return false;
        }
        // All of them: `out` may hold the cells of a function read before.
        for (Py_ssize_t i = 0; i < max_cells; ++i) {
            out.cells[i] = i < cells ? PyCell_GET(PyTuple_GET_ITEM(out.closure, i)) : nullptr;
        }
        return true;
    }

    bool same() const
    {
        if (holder != nullptr &&
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(holder) + holder_offset) != function) {
            return false;
        }
        FunctionState now;
        return read(function, now) && now.code == code && now.defaults == defaults &&
               now.kwdefaults == kwdefaults && now.closure == closure && now.cells[0] == cells[0] &&
               now.cells[1] == cells[1];
    }
};

// The verdict on pathlib: whether the shortcut may answer for it.
//
// Invariant: the stored verdict (positive or negative) stands while every
// input of the checks in arm() is as it was when they ran: the recorded
// types (a version tag changes with any change to its type or to a base),
// the watched module namespaces (the watcher bumps `generation` on any
// change; it must run no code, so it only counts) and each function found
// (code, defaults, closure: they change without their class, so they are
// compared at each use). arm() takes the generation and the tags before it
// checks and commits only if both are unchanged afterwards: a change made
// while checking (a dict lookup can run a key's `__eq__`) leaves the verdict
// unarmed, and the next use checks again.
class Verdict {
public:
    bool positive()
    {
        if (state_ == State::unarmed || !unchanged()) {
            arm();
        }
        return state_ == State::positive;
    }

    PyTypeObject* posix_type() const { return owners_[posix_path]; }
    Py_ssize_t offset(int member) const { return offsets_[member]; }
    PyObject* module(Module m) const { return modules_[m]; }
    PyObject* intern() const { return intern_; }

    // Whether a sys.monitoring tool is registered: events may then be set,
    // globally or on pathlib's code, and its callbacks would see the calls of
    // the ordinary route. Asked of the function itself, as found when armed.
    bool monitored() const
    {
        constexpr long tool_ids = 6;  // sys.monitoring hands out 0 to 5
        auto* f = reinterpret_cast<PyCFunctionObject*>(get_tool_);
        for (long id = 0; id < tool_ids; ++id) {
            PyObject* arg = PyLong_FromLong(id);  // a cached small int: no allocation
            PyObject* name = arg == nullptr                        ? nullptr
                             : f->m_ml->ml_flags == METH_O ? f->m_ml->ml_meth(f->m_self, arg)
                                                           : PyObject_CallOneArg(get_tool_, arg);
            Py_XDECREF(arg);
            if (name != Py_None) {
                Py_XDECREF(name);
                PyErr_Clear();
                return true;
            }
            Py_DECREF(name);
        }
        return false;
    }

private:
    enum class State { unarmed, positive, negative, never };

    bool unchanged() const
    {
        return generation_ == armed_generation_ && tags_unchanged() && functions_unchanged();
    }

    bool functions_unchanged() const
    {
        for (int i = 0; i < nfunctions_; ++i) {
            if (!functions_[i].same()) {
                return false;
            }
        }
        return true;
    }

    static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
    {
        ++verdict().generation_;
        return 0;
    }

    void arm()
    {
        if (state_ == State::never) {
            return;
        }
        state_ = State::unarmed;
        drop_functions();
        if (watcher_ < 0 && (watcher_ = PyDict_AddWatcher(on_change)) < 0) {
            PyErr_Clear();
            state_ = State::never;
            return;
        }
        if (!owners_[posix_path] && !load_owners()) {
            PyErr_Clear();
            return;
        }
        if (!record_types()) {
            // Version tags ran out: they are never handed out again.
            state_ = State::never;
            return;
        }
        unsigned long before = generation_;
        bool ok = watch_modules() && check_types() && check_lookups() && check_globals();
        if (PyErr_Occurred()) {
            PyErr_Clear();
            ok = false;
        }
        // Code run while checking (a key's __eq__ in a lookup) may have
        // changed what was already checked.
        if (generation_ != before || !tags_unchanged() || !functions_unchanged()) {
            drop_functions();
            return;
        }
        if (ok) {
            ok = match_reference();
        }
        armed_generation_ = before;
        state_ = ok ? State::positive : State::negative;
    }

    bool tags_unchanged() const
    {
        // The metaclass of _PathParents can be swapped without a new tag for
        // anything; it goes first, as a replaced one may be gone by now.
        if (Py_TYPE(owners_[path_parents]) != parents_meta_) {
            return false;
        }
        for (int i = 0; i < ntypes_; ++i) {
            if (types_[i]->tp_version_tag != tags_[i]) {
                return false;
            }
        }
        return true;
    }

    void drop_functions()
    {
        int n = nfunctions_;
        nfunctions_ = 0;
        for (int i = 0; i < n; ++i) {
            Py_CLEAR(functions_[i].function);
            Py_CLEAR(functions_[i].holder);
        }
    }

    // The classes, taken once from the modules that define them (already
    // imported: pathlib is the module's own import) and kept for the process.
    bool load_owners()
    {
        static constexpr struct {
            Owner owner;
            Module module;
            const char* name;
        } sources[] = {
            {posix_path, local_module, "PosixPath"}, {path, local_module, "Path"},
            {path_base, abc_module, "PathBase"},     {pure_posix, local_module, "PurePosixPath"},
            {pure, local_module, "PurePath"},        {pure_base, abc_module, "PurePathBase"},
            {path_parents, local_module, "_PathParents"}, {sequence, collections_abc, "Sequence"},
        };
        static_assert(std::size(sources) == owner_count, "every owner has a source");
        static constexpr const char* module_names[] = {"pathlib._local", "pathlib._abc", "_collections_abc"};
        PyObject* found[owner_count] = {};
        PyObject* mods[std::size(module_names)] = {};
        bool ok = true;
        for (size_t i = 0; ok && i < std::size(module_names); ++i) {
            Ref name = Ref::steal(PyUnicode_FromString(module_names[i]));
            mods[i] = name ? PyImport_GetModule(name.get()) : nullptr;
            ok = mods[i] && PyModule_CheckExact(mods[i]);
        }
        for (size_t i = 0; ok && i < std::size(sources); ++i) {
            PyObject* value = nullptr;
            ok = PyDict_GetItemStringRef(PyModule_GetDict(mods[sources[i].module]), sources[i].name, &value) > 0 &&
                 PyType_Check(value);
            found[sources[i].owner] = value;
        }
        if (!ok) {
            for (PyObject* obj : found) Py_XDECREF(obj);
            for (PyObject* obj : mods) Py_XDECREF(obj);
            return false;
        }
        for (int i = 0; i < owner_count; ++i) {
            owners_[i] = reinterpret_cast<PyTypeObject*>(found[i]);
        }
        for (size_t i = 0; i < std::size(module_names); ++i) {
            modules_[i] = mods[i];
        }
        return true;
    }

    bool add_type(PyTypeObject* type)
    {
        if (ntypes_ == max_types || !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        types_[ntypes_] = type;  // every one is kept alive by owners_' bases
        tags_[ntypes_++] = type->tp_version_tag;
        return true;
    }

    bool record_types()
    {
        ntypes_ = 0;
        for (PyTypeObject* owner : {owners_[posix_path], owners_[path_parents]}) {
            PyObject* mro = owner->tp_mro;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
                if (!add_type(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)))) {
                    return false;
                }
            }
        }
        PyTypeObject* meta = Py_TYPE(owners_[path_parents]);
        if (parents_meta_ != meta) {
            Py_XSETREF(parents_meta_, reinterpret_cast<PyTypeObject*>(Py_NewRef(meta)));
        }
        return add_type(meta);
    }

    bool watch(Module m, PyObject* module)
    {
        if (!module || !PyModule_CheckExact(module)) {
            return false;
        }
        if (!modules_[m]) {
            modules_[m] = Py_NewRef(module);
        }
        return modules_[m] == module && watch_dict(PyModule_GetDict(module));
    }

    bool watch_dict(PyObject* dict) const { return watch_namespace(watcher_, dict); }

    bool watch_modules()
    {
        bool ok = true;
        for (int m : {local_module, abc_module, collections_abc}) {
            ok = ok && watch_dict(PyModule_GetDict(modules_[m]));
        }
        return ok;
    }

    // Instances keep no dict and use the generic attribute protocol, so an
    // attribute is what the type's lookup finds; the classes are made by
    // `type` and ABCMeta without a `__call__` or `__new__` of their own.
    bool check_types() const
    {
        PyTypeObject* paths = owners_[posix_path];
        PyTypeObject* parents = owners_[path_parents];
        const Owner order[] = {posix_path, path, path_base, pure_posix, pure, pure_base};
        PyObject* mro = paths->tp_mro;
        if (PyTuple_GET_SIZE(mro) != static_cast<Py_ssize_t>(std::size(order)) + 1 ||
            PyTuple_GET_ITEM(mro, std::size(order)) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
            return false;
        }
        for (size_t i = 0; i < std::size(order); ++i) {
            if (PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(owners_[order[i]])) {
                return false;
            }
        }
        for (PyTypeObject* type : {paths, parents}) {
            // The ordinary route makes instances of both: an abstract class refuses.
            if (type->tp_dictoffset != 0 || type->tp_getattro != PyObject_GenericGetAttr ||
                type->tp_setattro != PyObject_GenericSetAttr || (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
                return false;
            }
        }
        return Py_IS_TYPE(paths, &PyType_Type) && Py_TYPE(parents)->tp_call == PyType_Type.tp_call &&
               parents->tp_new == PyBaseObject_Type.tp_new &&
               PySequence_Contains(parents->tp_mro, reinterpret_cast<PyObject*>(owners_[sequence])) == 1;
    }

    // The first definition of `name` in `on`'s order from `from`, and its class.
    static Ref lookup(PyTypeObject* on, PyTypeObject* from, const char* name, PyObject*& where)
    {
        PyObject* mro = on->tp_mro;
        bool started = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject* cls = PyTuple_GET_ITEM(mro, i);
            started = started || cls == reinterpret_cast<PyObject*>(from);
            if (!started) {
                continue;
            }
            Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
            PyObject* value = nullptr;
            if (!dict || PyDict_GetItemStringRef(dict.get(), name, &value) < 0) {
                return {};
            }
            if (value) {
                where = cls;
                return Ref::steal(value);
            }
        }
        return {};
    }

    // A function of the module `m` whose code has the qualified name given.
    bool add_function(PyObject* function, Module m, const char* qualname)
    {
        if (!function || !PyFunction_Check(function) || nfunctions_ == max_functions ||
            PyFunction_GET_GLOBALS(function) != PyModule_GetDict(modules_[m])) {
            return false;
        }
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));
        const char* actual = PyUnicode_Check(code->co_qualname) ? PyUnicode_AsUTF8(code->co_qualname) : nullptr;
        FunctionState& state = functions_[nfunctions_];
        if (!actual || std::strcmp(actual, qualname) != 0 || !FunctionState::read(function, state)) {
            return false;
        }
        Py_INCREF(function);
        ++nfunctions_;
        // One builtins namespace for all: the one watched and checked.
        PyObject* their_builtins = reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
        if (!builtins_dict_) {
            builtins_dict_ = Py_NewRef(their_builtins);
        }
        return builtins_dict_ == their_builtins;
    }

    bool check_lookups()
    {
        for (size_t i = 0; i < std::size(expected); ++i) {
            const Expected& e = expected[i];
            PyObject* where = nullptr;
            Ref found = lookup(owners_[e.on], owners_[e.from], e.name, where);
            if (!found || where != reinterpret_cast<PyObject*>(owners_[e.owner])) {
                return false;
            }
            Module m = e.owner == pure_base ? abc_module : e.owner == sequence ? collections_abc : local_module;
            PyObject* obj = found.get();
            Ref inner;
            Py_ssize_t inner_offset = -1;
            switch (e.kind) {
            case Kind::member: {
                if (!Py_IS_TYPE(obj, &PyMemberDescr_Type)) {
                    return false;
                }
                PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(obj)->d_member;
                if (def->type != Py_T_OBJECT_EX || (def->flags & Py_READONLY) ||
                    PyDescr_TYPE(obj) != owners_[e.owner]) {
                    return false;
                }
                offsets_[i] = def->offset;
                continue;
            }
            case Kind::property:
                if (!Py_IS_TYPE(obj, &PyProperty_Type)) {
                    return false;
                }
                inner_offset = member_offset(&PyProperty_Type, "fget");
                break;
            case Kind::classmethod:
            case Kind::staticmethod:
                if (!Py_IS_TYPE(obj, e.kind == Kind::classmethod ? &PyClassMethod_Type : &PyStaticMethod_Type)) {
                    return false;
                }
                inner_offset = member_offset(Py_TYPE(obj), "__func__");
                break;
            case Kind::function:
                inner = std::move(found);
                break;
            }
            if (e.kind != Kind::function) {
                // Read where the descriptor keeps it: no attribute lookup,
                // which would run no code but would fill the interpreter's
                // attribute cache with a new name string at each check.
                if (inner_offset < 0) {
                    return false;
                }
                inner = Ref::borrow(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + inner_offset));
            }
            if (!add_function(inner.get(), m, e.qualname)) {
                return false;
            }
            if (e.kind != Kind::function) {
                FunctionState& added = functions_[nfunctions_ - 1];
                added.holder = Py_NewRef(obj);
                added.holder_offset = inner_offset;
            }
        }
        // `super()` in Path.__init__ reads its class cell.
        for (int i = 0; i < nfunctions_; ++i) {
            const FunctionState& f = functions_[i];
            Py_ssize_t cells = f.closure ? PyTuple_GET_SIZE(f.closure) : 0;
            if (cells != (i == path_init ? 1 : 0) ||
                (cells == 1 && f.cells[0] != reinterpret_cast<PyObject*>(owners_[path]))) {
                return false;
            }
        }
        return true;
    }

    // Where a built-in descriptor type keeps the object behind its member `name`.
    static Py_ssize_t member_offset(PyTypeObject* type, const char* name)
    {
        for (const PyMemberDef* m = type->tp_members; m != nullptr && m->name != nullptr; ++m) {
            if (std::strcmp(m->name, name) == 0) {
                return m->offset;
            }
        }
        return -1;
    }

    static bool is_builtin_function(PyObject* obj, const char* name, const char* module)
    {
        if (!PyCFunction_Check(obj)) {
            return false;
        }
        auto* f = reinterpret_cast<PyCFunctionObject*>(obj);
        if (std::strcmp(f->m_ml->ml_name, name) != 0 || !f->m_self || !PyModule_Check(f->m_self)) {
            return false;
        }
        // A module's __name__ can be deleted or made anything.
        const char* actual = PyModule_GetName(f->m_self);
        if (actual == nullptr) {
            PyErr_Clear();
            return false;
        }
        return std::strcmp(actual, module) == 0;
    }

    static bool is_genuine_builtin(const char* name, PyObject* value)
    {
        const struct {
            const char* name;
            PyObject* object;
        } objects[] = {
            {"slice", reinterpret_cast<PyObject*>(&PySlice_Type)},
            {"str", reinterpret_cast<PyObject*>(&PyUnicode_Type)},
            {"super", reinterpret_cast<PyObject*>(&PySuper_Type)},
            {"object", reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
            {"type", reinterpret_cast<PyObject*>(&PyType_Type)},
        };
        for (const auto& o : objects) {
            if (std::strcmp(o.name, name) == 0) {
                return value == o.object;
            }
        }
        if (std::strcmp(name, "IndexError") == 0) {
            return value == PyExc_IndexError;
        }
        return is_builtin_function(value, name, "builtins");
    }

    static bool global_is(PyObject* dict, const char* name, PyObject* object)
    {
        PyObject* value = nullptr;
        int found = PyDict_GetItemStringRef(dict, name, &value);
        Py_XDECREF(value);
        return found > 0 && value == object;
    }

    bool check_globals()
    {
        PyObject* local = PyModule_GetDict(modules_[local_module]);
        PyObject* parser = nullptr;
        Ref found = lookup(owners_[posix_path], owners_[posix_path], "parser", parser);
        if (!found || parser != reinterpret_cast<PyObject*>(owners_[pure_posix]) ||
            !watch(posixpath_module, found.get()) || !global_is(local, "posixpath", found.get())) {
            return false;
        }
        PyObject* os = nullptr;
        if (PyDict_GetItemStringRef(local, "os", &os) <= 0) {
            return false;
        }
        Ref os_ref = Ref::steal(os);
        PyObject* value = nullptr;
        if (!watch(os_module, os) || PyDict_GetItemStringRef(PyModule_GetDict(os), "fspath", &value) <= 0) {
            return false;
        }
        Ref fspath = Ref::steal(value);
        if (!is_builtin_function(fspath.get(), "fspath", "posix") ||
            PyDict_GetItemStringRef(PyModule_GetDict(modules_[posixpath_module]), "sep", &value) <= 0) {
            return false;
        }
        Ref sep = Ref::steal(value);
        PyObject* posix = PyModule_GetDict(modules_[posixpath_module]);
        if (!global_is(posix, "altsep", Py_None) || PyDict_GetItemStringRef(posix, "splitroot", &value) <= 0) {
            return false;
        }
        Ref splitroot = Ref::steal(value);
        PyObject* sys = nullptr;
        if (!is_builtin_function(splitroot.get(), "_path_splitroot_ex", "posix") ||
            PyDict_GetItemStringRef(local, "sys", &sys) <= 0) {
            return false;
        }
        Ref sys_ref = Ref::steal(sys);
        if (!watch(sys_module, sys) || PyDict_GetItemStringRef(PyModule_GetDict(sys), "intern", &value) <= 0) {
            return false;
        }
        Ref intern = Ref::steal(value);
        if (!is_builtin_function(intern.get(), "intern", "sys") ||
            PyDict_GetItemStringRef(PyModule_GetDict(sys), "monitoring", &value) <= 0) {
            return false;
        }
        Ref monitoring = Ref::steal(value);
        if (!PyModule_Check(monitoring.get()) ||
            PyDict_GetItemStringRef(PyModule_GetDict(monitoring.get()), "get_tool", &value) <= 0) {
            return false;
        }
        Ref get_tool = Ref::steal(value);
        if (!is_builtin_function(get_tool.get(), "get_tool", "sys.monitoring")) {
            return false;
        }
        if (intern_ != intern.get()) {
            Py_XSETREF(intern_, intern.release());
        }
        if (get_tool_ != get_tool.get()) {
            Py_XSETREF(get_tool_, get_tool.release());
        }
        if (!PyUnicode_CheckExact(sep.get()) || PyUnicode_CompareWithASCIIString(sep.get(), "/") != 0 ||
            !global_is(local, "_PathParents", reinterpret_cast<PyObject*>(owners_[path_parents])) ||
            !global_is(local, "PurePath", reinterpret_cast<PyObject*>(owners_[pure])) ||
            !global_is(local, "Path", reinterpret_cast<PyObject*>(owners_[path])) || !builtins_dict_ ||
            !PyDict_CheckExact(builtins_dict_) || !watch_dict(builtins_dict_)) {
            return false;
        }
        for (const BuiltinUse& use : builtin_uses) {
            PyObject* shadow = nullptr;
            int shadowed = PyDict_GetItemStringRef(PyModule_GetDict(modules_[use.module]), use.name, &shadow);
            Py_XDECREF(shadow);
            if (shadowed != 0 || PyDict_GetItemStringRef(builtins_dict_, use.name, &value) <= 0) {
                return false;
            }
            Ref builtin = Ref::steal(value);
            if (!is_genuine_builtin(use.name, builtin.get())) {
                return false;
            }
        }
        return true;
    }

    // The code found must be the code first found: a replaced code object
    // may carry any name. The first complete set becomes the reference.
    bool match_reference()
    {
        if (nreference_ == 0) {
            for (int i = 0; i < nfunctions_; ++i) {
                reference_[i] = Py_NewRef(functions_[i].code);
            }
            nreference_ = nfunctions_;
            return true;
        }
        if (nreference_ != nfunctions_) {
            return false;
        }
        for (int i = 0; i < nfunctions_; ++i) {
            if (reference_[i] != functions_[i].code) {
                return false;
            }
        }
        return true;
    }

    static Verdict& verdict();

    State state_ = State::unarmed;
    int watcher_ = -1;
    unsigned long generation_ = 0;
    unsigned long armed_generation_ = 0;
    // Process-lifetime references: never released (no static destructor may
    // run after the interpreter is gone).
    PyTypeObject* owners_[owner_count] = {};
    PyObject* modules_[module_count] = {};
    PyObject* builtins_dict_ = nullptr;
    PyObject* intern_ = nullptr;  // sys.intern, as checked at the last arming
    PyObject* get_tool_ = nullptr;  // sys.monitoring.get_tool, likewise
    PyTypeObject* parents_meta_ = nullptr;  // the metaclass of _PathParents when armed
    PyObject* reference_[max_functions] = {};
    int nreference_ = 0;
    PyTypeObject* types_[max_types] = {};
    unsigned int tags_[max_types] = {};
    int ntypes_ = 0;
    FunctionState functions_[max_functions];
    int nfunctions_ = 0;
    Py_ssize_t offsets_[std::size(expected)] = {};
};

Verdict the_verdict;
Verdict& Verdict::verdict() { return the_verdict; }

// Tracing, profiling and monitoring see the ordinary route's calls, and a recursion
// limit close at hand would stop it: both go the ordinary way. A module whose
// class was replaced answers attribute lookups its own way.
bool quiet(const Verdict& v)
{
    PyThreadState* state = PyThreadState_Get();
    return state->c_tracefunc == nullptr && state->c_profilefunc == nullptr &&
           state->py_recursion_remaining > 50 && state->c_recursion_remaining > 100 &&
           PyModule_CheckExact(v.module(posixpath_module)) && PyModule_CheckExact(v.module(os_module)) &&
           PyModule_CheckExact(v.module(sys_module)) && !v.monitored();
}

bool usable(PyObject* abs_path, PyObject* entry)
{
    PyTypeObject* type = Py_TYPE(abs_path);
    return type == Py_TYPE(entry) && the_verdict.positive() && type == the_verdict.posix_type() &&
           quiet(the_verdict);
}

PyObject* slot(PyObject* obj, int member)
{
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + the_verdict.offset(member));
}

PyObject*& slot_ref(PyObject* obj, int member)
{
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + the_verdict.offset(member));
}

// Parses a fresh absolute path as its first `str()` would, and stores the
// same values in the same slots: `_parse_path(_raw_path)` (the posix
// splitroot, then the non-empty parts other than `.`, each through
// `sys.intern`), then the text `drv + root + "/".join(tail)`, kept as `_str`
// and as `_str_normcase_cached`. False, with the path untouched and no
// exception, when the path is not such a path.
bool parse_fresh(PyObject* path)
{
    for (int member : {member_str, member_str_normcase, member_drv, member_root, member_tail}) {
        if (slot(path, member) != nullptr) {
            return false;
        }
    }
    PyObject* raw = slot(path, member_raw_paths);
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
    Ref sep = Ref::steal(PyUnicode_Substring(root.get(), 0, 1));
    Ref pieces = rest && sep ? Ref::steal(PyUnicode_Split(rest.get(), sep.get(), -1)) : Ref();
    Ref tail = Ref::steal(PyList_New(0));
    if (!drv || !pieces || !tail) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces.get(), i);
        if (PyUnicode_GET_LENGTH(piece) == 0 || PyUnicode_CompareWithASCIIString(piece, ".") == 0) {
            continue;
        }
        Ref interned = Ref::steal(PyObject_CallOneArg(the_verdict.intern(), piece));
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
    slot_ref(path, member_drv) = drv.release();
    slot_ref(path, member_root) = root.release();
    slot_ref(path, member_tail) = tail.release();
    slot_ref(path, member_str_normcase) = Py_NewRef(str.get());
    slot_ref(path, member_str) = str.release();
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
    PyObject* theirs = slot(entry, member_str_normcase);
    if (slot(abs_path, member_str_normcase) == nullptr && theirs != nullptr) {
        parse_fresh(abs_path);
    }
    PyObject* mine = slot(abs_path, member_str_normcase);
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
    PyObject* drv = slot(abs_path, member_drv);
    PyObject* root = slot(abs_path, member_root);
    PyObject* tail = slot(abs_path, member_tail);
    if (!drv || !root || !tail || !PyUnicode_CheckExact(drv) || !PyUnicode_CheckExact(root) ||
        PyUnicode_GET_LENGTH(root) == 0 || !PyList_CheckExact(tail)) {
        return Known::unknown;
    }
    Py_ssize_t parts = PyList_GET_SIZE(tail);
    for (Py_ssize_t i = 0; i < parts; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(tail, i))) {
            return Known::unknown;
        }
    }
    if (parts == 0) {
        return Known::no;  // no ancestors: the entry's text is never read
    }
    PyObject* text = slot(entry, member_str_normcase);
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
