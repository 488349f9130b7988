#pragma once

// Files written so that a reader (or the emulator after a crash) sees either
// the old content or the whole new one, never part of it.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vorn::emulator {

// Writes bytes to a temporary file next to `target`, flushes it to disk and
// renames it into place; the folder must exist. Throws std::system_error.
void writeFileAtomically(const std::filesystem::path& target, const std::string& bytes, mode_t mode = 0644);

}  // namespace vorn::emulator
