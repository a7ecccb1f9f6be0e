#include "talvesh/resolve.hpp"

#include "talvesh/fresh.hpp"
#include "talvesh/interp.hpp"
#include "talvesh/realpath.hpp"
#include "talvesh/state.hpp"
#include "talvesh/verdict.hpp"

#include <cstring>
#include <string_view>

namespace brindova::talvesh {
namespace {

// Why the native answer is the ordinary route's, while the verdict holds
// for the path's class (verdict.cpp: `resolve`, `__fspath__`, `__str__` and
// what it reaches, `os.path.realpath` and the posixpath, os and stat
// functions and globals it reads, each trusted by fingerprint) and nothing
// observes the calls that route makes:
// - `resolve()` is `self.with_segments(os.path.realpath(self, strict=False))`.
//   realpath takes `os.fspath(self)`, that is `str(self)`: the cached `_str`
//   when set, else the text parsed from the raw segments (fresh.hpp), which
//   that first `str()` also stores on the path. `with_segments` makes a new
//   path of the same class holding only `_raw_paths = [text]`.
// - realpath runs on text with exact `str` methods, a dict and a list; what
//   it calls is posix's getcwd, lstat and readlink, whose only effects that
//   Python could see are their results and the OSError of a failure, which
//   it catches: realpath.cpp makes the same calls on the same bytes.
// - The bytes are the text's encoding in the file system's encoding, which
//   is UTF-8 with surrogateescape (checked at exec), and the text must
//   survive a round trip through it. Then encoding maps the text's parts
//   one to one onto the bytes' parts between separators, and the decoded
//   answer is the text the ordinary route joins from the same parts.
// - Nothing is stored or made visible before the answer is had. The walk
//   keeps the GIL: no other thread can change what the verdict checked, or
//   look at the path, while it runs. The ordinary route lets other threads
//   run between its system calls, but need not: a run in which none does is
//   one it can have too. A signal that is pending, or an exception another
//   thread has set for this one, would be raised inside the ordinary route;
//   either sends the call that way.
// Otherwise, and on any failure of ours, the ordinary route runs from the
// start and raises what it raises, with its own traceback.

bool utf8_fs = false;

// The text's bytes, when it has a round trip through the file system's
// encoding and no NUL (which posix refuses with a ValueError).
bool encode(PyObject* text, Ref& holder, std::string_view& bytes)
{
    if (PyUnicode_IS_ASCII(text)) {
        bytes = {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    } else {
        holder = Ref::steal(PyUnicode_EncodeFSDefault(text));
        Ref back = holder ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(holder.get()),
                                                                        PyBytes_GET_SIZE(holder.get())))
                          : Ref();
        if (!back || PyUnicode_Compare(back.get(), text) != 0) return false;
        bytes = {PyBytes_AS_STRING(holder.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(holder.get()))};
    }
    return std::memchr(bytes.data(), 0, bytes.size()) == nullptr;
}

// The new path, made as `type(path)(text)` makes it, or null.
Ref new_path(PyTypeObject* type, const Bytes& resolved)
{
    Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(resolved.data(), static_cast<Py_ssize_t>(resolved.size())));
    Ref segments = text ? Ref::steal(PyList_New(1)) : Ref();
    Ref result = segments ? Ref::steal(type->tp_alloc(type, 0)) : Ref();
    if (!result) return {};
    PyList_SET_ITEM(segments.get(), 0, text.release());
    verdict::slot(result.get(), verdict::Member::raw_slot) = segments.release();
    return result;
}

// The native answer, or null with no exception when there is none.
PyObject* native(PyObject* path)
{
    PyTypeObject* type = Py_TYPE(path);
    if (!utf8_fs || type->tp_alloc != PyType_GenericAlloc || !verdict::usable(type)) return nullptr;
    Parsed parsed;
    PyObject* text = verdict::slot(path, verdict::Member::str_slot);
    if (text ? !PyUnicode_CheckExact(text) : !parse_fresh(path, parsed)) return nullptr;
    if (!text) text = parsed.str.get();
    Ref encoded;
    std::string_view bytes;
    if (!encode(text, encoded, bytes)) {
        PyErr_Clear();  // a failed allocation of ours, if any
        return nullptr;
    }
    Bytes resolved;
    if (realpath(bytes, resolved) == Walk::retreat || interp::interrupted(PyThreadState_Get())) return nullptr;
    Ref result = new_path(type, resolved);
    if (!result) {
        PyErr_Clear();  // a failed allocation of ours: the ordinary route runs
        return nullptr;
    }
    if (parsed.str) store_parsed(path, std::move(parsed));
    return result.release();
}

}  // namespace

int resolve_init() noexcept
{
    // The file system's encoding is fixed at startup: UTF-8 with
    // surrogateescape is told by bytes of both kinds (what decodes them so
    // encodes them back).
    static constexpr char text[] = "\xc3\xa9\x80/";
    Ref decoded = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(text, 4));
    Ref expected = decoded ? Ref::steal(PyUnicode_DecodeUTF8(text, 4, "surrogateescape")) : Ref();
    if (!expected) return -1;  // surrogateescape decodes any bytes: out of memory
    utf8_fs = PyUnicode_Compare(decoded.get(), expected.get()) == 0;
    return 0;
}

Ref resolve(PyObject* path) noexcept
{
    if (PyObject* answer = native(path)) return Ref::steal(answer);
    return Ref::steal(PyObject_CallMethodNoArgs(path, names.resolve));
}

}  // namespace brindova::talvesh
