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
        return {};
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name,
                                                   bases.get(), ns, nullptr));
}

}  // namespace brindova
