// Reads and stores of a rule set's six slots.
//
// They are ordinary attribute accesses on the instance, so a subclass's
// __getattribute__ or __setattr__, or a class attribute put in place of a
// slot, sees or decides each one. For an instance of exactly LoaderIgnore
// whose class is unchanged since its slot descriptors were checked, the slot
// is accessed at its offset instead: the result is the one the attribute
// protocol would give, without its lookups.
#pragma once

#include "common/ref.hpp"
#include "talvesh/state.hpp"

namespace brindova::talvesh {

// Remembers the class whose instances may take the direct route.
void slots_set_class(PyObject* cls) noexcept;

// The value of `slot` on `self` (new reference), or null with an exception set.
PyObject* slot_get(PyObject* self, Slot slot) noexcept;

// Stores `value` into `slot` on `self`; 0, or -1 with an exception set.
int slot_set(PyObject* self, Slot slot, PyObject* value) noexcept;

}  // namespace brindova::talvesh
