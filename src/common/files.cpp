// Whole-file reads and atomic whole-file writes on POSIX.
#include "common/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "common/errors.hpp"

namespace varnel::files {

namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void throw_os(const std::filesystem::path& path) { throw OsError(errno, path.string()); }

// A name no other writer in this or another process is using right now.
std::filesystem::path temp_name_for(const std::filesystem::path& target) {
  static std::atomic<unsigned long> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string name(1, '.');
  name.append(target.filename().string());
  name.append(".tmp");
  for (auto part : {static_cast<unsigned long>(::getpid()), counter.fetch_add(1),
                    static_cast<unsigned long>(stamp % 1000000)}) {
    name.append(std::to_string(part)).push_back('.');
  }
  return target.parent_path() / name;
}

}  // namespace

std::string read_text(const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_os(path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_os(path);
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    throw_os(path);
  }
  // Fills `buffer` from the file until it is full or the file ends; returns the bytes read.
  auto read_into = [&](char* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
      const ssize_t n = ::read(fd.get(), buffer + filled, size - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_os(path);
      }
      if (n == 0) break;
      filled += static_cast<std::size_t>(n);
    }
    return filled;
  };
  std::string out;
  out.resize(static_cast<std::size_t>(st.st_size));
  out.resize(read_into(out.data(), out.size()));
  if (out.size() == static_cast<std::size_t>(st.st_size)) {
    // The file may have grown since it was measured; what follows comes in
    // pieces, so that the common case never copies the whole text again.
    char more[65536];
    while (const std::size_t n = read_into(more, sizeof more)) out.append(more, n);
  }
  return out;
}

AtomicFile::AtomicFile(std::filesystem::path path) : path_(std::move(path)) {
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temp_ = temp_name_for(path_);
    // Mode 0666 lets the process umask decide, as for any newly created file.
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) throw_os(path_);
  }
  if (fd_ < 0) throw_os(path_);
  struct stat existing {};
  if (::stat(path_.c_str(), &existing) == 0 && ::fchmod(fd_, existing.st_mode & 07777) != 0) fail();
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
  }
}

void AtomicFile::fail() {
  const int err = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temp_.c_str());
  errno = err;
  throw_os(path_);
}

void AtomicFile::write(std::string_view text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail();
    }
    written += static_cast<std::size_t>(n);
  }
}

void AtomicFile::commit() {
  if (::fsync(fd_) != 0) fail();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp_.c_str());
    errno = err;
    throw_os(path_);
  }
}

void write_atomic(const std::filesystem::path& path, std::string_view content) {
  AtomicFile file(path);
  file.write(content);
  file.commit();
}

void make_dirs(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw OsError(ec.value(), path.string());
}

}  // namespace varnel::files
