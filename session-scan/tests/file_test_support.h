// Real temporary directories and files, and the names and texts put in them, for
// the scanner's unit tests.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orva-unit-XXXXXX").string();
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

// A Unix socket bound at path, its descriptor closed: an entry that is no regular file
// and cannot be opened like one.
inline void makeSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path))
        throw std::runtime_error("socket path too long: " + path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool bound =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    const int error = errno;
    ::close(fd);
    if (!bound) throw std::runtime_error("bind " + path + ": " + std::strerror(error));
}

// The chat file name of session n, in the dashed 36-byte form of a session id.
inline std::string chatFileName(std::size_t n) {
    char name[64];
    std::snprintf(name, sizeof name, "%08zx-0000-4000-8000-%012zx.jsonl", n, n);
    return name;
}

// unit, times times over.
inline std::string repeat(std::string_view unit, std::size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

}  // namespace orva::testing
