// Test-only seams in file_access.cpp, compiled in only when it is built with
// ORVA_FILE_ACCESS_HOOKS (the orva_file_access_hooked object library). The
// production library never sees this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orva::hooks {

// Called after the path's lstat accepted a regular file and before the open, so a
// test can swap the file inside that window.
inline void (*betweenStatusAndOpen)(const std::string& path) = nullptr;

// Called with every range advised to the kernel and every range read, before the
// call, so that a test can compare the two.
inline void (*onAdvise)(int fd, std::int64_t offset, std::size_t length) = nullptr;
inline void (*onRead)(int fd, std::int64_t offset, std::size_t length) = nullptr;

}  // namespace orva::hooks
