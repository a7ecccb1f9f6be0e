#include "talvesh/matcher.hpp"

#include "common/lookup.hpp"
#include "common/namespace.hpp"
#include "talvesh/state.hpp"

namespace brindova::talvesh {
namespace {

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    fnmatch_cache.changed();
    return 0;
}

// Looks `fnmatch` up as the module's code would: the module namespace, then
// the builtins, then the attribute of whatever was found.
Ref lookup(PyObject* globals)
{
    const std::uint64_t armed = fnmatch_cache.arm();
    bool cacheable = fnmatch_cache.watch(globals);
    bool in_globals = false;
    Ref holder = lookup_global(globals, guard.builtins, names.fnmatch, &in_globals);
    if (!holder) {
        return {};
    }
    cacheable = cacheable && in_globals;
    if (PyModule_CheckExact(holder.get())) {
        // The module type defines no attribute of this name, so a plain
        // module's attribute is its namespace entry, when it has one.
        PyObject* ns = PyModule_GetDict(holder.get());
        cacheable = cacheable && fnmatch_cache.watch(ns);
        PyObject* raw = nullptr;
        if (PyDict_GetItemRef(ns, names.fnmatch, &raw) < 0) {
            return {};
        }
        Ref function = Ref::steal(raw);
        if (function) {
            if (cacheable) {
                fnmatch_cache.commit(armed, globals, holder.get(), function.get());
            }
            return function;
        }
    }
    return Ref::steal(PyObject_GetAttr(holder.get(), names.fnmatch));
}

}  // namespace

void FnmatchCache::init() noexcept
{
    if (watcher_ < 0) {
        watcher_ = PyDict_AddWatcher(on_dict_change);
        if (watcher_ < 0) {
            PyErr_Clear();  // uncovered: PyDict_AddWatcher fails only when C code holds all eight watcher slots; Python cannot add a watcher
        }
    }
}

PyObject* FnmatchCache::get(PyObject* globals) const noexcept
{
    // A module's class can be reassigned without touching its namespace.
    const bool valid = function_ != nullptr && committed_at_ == changes_ && globals_ == globals &&
                       PyModule_CheckExact(module_);
    return valid ? function_ : nullptr;
}

bool FnmatchCache::watch(PyObject* dict) noexcept
{
    return watch_namespace(watcher_, dict);
}

void FnmatchCache::commit(std::uint64_t armed, PyObject* globals, PyObject* module,
                          PyObject* function) noexcept
{
    if (armed != changes_) {
        return;  // uncovered: code can change a namespace during the lookup only through a key that is not an exact str (its __eq__), and a namespace holding such a key is never cached: commit always sees the count it armed with
    }
    // Borrowed: the two watched dicts hold the module and the function, and
    // any event of either (their deallocation too) ends the entry before it
    // can be read again. A reference held here would keep a replaced fnmatch,
    // and all it refers to, alive until the next decision.
    globals_ = globals;
    module_ = module;
    function_ = function;
    committed_at_ = changes_;
}

void matcher_init() noexcept
{
    fnmatch_cache.init();
}

PyObject* matcher_call(PyObject* globals, PyObject* text, PyObject* pattern) noexcept
{
    PyObject* remembered = fnmatch_cache.get(globals);
    Ref function = remembered != nullptr ? Ref::borrow(remembered) : lookup(globals);
    if (!function) {
        return nullptr;
    }
    PyObject* args[] = {nullptr, text, pattern};
    return PyObject_Vectorcall(function.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace brindova::talvesh
