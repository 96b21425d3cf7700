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

// A file written in pieces that replaces `path` only on commit(): readers
// see the old file or the whole new one, never a mix. Until then the text
// goes to a temporary file beside the target, removed if the writer is
// dropped without committing. An existing file's permission bits are kept.
class AtomicFile {
 public:
  explicit AtomicFile(std::filesystem::path path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  void write(std::string_view text);
  // Flushes to disk and renames over the target.
  void commit();

 private:
  [[noreturn]] void fail();
  std::filesystem::path path_;
  std::filesystem::path temp_;
  int fd_ = -1;
};

// Replaces `path` with `content` atomically (an AtomicFile written at once).
void write_atomic(const std::filesystem::path& path, std::string_view content);

// Creates `path` and any missing parents; an existing directory is fine.
void make_dirs(const std::filesystem::path& path);

}  // namespace varnel::files
