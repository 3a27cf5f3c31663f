// Real temporary directories and files for the scanner's unit tests.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orva::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orva-unit-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

    // Writes bytes to name (replacing it) and returns the full path.
    std::string write(std::string_view name, std::string_view bytes) const {
        const std::string full = *this / name;
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + full);
        return full;
    }

private:
    std::string path_;
};

// The descriptors this process holds, as listed in /proc/self/fd (the listing's own
// descriptor left out).
inline std::set<int> openDescriptors() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::stoi(entry->d_name);
        if (fd != own) fds.insert(fd);
    }
    ::closedir(dir);
    return fds;
}

}  // namespace orva::testing
