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

// `path._str_normcase`, the text that `==` compares, as that property gives
// it and leaves it cached: the cached text, else `str(path)` (its cached
// `_str`, else the parts parsed and stored as that first `str()` stores
// them). Null, with the path untouched and no exception, when that is not
// an exact `str` that could be had without running code.
PyObject* normcase(PyObject* path)
{
    PyObject* cached = slot(path, Member::normcase_slot);
    if (cached) return PyUnicode_CheckExact(cached) ? cached : nullptr;
    PyObject* text = slot(path, Member::str_slot);
    Parsed parsed;
    if (text ? !PyUnicode_CheckExact(text) : !parse_fresh(path, parsed)) return nullptr;
    if (!text) {
        text = parsed.str.get();
        store_parsed(path, std::move(parsed));
    }
    slot(path, Member::normcase_slot) = Py_NewRef(text);
    return text;
}

bool exact_str(PyObject* s) { return s && PyUnicode_CheckExact(s); }

}  // namespace

Known ancestry_equal(PyObject* abs_path, PyObject* entry) noexcept
{
    // `__eq__` reads its own side's text first; both are cached either way.
    PyObject* mine = usable(abs_path, entry) ? normcase(abs_path) : nullptr;
    PyObject* theirs = mine ? normcase(entry) : nullptr;
    if (!theirs) return Known::unknown;
    return mine == theirs || PyUnicode_Compare(mine, theirs) == 0 ? Known::yes : Known::no;
}

int ancestry_contains(PyObject* list, PyObject* value) noexcept
{
    // As a list's `in` walks: its length read anew at each step, each entry
    // held while it is compared by `==`, identity first.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list, i));
        const Known known = entry.get() == value ? Known::yes : ancestry_equal(entry.get(), value);
        const int found = known == Known::unknown ? PyObject_RichCompareBool(entry.get(), value, Py_EQ) : known == Known::yes;
        if (found != 0) return found;
    }
    return 0;
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
