#include "talvesh/rules.hpp"

#include "talvesh/ancestry.hpp"
#include "talvesh/matcher.hpp"
#include "talvesh/resolve.hpp"

#include "common/lookup.hpp"
#include "common/traceback.hpp"

namespace brindova::talvesh {
namespace {

// Positions of the constructor's arguments; `self` is 0.
namespace arg {
constexpr int file = 1, files = 2, file_mask = 3, file_masks = 4, path = 5, paths = 6, path_mask = 7,
              path_masks = 8, env_name = 9, env_names = 10, env_name_mask = 11, env_name_masks = 12;
}  // namespace arg

// Source lines of the construction steps, shown by a failing step's traceback entry.
struct PathLines {
    int new_list;     // the plural argument is None
    int convert_all;  // converting the plural argument's elements
    int convert_one;  // converting the singular argument
    int contains;
    int append;
};
struct MaskLines {
    int new_list;
    int contains;
    int append;
};
constexpr PathLines file_lines{47, 49, 52, 53, 54};
constexpr PathLines path_lines{65, 67, 70, 71, 72};
constexpr MaskLines file_mask_lines{58, 60, 61};
constexpr MaskLines path_mask_lines{76, 78, 79};
constexpr MaskLines env_name_lines{83, 85, 86};
constexpr MaskLines env_name_mask_lines{90, 92, 93};
constexpr int first_store_line = 96;

// Source lines of the decision's steps. A walk over a list has two: the
// test of an entry, and reading or walking the list.
struct WalkLines {
    int test;
    int walk;
};
struct DecisionLines {
    int resolve;
    int name;
    int text;
    WalkLines files;
    WalkLines file_masks;
    WalkLines paths;
    WalkLines path_masks;
    int env_names;  // reading the list, or its membership test
    WalkLines env_name_masks;
};
constexpr DecisionLines decision_lines{
    .resolve = 151,
    .name = 152,
    .text = 153,
    .files = {.test = 156, .walk = 157},
    .file_masks = {.test = 160, .walk = 161},
    .paths = {.test = 164, .walk = 165},
    .path_masks = {.test = 168, .walk = 169},
    .env_names = 176,
    .env_name_masks = {.test = 178, .walk = 179},
};

// Path(value), then value.resolve() when asked. `Path` is looked up anew at
// each conversion, so rebinding the module attribute takes effect at once.
Ref convert(PyObject* globals, PyObject* value, bool resolve)
{
    Ref path_type = lookup_global(globals, guard.builtins, names.Path);
    Ref path = path_type ? Ref::steal(PyObject_CallOneArg(path_type.get(), value)) : Ref();
    if (!path || !resolve) {
        return path;
    }
    return talvesh::resolve(path.get());
}

// Appends `value` unless the list already holds an equal entry; `paths`: a
// list of paths made here, whose `in` may be decided from their texts.
int append_absent(PyObject* list, PyObject* value, int contains_line, int append_line, int& line, bool paths = false)
{
    line = contains_line;
    int present = paths ? ancestry_contains(list, value) : PySequence_Contains(list, value);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    line = append_line;
    return PyList_Append(list, value);
}

// A new list of converted paths: the plural argument's elements, then the
// singular value unless an equal entry is already there.
Ref build_paths(PyObject* globals, PyObject* plural, PyObject* singular, bool resolve,
                const PathLines& lines, int& line)
{
    line = plural == Py_None ? lines.new_list : lines.convert_all;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return {};
    }
    if (plural != Py_None) {
        // Converting runs Python code that may change the caller's list: its
        // size is read anew at each step and the element held while in use.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(plural); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(plural, i));
            Ref converted = convert(globals, element.get(), resolve);
            if (!converted || PyList_Append(list.get(), converted.get()) < 0) {
                return {};
            }
        }
    }
    if (singular != Py_None) {
        line = lines.convert_one;
        Ref value = convert(globals, singular, resolve);
        if (!value || append_absent(list.get(), value.get(), lines.contains, lines.append, line, true) < 0) {
            return {};
        }
    }
    return list;
}

// The caller's mask or name list itself (shared, not copied), or a new one;
// then the singular value unless an equal entry is already there.
Ref build_masks(PyObject* plural, PyObject* singular, const MaskLines& lines, int& line)
{
    line = lines.new_list;
    Ref list = plural == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(plural);
    if (!list) {
        return {};
    }
    if (singular != Py_None &&
        append_absent(list.get(), singular, lines.contains, lines.append, line) < 0) {
        return {};
    }
    return list;
}

int is_true(PyObject* value)
{
    if (value == Py_True) {
        return 1;
    }
    return value == Py_False ? 0 : PyObject_IsTrue(value);
}

// One call of is_ignored: walks the rule lists and reports failures with the
// traceback entries of the decision and, inside a walk, of `genexpr`.
class Decision {
public:
    Decision(const FunctionSpec& spec, PyObject* globals, PyObject* self)
        : spec_(spec), globals_(globals), self_(self)
    {
    }

    // Adds the decision's entry at `line`; returns -1.
    int fail(int line) const
    {
        function_fail(spec_, globals_, line);
        return -1;
    }

    // The list read from the slot, for a single test of its own.
    Ref read(Slot slot, int line) const
    {
        Ref list = Ref::steal(slot_get(self_, slot));
        if (!list) {
            fail(line);
        }
        return list;
    }

    // Tests the entries of one list in order: 1 at the first entry whose test
    // value is true, 0 when none is, -1 on failure. The list is read only now
    // and is not copied, so the walk sees it as it is at each step.
    template <class Test>
    int walk(Slot slot, WalkLines lines, const Test& test) const
    {
        const int test_line = lines.test;
        const int walk_line = lines.walk;
        Ref list = read(slot, walk_line);
        if (!list) {
            return -1;
        }
        PyObject* seq = list.get();
        if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
            // A test can change the list: its size is read anew at each step
            // and the entry held while it is tested.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
                Ref entry = Ref::borrow(PySequence_Fast_GET_ITEM(seq, i));
                if (int hit = check(test, entry.get(), test_line)) {
                    return hit;
                }
            }
            return 0;
        }
        Ref iterator = Ref::steal(PyObject_GetIter(seq));
        if (!iterator) {
            return fail(walk_line);
        }
        for (;;) {
            Ref entry = Ref::steal(PyIter_Next(iterator.get()));
            if (!entry) {
                return PyErr_Occurred() ? fail_inside(walk_line, test_line) : 0;
            }
            if (int hit = check(test, entry.get(), test_line)) {
                return hit;
            }
        }
    }

    PyObject* match(PyObject* text, PyObject* pattern) const
    {
        return matcher_call(globals_, text, pattern);
    }

private:
    template <class Test>
    int check(const Test& test, PyObject* entry, int line) const
    {
        Ref value = Ref::steal(test(entry));
        int truth = value ? is_true(value.get()) : -1;
        if (truth < 0) {
            // A test runs as a generator would; StopIteration must not leak out
            // of it as a silent end of the walk.
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                stop_iteration_to_runtime_error(line);
            }
            return fail_inside(line, line);
        }
        return truth;
    }

    int fail_inside(int walk_entry_line, int line) const
    {
        traceback_add(source_path, "genexpr", walk_entry_line, globals_);
        return fail(line);
    }

    void stop_iteration_to_runtime_error(int line) const
    {
        traceback_add(source_path, "genexpr", line, globals_);
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
    }

    const FunctionSpec& spec_;
    PyObject* globals_;
    PyObject* self_;
};

}  // namespace

PyObject* rules_init(const FunctionSpec& spec, PyObject* globals, PyObject* const* args) noexcept
{
    int line = 0;
    Ref lists[slot_count];
    lists[files] = build_paths(globals, args[arg::files], args[arg::file], false, file_lines, line);
    if (lists[files]) {
        lists[file_masks] = build_masks(args[arg::file_masks], args[arg::file_mask], file_mask_lines, line);
    }
    if (lists[file_masks]) {
        lists[paths] = build_paths(globals, args[arg::paths], args[arg::path], true, path_lines, line);
    }
    if (lists[paths]) {
        lists[path_masks] = build_masks(args[arg::path_masks], args[arg::path_mask], path_mask_lines, line);
    }
    if (lists[path_masks]) {
        lists[env_names] = build_masks(args[arg::env_names], args[arg::env_name], env_name_lines, line);
    }
    if (lists[env_names]) {
        lists[env_name_masks] =
            build_masks(args[arg::env_name_masks], args[arg::env_name_mask], env_name_mask_lines, line);
    }
    if (!lists[env_name_masks]) {
        return function_fail(spec, globals, line);
    }
    // Stored only once every list exists, so a failed construction leaves the
    // slots as they were; ordinary assignment lets a subclass see each store.
    PyObject* self = args[0];
    for (int slot = 0; slot < slot_count; ++slot) {
        if (slot_set(self, static_cast<Slot>(slot), lists[slot].get()) < 0) {
            return function_fail(spec, globals, first_store_line + slot);
        }
    }
    Py_RETURN_NONE;
}

PyObject* rules_is_ignored(const FunctionSpec& spec, PyObject* globals, PyObject* const* args) noexcept
{
    const Decision decision(spec, globals, args[0]);
    PyObject* path = args[1];
    PyObject* name = args[2];
    if (path != Py_None) {
        Ref abs_path = resolve(path);
        if (!abs_path) {
            return function_fail(spec, globals, decision_lines.resolve);
        }
        Ref file_name = Ref::steal(PyObject_GetAttr(path, names.name));
        if (!file_name) {
            return function_fail(spec, globals, decision_lines.name);
        }
        Ref path_str = Ref::steal(PyObject_Format(path, names.empty));
        if (!path_str) {
            return function_fail(spec, globals, decision_lines.text);
        }
        int hit = decision.walk(files, decision_lines.files, [&](PyObject* entry) -> PyObject* {
            Ref entry_name = Ref::steal(PyObject_GetAttr(entry, names.name));
            return entry_name ? PyObject_RichCompare(file_name.get(), entry_name.get(), Py_EQ) : nullptr;
        });
        if (hit == 0) {
            hit = decision.walk(file_masks, decision_lines.file_masks, [&](PyObject* pattern) {
                return decision.match(file_name.get(), pattern);
            });
        }
        if (hit == 0) {
            hit = decision.walk(paths, decision_lines.paths, [&](PyObject* entry) -> PyObject* {
                // The entry itself or any directory above it; the value of an
                // equality that holds is the test's value, as `a or b` gives it.
                // Plain paths are decided from their texts when that is exact.
                Known known = ancestry_equal(abs_path.get(), entry);
                Ref equal = known == Known::unknown
                                ? Ref::steal(PyObject_RichCompare(abs_path.get(), entry, Py_EQ))
                                : Ref::borrow(known == Known::yes ? Py_True : Py_False);
                int truth = equal ? is_true(equal.get()) : -1;
                if (truth != 0) {
                    return truth > 0 ? equal.release() : nullptr;
                }
                known = ancestry_in_parents(abs_path.get(), entry);
                if (known != Known::unknown) {
                    return Py_NewRef(known == Known::yes ? Py_True : Py_False);
                }
                Ref parents = Ref::steal(PyObject_GetAttr(abs_path.get(), names.parents));
                int member = parents ? PySequence_Contains(parents.get(), entry) : -1;
                return member < 0 ? nullptr : PyBool_FromLong(member);
            });
        }
        if (hit == 0) {
            hit = decision.walk(path_masks, decision_lines.path_masks, [&](PyObject* pattern) {
                return decision.match(path_str.get(), pattern);
            });
        }
        if (hit != 0) {
            return hit > 0 ? Py_NewRef(Py_True) : nullptr;
        }
    }
    if (name == Py_None) {
        Py_RETURN_FALSE;
    }
    Ref known = decision.read(env_names, decision_lines.env_names);
    if (!known) {
        return nullptr;
    }
    int member = PySequence_Contains(known.get(), name);
    if (member != 0) {
        return member > 0 ? Py_NewRef(Py_True) : function_fail(spec, globals, decision_lines.env_names);
    }
    int hit = decision.walk(env_name_masks, decision_lines.env_name_masks,
                            [&](PyObject* pattern) { return decision.match(name, pattern); });
    if (hit < 0) {
        return nullptr;
    }
    return Py_NewRef(hit > 0 ? Py_True : Py_False);
}

}  // namespace brindova::talvesh
