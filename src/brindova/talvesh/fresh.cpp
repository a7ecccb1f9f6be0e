#include "talvesh/fresh.hpp"

#include "talvesh/interp.hpp"
#include "talvesh/verdict.hpp"

namespace brindova::talvesh {
namespace {

using verdict::slot;

// `posixpath.join(*segments)` of exact `str` segments: a segment that starts
// with the separator, or follows an empty text, replaces the text; the
// others are appended, after a separator unless the text ends in one.
Ref join(PyObject* segments, PyObject* sep)
{
    const Py_ssize_t n = PyList_GET_SIZE(segments);
    if (n == 0) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
    Ref text = Ref::borrow(PyList_GET_ITEM(segments, 0));
    for (Py_ssize_t i = 1; text && i < n; ++i) {
        PyObject* segment = PyList_GET_ITEM(segments, i);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
        if (PyUnicode_Tailmatch(segment, sep, 0, 1, -1) == 1 || length == 0) {
            text = Ref::borrow(segment);
        } else if (PyUnicode_READ_CHAR(text.get(), length - 1) == '/') {
            text = Ref::steal(PyUnicode_Concat(text.get(), segment));
        } else {
            Ref with_sep = Ref::steal(PyUnicode_Concat(text.get(), sep));
            text = with_sep ? Ref::steal(PyUnicode_Concat(with_sep.get(), segment)) : Ref();
        }
    }
    return text;
}

bool parse(PyObject* path, Parsed& out)
{
    using verdict::Member;
    for (Member m : {Member::str_slot, Member::drv_slot, Member::root_slot, Member::tail_slot}) {
        if (slot(path, m)) return false;
    }
    PyObject* raw = slot(path, Member::raw_slot);
    if (!raw || !PyList_CheckExact(raw)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(raw, i))) return false;
    }
    PyObject* sep = verdict::sep();
    Ref text = join(raw, sep);
    if (!text) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    // Exactly two leading separators stay the root; one, or three and more, make it one.
    const bool rooted = n > 0 && PyUnicode_READ_CHAR(text.get(), 0) == '/';
    const bool two = rooted && n >= 2 && PyUnicode_READ_CHAR(text.get(), 1) == '/' &&
                     !(n >= 3 && PyUnicode_READ_CHAR(text.get(), 2) == '/');
    out.drv = Ref::steal(PyUnicode_Substring(text.get(), 0, 0));
    out.root = Ref::steal(PyUnicode_Substring(text.get(), 0, rooted ? (two ? 2 : 1) : 0));
    Ref pieces = Ref::steal(PyUnicode_Split(text.get(), sep, -1));  // the root's separators give empty pieces
    out.tail = Ref::steal(PyList_New(0));
    if (!out.drv || !out.root || !pieces || !out.tail) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject* piece = PyList_GET_ITEM(pieces.get(), i);
        if (PyUnicode_GET_LENGTH(piece) == 0 || PyUnicode_CompareWithASCIIString(piece, ".") == 0) continue;
        Ref interned = Ref::steal(interp::call_o(verdict::intern(), piece));
        if (!interned || PyList_Append(out.tail.get(), interned.get()) < 0) return false;
    }
    Ref joined = Ref::steal(PyUnicode_Join(sep, out.tail.get()));
    if (joined && !rooted && PyUnicode_GET_LENGTH(joined.get()) == 0) {
        joined = Ref::steal(PyUnicode_FromStringAndSize(".", 1));
        out.str = std::move(joined);
        return bool(out.str);
    }
    out.str = joined ? Ref::steal(PyUnicode_Concat(out.root.get(), joined.get())) : Ref();
    return bool(out.str);
}

}  // namespace

bool parse_fresh(PyObject* path, Parsed& out) noexcept
{
    if (parse(path, out)) return true;
    out = Parsed{};
    PyErr_Clear();  // a failed allocation of ours, if any: the ordinary route parses
    return false;
}

void store_parsed(PyObject* path, Parsed&& parsed) noexcept
{
    using verdict::Member;
    slot(path, Member::drv_slot) = parsed.drv.release();
    slot(path, Member::root_slot) = parsed.root.release();
    slot(path, Member::tail_slot) = parsed.tail.release();
    slot(path, Member::str_slot) = parsed.str.release();
}

}  // namespace brindova::talvesh
