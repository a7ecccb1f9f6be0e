// The rule set's bodies: construction, the six getters and the decision.
// Each runs after binding, on the bound arguments.
#pragma once

#include "talvesh/function.hpp"
#include "talvesh/state.hpp"
#include "talvesh/slots.hpp"

namespace brindova::talvesh {

// __init__: builds the six lists and stores them into the slots.
PyObject* rules_init(const FunctionSpec& spec, PyObject* globals, PyObject* const* args) noexcept;

// is_ignored: whether `path` or `name` matches a rule.
PyObject* rules_is_ignored(const FunctionSpec& spec, PyObject* globals, PyObject* const* args) noexcept;

// The getter of one slot: the list itself, read by ordinary attribute lookup.
template <Slot slot>
PyObject* rules_get(const FunctionSpec& spec, PyObject* globals, PyObject* const* args) noexcept
{
    PyObject* list = slot_get(args[0], slot);
    return list != nullptr ? list : function_fail(spec, globals, spec.first_line + 2);
}

}  // namespace brindova::talvesh
