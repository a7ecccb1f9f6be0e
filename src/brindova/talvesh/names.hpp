// Constants of brindova.talvesh: interned names made once, at the first exec,
// and kept for the life of the process (no static destructor may release
// them: it would run after the interpreter is gone).
#pragma once

#include "common/guard.hpp"

namespace brindova::talvesh {

inline constexpr const char* source_path = "src/brindova/talvesh";

// The six lists of a rule set, in the order of its slots.
enum Slot : int { files, file_masks, paths, path_masks, env_names, env_name_masks, slot_count };

struct Names {
    PyObject* Path;
    PyObject* fnmatch;
    PyObject* resolve;
    PyObject* name;
    PyObject* parents;
    PyObject* empty;
    PyObject* add_note;
    // The stored attribute names, "_LoaderIgnore__files" and so on.
    PyObject* slots[slot_count];
};

extern Names names;
extern ModuleGuard guard;

}  // namespace brindova::talvesh
