#include "common/traceback.hpp"

#include <frameobject.h>

#include <cstddef>
#include <cstring>

namespace brindova {
namespace {

// The same (function, line) pairs fail again and again; their code objects are
// made once and kept for the life of the process. Entries are never released:
// a static destructor would run after the interpreter is gone.
struct CachedCode {
    const char* filename;
    const char* function;
    int line;
    PyCodeObject* code;
};

constexpr std::size_t code_cache_capacity = 160;
CachedCode code_cache[code_cache_capacity];
std::size_t code_cache_size = 0;

PyCodeObject* code_for(const char* filename, const char* function, int line)
{
    for (std::size_t i = 0; i < code_cache_size; ++i) {
        const CachedCode& c = code_cache[i];
        if (c.line == line && std::strcmp(c.function, function) == 0 &&
            std::strcmp(c.filename, filename) == 0) {
            return reinterpret_cast<PyCodeObject*>(Py_NewRef(c.code));
        }
    }
    // An empty code object maps every instruction to its first line, so a
    // frame made from it reports exactly `line`.
    PyCodeObject* code = PyCode_NewEmpty(filename, function, line);
    if (code != nullptr && code_cache_size < code_cache_capacity) {
        Py_INCREF(code);
        code_cache[code_cache_size++] = {filename, function, line, code};
    }
    return code;
}

}  // namespace

void traceback_add(const char* filename, const char* function, int line, PyObject* globals) noexcept
{
    // Making the code object can call into Python (the file-system codec), which
    // must not run with an exception pending.
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        return;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(code_for(filename, function, line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace brindova
