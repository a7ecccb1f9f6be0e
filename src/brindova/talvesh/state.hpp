// Everything brindova.talvesh keeps for the whole process, in one place: the
// interned names, the module guard, the type of the native functions and the
// two caches of the decision. All of it is made at the first exec (or at first
// use) and kept for the life of the process; none of it is ever released (a
// static destructor would run after the interpreter is gone). The objects are
// defined in module.cpp; the caches' code is in matcher.cpp and slots.cpp.
#pragma once

#include <cstdint>

#include "common/guard.hpp"

namespace brindova::talvesh {

inline constexpr const char* source_path = "src/brindova/talvesh";

// The six lists of a rule set, in the order of its slots.
// clang-format off: the formatter would put one enumerator a line
enum Slot : int { files, file_masks, paths, path_masks, env_names, env_name_masks, slot_count };
// clang-format on

struct Names {
    PyObject* Path;
    PyObject* fnmatch;
    PyObject* resolve;
    PyObject* name;
    PyObject* parents;
    PyObject* empty;
    PyObject* add_note;
    PyObject* replace;
    // The stored attribute names, "_LoaderIgnore__files" and so on.
    PyObject* slots[slot_count];
};

// The `fnmatch` function found by the last full lookup that went the common
// way: `fnmatch` a global of the module, holding a plain module whose own
// namespace has `fnmatch`, both dicts holding only exact `str` keys (another
// key could compare equal to "fnmatch" by code of its own, and change its
// answer without changing the dict). The answer then depends only on those
// two dicts.
//
// Invariant: the entry is served only while no watched dict has changed since
// the lookup that made it began. A dict watcher counts every event of every
// watched dict, its deallocation included (it runs inside the dict operation,
// so it only counts); the entry's pointers are borrowed, as what they point to
// stays held by the two dicts until one of them has an event. A
// lookup arms by reading the count and watching each dict before reading it,
// and commits its result only if the count is still the one it armed with: a
// change made during the lookup itself (by a colliding key's __eq__, say) is
// never covered up.
class FnmatchCache {
public:
    // Registers the watcher; when that fails nothing is ever remembered.
    void init() noexcept;
    // The remembered function for a lookup in `globals` (borrowed), or null.
    PyObject* get(PyObject* globals) const noexcept;
    // Starts a lookup: the count that commit() will check.
    std::uint64_t arm() const noexcept { return changes_; }
    // Has `dict` watched before it is read; false (no exception) when it
    // cannot be or holds a key that is not an exact `str`: the lookup must
    // then not be committed.
    bool watch(PyObject* dict) noexcept;
    // Remembers the lookup's result unless a change was seen since `armed`.
    void commit(std::uint64_t armed, PyObject* globals, PyObject* module, PyObject* function) noexcept;
    // Called by the watcher.
    void changed() noexcept { ++changes_; }

private:
    int watcher_ = -1;
    std::uint64_t changes_ = 0;
    std::uint64_t committed_at_ = 0;  // changes_ when the entry was committed
    // Borrowed, and read only while no watched dict has changed.
    PyObject* globals_ = nullptr;
    PyObject* module_ = nullptr;
    PyObject* function_ = nullptr;  // null: no entry
};

// The offsets of LoaderIgnore's six slots, for reading and storing them
// directly on instances of exactly that class.
//
// Invariant: `direct_` and `offsets_` are the verdict on the class as it was
// at version tag `version_` (0: no verdict). A check arms by reading the tag,
// reads the class dict without running code, and commits its verdict, good or
// bad, only if the tag is unchanged at the end. Any change to the class (a
// replaced slot descriptor, an assigned __getattribute__) gives it a new tag,
// so a verdict is never served for a class other than the one checked.
class SlotLayout {
public:
    void set_class(PyObject* cls) noexcept;
    // The address of `slot` in `self` when the direct route gives what the
    // attribute protocol would, else null (no exception).
    PyObject** address(PyObject* self, Slot slot) noexcept;

private:
    void check(PyTypeObject* type) noexcept;

    PyTypeObject* cls_ = nullptr;  // strong
    unsigned int version_ = 0;
    bool direct_ = false;
    Py_ssize_t offsets_[slot_count] = {};
};

// Also per thread, and so kept where it is used: the number of native calls
// nested in one another (function.cpp).

extern Names names;
extern ModuleGuard guard;
extern PyTypeObject* function_type;  // made by function_type_ready
extern FnmatchCache fnmatch_cache;
extern SlotLayout slot_layout;

}  // namespace brindova::talvesh
