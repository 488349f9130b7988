#include "vorn/data/EventuallyJournal.h"

#include "vorn/core/FileUtils.h"
#include "vorn/core/JsonAccess.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <system_error>

namespace vorn {
namespace {

constexpr std::size_t kChecksumDigits = 16;

std::string checksumOf(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < kChecksumDigits / 2; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

EventuallyJournal::EventuallyJournal(std::filesystem::path file) : file_(std::move(file)) {}

EventuallyJournal::~EventuallyJournal() {
    close();
}

std::string EventuallyJournal::lineOf(const nlohmann::json& entry) {
    const std::string text = entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return checksumOf(text) + " " + text + "\n";
}

EventuallyJournal::Contents EventuallyJournal::read(std::uint64_t maxBytes) const {
    Contents contents;
    std::ifstream in(file_, std::ios::binary);
    std::error_code sizeError;
    const std::uint64_t size = std::filesystem::file_size(file_, sizeError);
    if (!in || sizeError) return contents;
    std::string bytes(static_cast<std::size_t>(std::min(size, maxBytes)), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            contents.tornTail = true;  // the last append was cut short
            break;
        }
        const std::string_view line(bytes.data() + start, end - start);
        start = end + 1;
        const bool framed = line.size() > kChecksumDigits + 1 && line[kChecksumDigits] == ' ';
        const std::string_view text = framed ? line.substr(kChecksumDigits + 1) : std::string_view{};
        if (framed && line.substr(0, kChecksumDigits) == checksumOf(text)) {
            auto entry = jsonutil::parse(text);
            if (entry.is_object()) {
                contents.entries.push_back(std::move(entry));
                continue;
            }
        }
        contents.unreadable.emplace_back(line);
    }
    return contents;
}

bool EventuallyJournal::open() {
    if (fd_ >= 0) return true;
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    return fd_ >= 0;
}

void EventuallyJournal::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool EventuallyJournal::append(const nlohmann::json& entry, bool flush) {
    if (!open()) return false;
    if (writeAll(fd_, lineOf(entry)) && (!flush || ::fdatasync(fd_) == 0)) return true;
    close();
    return false;
}

bool EventuallyJournal::rewrite(const std::vector<nlohmann::json>& entries) {
    std::string text;
    for (const auto& entry : entries) text += lineOf(entry);
    close();  // appends go to the new file from now on
    return fileutils::writeFileAtomically(file_, text);
}

void EventuallyJournal::setAside(const std::vector<std::string>& lines) const {
    if (lines.empty()) return;
    std::ofstream out(file_.string() + ".rejected", std::ios::binary | std::ios::app);
    for (const auto& line : lines) out << line << '\n';
}

}  // namespace vorn
