#include "talvesh/slots.hpp"

namespace brindova::talvesh {
namespace {

// The class and the layout of its slots, valid while the class keeps the
// version tag recorded here: any change to the class (or to an attribute
// lookup hook) gives it a new tag.
struct Layout {
    PyTypeObject* cls = nullptr;
    unsigned int version = 0;
    Py_ssize_t offsets[slot_count] = {};
};

Layout layout;

// Checks that each stored name resolves, on the class itself, to a writable
// object slot described by the class's own member descriptor. Reads the class
// dict directly so that no descriptor code runs for the check.
bool layout_check(PyTypeObject* type)
{
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr ||
        !PyUnstable_Type_AssignVersionTag(type)) {
        return false;
    }
    const unsigned int version = type->tp_version_tag;
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t offsets[slot_count];
    for (int slot = 0; slot < slot_count; ++slot) {
        PyObject* raw = nullptr;
        if (PyDict_GetItemRef(dict.get(), names.slots[slot], &raw) <= 0) {
            PyErr_Clear();
            return false;
        }
        Ref descr = Ref::steal(raw);
        if (Py_TYPE(descr.get()) != &PyMemberDescr_Type) {
            return false;
        }
        auto* member = reinterpret_cast<PyMemberDescrObject*>(descr.get());
        const PyMemberDef* def = member->d_member;
        if (member->d_common.d_type != type || def->type != Py_T_OBJECT_EX ||
            (def->flags & Py_READONLY) != 0) {
            return false;
        }
        offsets[slot] = def->offset;
    }
    if (type->tp_version_tag != version) {
        return false;
    }
    for (int slot = 0; slot < slot_count; ++slot) {
        layout.offsets[slot] = offsets[slot];
    }
    layout.version = version;
    return true;
}

// The address of `slot` in `self` when the direct route is exact, else null.
PyObject** direct_address(PyObject* self, Slot slot)
{
    PyTypeObject* type = Py_TYPE(self);
    if (type != layout.cls) {
        return nullptr;
    }
    if (layout.version == 0 || type->tp_version_tag != layout.version) {
        layout.version = 0;
        if (!layout_check(type)) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + layout.offsets[slot]);
}

}  // namespace

void slots_set_class(PyObject* cls) noexcept
{
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    Py_INCREF(type);
    PyTypeObject* old = layout.cls;
    layout = Layout{type};
    Py_XDECREF(old);
}

PyObject* slot_get(PyObject* self, Slot slot) noexcept
{
    PyObject** address = direct_address(self, slot);
    if (address != nullptr && *address != nullptr) {
        return Py_NewRef(*address);
    }
    // Also the route for an unset slot, whose AttributeError the protocol words.
    return PyObject_GetAttr(self, names.slots[slot]);
}

int slot_set(PyObject* self, Slot slot, PyObject* value) noexcept
{
    PyObject** address = direct_address(self, slot);
    if (address == nullptr) {
        return PyObject_SetAttr(self, names.slots[slot], value);
    }
    // The new value is in place before the old one is released: releasing it
    // can run code that reads the slot.
    PyObject* old = *address;
    *address = Py_NewRef(value);
    Py_XDECREF(old);
    return 0;
}

}  // namespace brindova::talvesh
