// Text of the warning a module issues when it runs on an interpreter whose
// major.minor version differs from the one it was compiled for. Kept free of
// the Python headers so that the text can be checked on any interpreter.
#pragma once

#include <cstddef>
#include <cstdio>

namespace brindova {

inline constexpr std::size_t version_warning_capacity = 200;

// Formats the warning into `buffer`, truncating like snprintf; returns the
// length the full text would have had.
inline int version_warning_text(char (&buffer)[version_warning_capacity], const char* module_name,  // uncovered: the warning text is made only on a version mismatch, and the module runs only on the major.minor it was built for: the ABI tag of its file name keeps any other interpreter from loading it
                                int compiled_major, int compiled_minor, int runtime_major,
                                int runtime_minor) noexcept
{
    return std::snprintf(buffer, sizeof buffer,  // uncovered: as above
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         compiled_major, compiled_minor, module_name, "does not match", runtime_major,
                         runtime_minor);  // uncovered: as above
}

}  // namespace brindova
