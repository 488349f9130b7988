#include "vorn/core/FileUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace vorn::fileutils {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string contents(maxBytes + 1, '\0');
    in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (in.bad()) return std::nullopt;
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > maxBytes) return std::nullopt;
    contents.resize(got);
    return contents;
}

bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);

    auto temporary = path;
    temporary += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;

    bool ok = true;
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    if (path.has_parent_path()) {
        const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

}  // namespace vorn::fileutils
