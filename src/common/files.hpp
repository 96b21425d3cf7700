// Whole-file reads and atomic whole-file writes. Every output file of the
// system is written to a temporary file beside it and renamed over the
// target, so a failure never leaves a half-written file behind.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varnel::files {

// The bytes of a file. Throws OsError (with the errno) when it cannot be read.
std::string read_text(const std::filesystem::path& path);

// Replaces `path` with `content` atomically: readers see the old file or the
// new one, never a mix. An existing file's permission bits are kept.
void write_atomic(const std::filesystem::path& path, std::string_view content);

// Creates `path` and any missing parents; an existing directory is fine.
void make_dirs(const std::filesystem::path& path);

}  // namespace varnel::files
