// The parsed-event cache: its binary form, reading it and bringing it up to date.
//
// Layout (little-endian): "VRNLEVC1", u32 version, u32 entry count, u64
// checksum of the body; then the body: for each entry its name (u32 length
// and bytes), key (five 64-bit fields), and encoded event (u64 length and
// bytes). An encoded value is a tag byte and its content: integers and
// reals as 8 bytes, texts and big integers as u32 length and bytes, arrays
// as u32 count and elements, objects as u32 count and (key, value) pairs.
#include "workspace/event_cache.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "workspace/event_files.hpp"

namespace varnel::workspace {

namespace {

constexpr std::string_view kMagic = "VRNLEVC1";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeader = 8 + 4 + 4 + 8;

enum Tag : unsigned char { kNull, kFalse, kTrue, kInt, kBigInt, kReal, kText, kArray, kObject };

// A fast checksum that finds a file cut short or changed by accident (not by intent).
std::uint64_t checksum(std::string_view bytes, std::uint64_t h = 0x9E3779B97F4A7C15ULL) {
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  for (; i < bytes.size(); ++i) h = (h ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ULL;
  return h;
}

template <typename T>
void put(std::string& out, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  out.append(raw, sizeof(T));
}

void put_text(std::string& out, std::string_view text) {
  put<std::uint32_t>(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

void encode(const json::Value& v, std::string& out) {
  switch (v.kind()) {
    case json::Value::Kind::Null:
      out.push_back(static_cast<char>(kNull));
      break;
    case json::Value::Kind::Bool:
      out.push_back(static_cast<char>(v.as_bool() ? kTrue : kFalse));
      break;
    case json::Value::Kind::Int:
      out.push_back(static_cast<char>(kInt));
      put<std::int64_t>(out, v.as_int());
      break;
    case json::Value::Kind::BigInt:
      out.push_back(static_cast<char>(kBigInt));
      put_text(out, v.as_bigint().digits);
      break;
    case json::Value::Kind::Real:
      out.push_back(static_cast<char>(kReal));
      put<double>(out, v.as_real());
      break;
    case json::Value::Kind::String:
      out.push_back(static_cast<char>(kText));
      put_text(out, v.as_string());
      break;
    case json::Value::Kind::Array:
      out.push_back(static_cast<char>(kArray));
      put<std::uint32_t>(out, static_cast<std::uint32_t>(v.as_array().size()));
      for (const json::Value& e : v.as_array()) encode(e, out);
      break;
    case json::Value::Kind::Object:
      out.push_back(static_cast<char>(kObject));
      put<std::uint32_t>(out, static_cast<std::uint32_t>(v.as_object().size()));
      for (const json::Member& m : v.as_object()) {
        put_text(out, m.key);
        encode(m.value, out);
      }
      break;
  }
}

// Reads the body of a cache; every read is bounds-checked, so a damaged
// cache fails here rather than reading past its end.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
  bool done() const { return at_ == bytes_.size(); }

  template <typename T>
  T take() {
    T value;
    std::memcpy(&value, need(sizeof(T)), sizeof(T));
    return value;
  }
  std::string_view text() {
    const auto n = take<std::uint32_t>();
    return {need(n), n};
  }
  std::string_view bytes(std::uint64_t n) { return {need(n), static_cast<std::size_t>(n)}; }

  json::Value value(int depth = 0) {
    if (depth > json::kMaxDepth) throw InvalidValueError("the event cache nests too deeply");
    switch (take<unsigned char>()) {
      case kNull: return json::Value();
      case kFalse: return json::Value(false);
      case kTrue: return json::Value(true);
      case kInt: return json::Value(take<std::int64_t>());
      case kBigInt: return json::Value(json::BigInt{std::string(text())});
      case kReal: return json::Value(take<double>());
      case kText: return json::Value(std::string(text()));
      case kArray: {
        const auto n = take<std::uint32_t>();
        json::Array items;
        items.reserve(std::min<std::size_t>(n, bytes_.size() - at_));
        for (std::uint32_t i = 0; i < n; ++i) items.push_back(value(depth + 1));
        return json::Value(std::move(items));
      }
      case kObject: {
        const auto n = take<std::uint32_t>();
        json::Object members;
        members.reserve(std::min<std::size_t>(n, bytes_.size() - at_));
        for (std::uint32_t i = 0; i < n; ++i) {
          std::string key(text());
          members.append(std::move(key), value(depth + 1));
        }
        return json::Value(std::move(members));
      }
      default: throw InvalidValueError("the event cache holds an unknown value");
    }
  }

 private:
  const char* need(std::uint64_t n) {
    if (n > bytes_.size() - at_) throw InvalidValueError("the event cache is cut short");
    const char* p = bytes_.data() + at_;
    at_ += static_cast<std::size_t>(n);
    return p;
  }
  std::string_view bytes_;
  std::size_t at_ = 0;
};

void put_entry(std::string& out, const std::string& name, const FileKey& key, std::string_view encoded) {
  put_text(out, name);
  put<std::uint64_t>(out, key.size);
  put<std::int64_t>(out, key.mtime_ns);
  put<std::int64_t>(out, key.ctime_ns);
  put<std::uint64_t>(out, key.inode);
  put<std::uint64_t>(out, key.device);
  put<std::uint64_t>(out, encoded.size());
  out.append(encoded);
}

}  // namespace

std::optional<FileKey> file_key(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
#ifdef __APPLE__  // the same times under Apple's names
  const timespec& modified = info.st_mtimespec;
  const timespec& changed = info.st_ctimespec;
#else
  const timespec& modified = info.st_mtim;
  const timespec& changed = info.st_ctim;
#endif
  return FileKey{static_cast<std::uint64_t>(info.st_size),
                 static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec,
                 static_cast<std::int64_t>(changed.tv_sec) * 1000000000 + changed.tv_nsec,
                 static_cast<std::uint64_t>(info.st_ino), static_cast<std::uint64_t>(info.st_dev)};
}

std::filesystem::path event_cache_path(const std::filesystem::path& events_dir) {
  return events_dir.parent_path() / "cache" / "events.bin";
}

EventCache::EventCache(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) >= kHeader) {
    length_ = static_cast<std::size_t>(info.st_size);
    map_ = ::mmap(nullptr, length_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map_ == MAP_FAILED) map_ = nullptr;
  }
  ::close(fd);
  if (map_ == nullptr) return;
  const std::string_view all(static_cast<const char*>(map_), length_);
  try {
    Cursor header(all.substr(0, kHeader));
    if (header.bytes(kMagic.size()) != kMagic || header.take<std::uint32_t>() != kVersion) return;
    const auto count = header.take<std::uint32_t>();
    const auto sum = header.take<std::uint64_t>();
    const std::string_view body = all.substr(kHeader);
    if (checksum(body) != sum) return;
    Cursor cursor(body);
    entries_.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string name(cursor.text());
      Entry entry;
      entry.key.size = cursor.take<std::uint64_t>();
      entry.key.mtime_ns = cursor.take<std::int64_t>();
      entry.key.ctime_ns = cursor.take<std::int64_t>();
      entry.key.inode = cursor.take<std::uint64_t>();
      entry.key.device = cursor.take<std::uint64_t>();
      entry.bytes = cursor.bytes(cursor.take<std::uint64_t>());
      entries_.emplace(std::move(name), entry);
    }
    if (!cursor.done()) entries_.clear();
  } catch (const Error&) {
    entries_.clear();
  }
}

EventCache::~EventCache() {
  if (map_ != nullptr) ::munmap(map_, length_);
}

std::optional<std::string_view> EventCache::encoded(const std::string& name, const FileKey& key) const {
  auto it = entries_.find(name);
  if (it == entries_.end() || !(it->second.key == key)) return std::nullopt;
  return it->second.bytes;
}

json::Value decode_event(std::string_view bytes) {
  Cursor cursor(bytes);
  json::Value event = cursor.value();
  if (!cursor.done()) throw InvalidValueError("the event cache holds more than one value in an entry");
  return event;
}

EventReader::EventReader(const std::filesystem::path& events_dir, const std::filesystem::path& cache)
    : dir_(events_dir), cache_(cache.empty() ? event_cache_path(events_dir) : cache) {}

std::optional<json::Value> EventReader::cached(const std::string& name) const {
  if (cache_.size() == 0) return std::nullopt;
  const auto key = file_key(dir_ / name);
  const auto bytes = key ? cache_.encoded(name, *key) : std::nullopt;
  if (!bytes) return std::nullopt;
  try {
    return decode_event(*bytes);
  } catch (const Error&) {
    return std::nullopt;  // a damaged entry: the file itself says what it holds
  }
}

json::Value EventReader::read(const std::string& name, const json::Projection* projection) const {
  if (auto event = cached(name)) return projection != nullptr ? json::project(std::move(*event), *projection)
                                                               : std::move(*event);
  return json::read_file(dir_ / name, projection);
}

CacheRefresh refresh_event_cache(const std::filesystem::path& events_dir, const std::filesystem::path& previous,
                                 const std::filesystem::path& target) {
  CacheRefresh done;
  const EventCache earlier(previous);
  std::string body;
  std::uint32_t count = 0;
  std::string fresh;
  for (const std::string& name : list_event_files(events_dir)) {
    const std::filesystem::path path = events_dir / name;
    const auto key = file_key(path);
    if (!key) continue;  // not a regular file: the run refuses it elsewhere
    if (const auto bytes = earlier.encoded(name, *key)) {
      put_entry(body, name, *key, *bytes);
      ++done.reused;
      ++count;
      continue;
    }
    json::Value event;
    try {
      event = json::read_file(path);
    } catch (const Error&) {
      ++done.left_out;
      continue;
    }
    ++done.parsed;
    if (!event.is_object() || file_key(path) != key) {  // not an event, or changed while read
      ++done.left_out;
      continue;
    }
    fresh.clear();
    encode(event, fresh);
    put_entry(body, name, *key, fresh);
    ++count;
  }
  std::string header(kMagic);
  put<std::uint32_t>(header, kVersion);
  put<std::uint32_t>(header, count);
  put<std::uint64_t>(header, checksum(body));
  files::make_dirs(target.parent_path());
  files::AtomicFile out(target);
  out.write(header);
  out.write(body);
  out.commit();
  return done;
}

}  // namespace varnel::workspace
