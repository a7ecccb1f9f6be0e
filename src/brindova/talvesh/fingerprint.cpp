#include "talvesh/fingerprint.hpp"

#include "talvesh/interp.hpp"

namespace brindova::talvesh {
namespace {

// 64-bit FNV-1a over a stream of tagged fields; each length comes before
// its content, so no two streams run together.
struct Hash {
    std::uint64_t value = 0xcbf29ce484222325ULL;

    void byte(unsigned char b) { value = (value ^ b) * 0x100000001b3ULL; }
    void u32(std::uint32_t v)
    {
        for (int i = 0; i < 32; i += 8) byte(static_cast<unsigned char>(v >> i));
    }
    void u64(std::uint64_t v) { u32(static_cast<std::uint32_t>(v)), u32(static_cast<std::uint32_t>(v >> 32)); }
    void bytes(PyObject* b)
    {
        u32(static_cast<std::uint32_t>(PyBytes_GET_SIZE(b)));
        for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(b); ++i) byte(static_cast<unsigned char>(PyBytes_AS_STRING(b)[i]));
    }
    void text(PyObject* s)
    {
        u32(static_cast<std::uint32_t>(PyUnicode_GET_LENGTH(s)));
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(s); ++i) u32(PyUnicode_READ_CHAR(s, i));
    }
    // Name tuples hold exact `str` only: the code constructor sees to it.
    void names(PyObject* t)
    {
        u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(t)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i) text(PyTuple_GET_ITEM(t, i));
    }
    bool constant(PyObject* c, int depth);
    bool code(PyObject* code, int depth);
};

bool Hash::constant(PyObject* c, int depth)
{
    if (depth > 8) {
        return false;  // deeper than any trusted code nests: not followed
    }
    if (c == Py_None || c == Py_True || c == Py_False) {
        byte(c == Py_None ? 'N' : (c == Py_True ? 'T' : 'F'));
        return true;
    }
    if (PyLong_CheckExact(c)) {
        int overflow = 0;
        byte('I'), u64(static_cast<std::uint64_t>(PyLong_AsLongLongAndOverflow(c, &overflow)));
        return overflow == 0;
    }
    if (PyUnicode_CheckExact(c)) {
        return byte('S'), text(c), true;
    }
    if (PyBytes_CheckExact(c)) {
        return byte('B'), bytes(c), true;
    }
    if (PyTuple_CheckExact(c)) {
        byte('U'), u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(c)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c); ++i) {
            if (!constant(PyTuple_GET_ITEM(c, i), depth + 1)) return false;
        }
        return true;
    }
    return PyCode_Check(c) && code(c, depth + 1);
}

// The accessors below return values that the code object caches for its
// life, so releasing them frees nothing.
bool Hash::code(PyObject* obj, int depth)
{
    PyCodeObject* co = interp::code(obj);
    Ref bytecode = Ref::steal(PyCode_GetCode(co));
    Ref varnames = bytecode ? Ref::steal(PyCode_GetVarnames(co)) : Ref();
    Ref cellvars = varnames ? Ref::steal(PyCode_GetCellvars(co)) : Ref();
    Ref freevars = cellvars ? Ref::steal(PyCode_GetFreevars(co)) : Ref();
    if (!freevars) {
        PyErr_Clear();  // uncovered: a failed allocation of ours, which cannot happen: a code object makes its bytes and name tuples once and keeps them; the first check, at the first paths decision, makes them before any failure the sweep injects, and every later check allocates nothing
        return false;  // uncovered: as above
    }
    byte('C');
    for (int field : {co->co_argcount, co->co_posonlyargcount, co->co_kwonlyargcount, co->co_flags}) {
        u32(static_cast<std::uint32_t>(field));
    }
    text(co->co_qualname), bytes(bytecode.get()), bytes(co->co_exceptiontable);
    for (PyObject* t : {co->co_names, varnames.get(), cellvars.get(), freevars.get()}) names(t);
    u32(static_cast<std::uint32_t>(PyTuple_GET_SIZE(co->co_consts)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co->co_consts); ++i) {
        if (!constant(PyTuple_GET_ITEM(co->co_consts, i), depth)) return false;
    }
    return true;
}

}  // namespace

bool fingerprint(PyObject* code, std::uint64_t& out) noexcept
{
    Hash h;
    if (!h.code(code, 0)) return false;
    out = h.value;
    return true;
}

}  // namespace brindova::talvesh
