#include "talvesh/slots.hpp"

namespace brindova::talvesh {

void SlotLayout::set_class(PyObject* cls) noexcept
{
    PyTypeObject* old = cls_;
    cls_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    version_ = 0;
    Py_XDECREF(old);
}

// Each stored name must resolve, on the class itself, to a writable object
// slot described by the class's own member descriptor, and attribute access
// must be the generic one. The class dict is read directly so that no
// descriptor code runs for the check.
void SlotLayout::check(PyTypeObject* type) noexcept
{
    version_ = 0;
    if (!PyUnstable_Type_AssignVersionTag(type)) {
        return;  // no tag to pin a verdict to: checked again next time
    }
    const unsigned int armed = type->tp_version_tag;
    bool direct = type->tp_getattro == PyObject_GenericGetAttr &&
                  type->tp_setattro == PyObject_GenericSetAttr;
    Py_ssize_t offsets[slot_count] = {};
    Ref dict = direct ? Ref::steal(PyType_GetDict(type)) : Ref();
    direct = direct && dict;
    for (int slot = 0; direct && slot < slot_count; ++slot) {
        PyObject* raw = nullptr;
        direct = PyDict_GetItemRef(dict.get(), names.slots[slot], &raw) > 0;
        Ref descr = Ref::steal(raw);
        direct = direct && Py_TYPE(descr.get()) == &PyMemberDescr_Type;
        if (direct) {
            auto* member = reinterpret_cast<PyMemberDescrObject*>(descr.get());
            const PyMemberDef* def = member->d_member;
            direct = member->d_common.d_type == type && def->type == Py_T_OBJECT_EX &&
                     (def->flags & Py_READONLY) == 0;
            offsets[slot] = def->offset;
        }
    }
    PyErr_Clear();
    if (type->tp_version_tag != armed) {
        return;  // uncovered: nothing can change the class while the check reads it: the lookups compare exact str keys (type_setattro stores no other kind), so no Python code runs
    }
    direct_ = direct;
    for (int slot = 0; slot < slot_count; ++slot) {
        offsets_[slot] = offsets[slot];
    }
    version_ = armed;
}

PyObject** SlotLayout::address(PyObject* self, Slot slot) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    if (type != cls_) {
        return nullptr;
    }
    if (version_ == 0 || type->tp_version_tag != version_) {
        check(type);
        if (version_ == 0) {
            return nullptr;
        }
    }
    return direct_ ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offsets_[slot]) : nullptr;
}

void slots_set_class(PyObject* cls) noexcept
{
    slot_layout.set_class(cls);
}

PyObject* slot_get(PyObject* self, Slot slot) noexcept
{
    PyObject** address = slot_layout.address(self, slot);
    if (address != nullptr && *address != nullptr) {
        return Py_NewRef(*address);
    }
    // Also the route for an unset slot, whose AttributeError the protocol words.
    return PyObject_GetAttr(self, names.slots[slot]);
}

int slot_set(PyObject* self, Slot slot, PyObject* value) noexcept
{
    PyObject** address = slot_layout.address(self, slot);
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
