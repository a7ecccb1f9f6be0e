#include "common/namespace.hpp"

#include "common/intern.hpp"

namespace brindova {

int dict_set_str(PyObject* dict, const char* key, const char* text) noexcept
{
    Ref value = interned(text);
    return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

Ref new_class(PyObject* name, PyObject* ns) noexcept
{
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return {};  // uncovered: PyTuple_New(0) hands out the interpreter's immortal empty tuple and allocates nothing
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name,
                                                   bases.get(), ns, nullptr));
}

bool watch_namespace(int watcher, PyObject* dict) noexcept
{
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();  // uncovered: the watcher id is negative only when PyDict_AddWatcher failed (C code holds all eight slots), and every namespace given is a dict: PyDict_Watch cannot fail
        return false;  // uncovered: as above
    }
    PyObject* key = nullptr;
    for (Py_ssize_t pos = 0; PyDict_Next(dict, &pos, &key, nullptr);) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

}  // namespace brindova
