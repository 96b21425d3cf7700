// The parsed-event cache: every event file of a workspace already parsed,
// kept in one binary file beside the events ("cache/events.bin"), so that a
// run parses only the event files that are new or changed since the last.
//
// Each entry is keyed by its file's name, size, modification and change
// times, inode and device: any write, touch or replacement of the file
// misses the cache, and the file is read as it is. A cache of another
// version, cut short or damaged (its checksum) is ignored as a whole. Only
// files that parse as a JSON object are cached; any other is always read
// from its file, so every reader meets its errors exactly as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::workspace {

// What identifies one version of a file.
struct FileKey {
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  friend bool operator==(const FileKey&, const FileKey&) = default;
};

// The key of the file at `path` (not following a link); nullopt when it cannot be examined.
std::optional<FileKey> file_key(const std::filesystem::path& path);

// The cache file of the workspace whose events folder is `events_dir`.
std::filesystem::path event_cache_path(const std::filesystem::path& events_dir);

// A cache file mapped for reading.
class EventCache {
 public:
  // Maps `path`; an absent, foreign or damaged file gives an empty cache.
  explicit EventCache(const std::filesystem::path& path);
  EventCache(const EventCache&) = delete;
  EventCache& operator=(const EventCache&) = delete;
  ~EventCache();

  std::size_t size() const { return entries_.size(); }
  // The encoded event of file `name` when the cache holds it under `key`.
  std::optional<std::string_view> encoded(const std::string& name, const FileKey& key) const;

 private:
  struct Entry {
    FileKey key;
    std::string_view bytes;
  };
  void* map_ = nullptr;
  std::size_t length_ = 0;
  std::unordered_map<std::string, Entry> entries_;
};

// The event held in `bytes` (from EventCache::encoded).
json::Value decode_event(std::string_view bytes);

// Reads the event files of one folder through its cache: an entry the
// cache holds under the file's current key is decoded, anything else is
// read from the file with `projection`.
class EventReader {
 public:
  // `cache`: the cache file to read through; the workspace's own when empty.
  explicit EventReader(const std::filesystem::path& events_dir, const std::filesystem::path& cache = {});
  json::Value read(const std::string& name, const json::Projection* projection = nullptr) const;
  // The event of file `name` when the cache holds it as the file is now.
  std::optional<json::Value> cached(const std::string& name) const;

 private:
  std::filesystem::path dir_;
  EventCache cache_;
};

// How a cache was brought up to date.
struct CacheRefresh {
  std::size_t reused = 0;      // entries taken from the earlier cache
  std::size_t parsed = 0;      // files parsed
  std::size_t left_out = 0;    // files that are no JSON object (always read from the file)
};

// Writes at `target` (atomically) the cache of every event file of
// `events_dir`, taking unchanged entries from the cache at `previous` (which may be absent).
CacheRefresh refresh_event_cache(const std::filesystem::path& events_dir, const std::filesystem::path& previous,
                                 const std::filesystem::path& target);

}  // namespace varnel::workspace
