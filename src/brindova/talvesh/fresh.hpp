// What the first `str()` of a path computes and stores: `_parse_path` of its
// `_raw_path` (the raw segments joined as `posixpath.join` joins them, the
// posix splitroot, the non-empty parts other than `.`, each through
// `sys.intern`), then the text `drv + root + "/".join(tail)`, or `"/".join(tail)`
// or "." without a root. Only for a path of a class the verdict found usable.
#pragma once

#include "common/ref.hpp"

namespace brindova::talvesh {

struct Parsed {
    Ref drv, root, tail, str;
};

// True with `out` filled when none of the path's parsed slots is set and its
// raw segments are exact `str` in an exact list; false, with no exception
// and the path untouched, otherwise (a failed allocation of ours included:
// the ordinary route then parses).
bool parse_fresh(PyObject* path, Parsed& out) noexcept;

// Stores what `parse_fresh` made in the slots that `str()` fills.
void store_parsed(PyObject* path, Parsed&& parsed) noexcept;

}  // namespace brindova::talvesh
