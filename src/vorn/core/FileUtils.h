#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::fileutils {

/// Reads a whole file; empty optional when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);
/// Reads a whole file of at most `maxBytes`; empty when it cannot be read or is larger.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes);

/// Replaces `path` with `contents` so that a crash leaves either the old or
/// the new file, never a torn one: a temporary file beside it is written,
/// flushed to disk and renamed over it. Creates missing parent folders.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

}  // namespace vorn::fileutils
