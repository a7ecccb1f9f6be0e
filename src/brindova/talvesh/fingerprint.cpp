#include "talvesh/fingerprint.hpp"

#include "talvesh/interp.hpp"

#include <cstring>

namespace brindova::talvesh {
namespace {

// 64-bit FNV-1a over a stream of tagged fields; each length comes before
// its content, so no two streams run together.
class Hash {
public:
    void byte(unsigned char b) { value_ = (value_ ^ b) * 0x100000001b3ULL; }
    void u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i) byte(static_cast<unsigned char>(v >> (8 * i)));
    }
    void u64(std::uint64_t v)
    {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void bytes(PyObject* b)
    {
        const Py_ssize_t n = PyBytes_GET_SIZE(b);
        u32(static_cast<std::uint32_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) byte(static_cast<unsigned char>(PyBytes_AS_STRING(b)[i]));
    }
    void text(PyObject* s)
    {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        u32(static_cast<std::uint32_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) u32(PyUnicode_READ_CHAR(s, i));
    }
    std::uint64_t value() const { return value_; }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

bool add_code(Hash& h, PyObject* code, int depth);

bool add_names(Hash& h, PyObject* names)
{
    if (names == nullptr || !PyTuple_CheckExact(names)) {
        return false;
    }
    h.u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(names)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) {
            return false;
        }
        h.text(name);
    }
    return true;
}

bool add_const(Hash& h, PyObject* c, int depth)
{
    if (c == Py_None || c == Py_True || c == Py_False || c == Py_Ellipsis) {
        h.byte(c == Py_None ? 'N' : c == Py_True ? 'T' : c == Py_False ? 'F' : 'E');
        return true;
    }
    if (PyLong_CheckExact(c)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(c, &overflow);
        h.byte('I');
        h.u64(static_cast<std::uint64_t>(v));
        return overflow == 0;
    }
    if (PyFloat_CheckExact(c)) {
        const double v = PyFloat_AS_DOUBLE(c);
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        h.byte('D');
        h.u64(bits);
        return true;
    }
    if (PyUnicode_CheckExact(c)) {
        h.byte('S');
        h.text(c);
        return true;
    }
    if (PyBytes_CheckExact(c)) {
        h.byte('B');
        h.bytes(c);
        return true;
    }
    if (PyTuple_CheckExact(c)) {
        h.byte('U');
        h.u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(c)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c); ++i) {
            if (depth > 8 || !add_const(h, PyTuple_GET_ITEM(c, i), depth + 1)) {
                return false;
            }
        }
        return true;
    }
    return PyCode_Check(c) && depth <= 8 && add_code(h, c, depth + 1);
}

// The accessors below return values the code object caches for its life,
// so releasing them frees nothing.
bool add_code(Hash& h, PyObject* code, int depth)
{
    PyCodeObject* co = interp::code(code);
    Ref bytecode = Ref::steal(PyCode_GetCode(co));
    Ref varnames = bytecode ? Ref::steal(PyCode_GetVarnames(co)) : Ref();
    Ref cellvars = varnames ? Ref::steal(PyCode_GetCellvars(co)) : Ref();
    Ref freevars = cellvars ? Ref::steal(PyCode_GetFreevars(co)) : Ref();
    if (!freevars || !PyBytes_CheckExact(bytecode.get()) || !PyBytes_CheckExact(co->co_exceptiontable) ||
        !PyUnicode_CheckExact(co->co_qualname) || !PyTuple_CheckExact(co->co_consts)) {
        PyErr_Clear();
        return false;
    }
    h.byte('C');
    for (int field : {co->co_argcount, co->co_posonlyargcount, co->co_kwonlyargcount, co->co_flags}) {
        h.u32(static_cast<std::uint32_t>(field));
    }
    h.text(co->co_qualname);
    h.bytes(bytecode.get());
    h.bytes(co->co_exceptiontable);
    if (!add_names(h, co->co_names) || !add_names(h, varnames.get()) || !add_names(h, cellvars.get()) ||
        !add_names(h, freevars.get())) {
        return false;
    }
    h.u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(co->co_consts)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co->co_consts); ++i) {
        if (!add_const(h, PyTuple_GET_ITEM(co->co_consts, i), depth)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool fingerprint(PyObject* code, std::uint64_t& out) noexcept
{
    Hash h;
    if (!PyCode_Check(code) || !add_code(h, code, 0)) {
        return false;
    }
    out = h.value();
    return true;
}

}  // namespace brindova::talvesh
