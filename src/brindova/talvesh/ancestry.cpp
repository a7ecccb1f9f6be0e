#include "talvesh/ancestry.hpp"

#include "talvesh/fresh.hpp"
#include "talvesh/interp.hpp"
#include "talvesh/verdict.hpp"

#include <utility>

namespace brindova::talvesh {
namespace {

using verdict::Member;
using verdict::slot;

// Why the answer is the ordinary route's, while the verdict holds (each
// function runs code whose fingerprint is in the verdict's table, with the
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

bool usable(PyObject* abs_path, PyObject* entry)
{
    return Py_TYPE(abs_path) == Py_TYPE(entry) && verdict::usable(Py_TYPE(abs_path));
}

// Parses a fresh absolute path as its first `str()` would, and stores the
// same values in the same slots, the text also as `_str_normcase_cached`.
// False, with the path untouched and no exception, when the path is not such
// a path.
bool parse_fresh_absolute(PyObject* path)
{
    Parsed parsed;
    if (slot(path, Member::normcase_slot) || !parse_fresh(path, parsed) || PyUnicode_GET_LENGTH(parsed.root.get()) == 0) {
        return false;
    }
    slot(path, Member::normcase_slot) = Py_NewRef(parsed.str.get());
    store_parsed(path, std::move(parsed));
    return true;
}

bool exact_str(PyObject* s) { return s && PyUnicode_CheckExact(s); }

}  // namespace

Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept
{
    if (!usable(abs_path, entry)) return Known::unknown;
    PyObject* theirs = slot(entry, Member::normcase_slot);
    if (!slot(abs_path, Member::normcase_slot) && theirs) parse_fresh_absolute(abs_path);
    PyObject* mine = slot(abs_path, Member::normcase_slot);
    if (!exact_str(mine) || !exact_str(theirs)) return Known::unknown;
    return mine == theirs || PyUnicode_Compare(mine, theirs) == 0 ? Known::yes : Known::no;
}

Known ancestry_in_parents(PyObject* abs_path, PyObject* entry) noexcept
{
    if (!usable(abs_path, entry)) return Known::unknown;
    PyObject* drv = slot(abs_path, Member::drv_slot);
    PyObject* root = slot(abs_path, Member::root_slot);
    PyObject* tail = slot(abs_path, Member::tail_slot);
    if (!exact_str(drv) || !exact_str(root) || PyUnicode_GET_LENGTH(root) == 0 || !tail || !PyList_CheckExact(tail)) {
        return Known::unknown;
    }
    const Py_ssize_t parts = PyList_GET_SIZE(tail);
    for (Py_ssize_t i = 0; i < parts; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(tail, i))) return Known::unknown;
    }
    if (parts == 0) return Known::no;  // no ancestors: the entry's text is never read
    PyObject* text = slot(entry, Member::normcase_slot);
    if (!exact_str(text)) return Known::unknown;
    // Ancestor k, for 0 <= k < parts, has the text drv + root + "/".join(tail[:k]).
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t pos = 0;
    auto take = [&](PyObject* part) {
        const Py_ssize_t end = pos + PyUnicode_GET_LENGTH(part);
        return PyUnicode_Tailmatch(text, part, std::exchange(pos, end), end, -1) == 1;
    };
    if (!take(drv) || !take(root)) return Known::no;
    for (Py_ssize_t k = 0;; ++k) {
        if (pos == length) return Known::yes;
        if (k + 1 == parts) return Known::no;  // ancestor k + 1 would be abs_path itself
        if (k > 0 && (PyUnicode_READ_CHAR(text, pos++) != '/')) return Known::no;
        if (!take(PyList_GET_ITEM(tail, k))) return Known::no;
    }
}

}  // namespace brindova::talvesh
