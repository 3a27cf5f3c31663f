// Test-only seam in openRegularFile, compiled in only when file_access.cpp is built
// with ORVA_FILE_ACCESS_HOOKS (the orva_file_access_hooked object library). The
// production library never sees this header.
#pragma once

#include <string>

namespace orva::hooks {

// Called after the path's lstat accepted a regular file and before the open, so a
// test can swap the file inside that window.
inline void (*betweenStatusAndOpen)(const std::string& path) = nullptr;

}  // namespace orva::hooks
