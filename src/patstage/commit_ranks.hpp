// The commit of each event reference of a signal set, numbered by the SHA's
// place in text order, so that sorting by number sorts by SHA and equal
// SHAs compare as equal integers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "patstage/event_index.hpp"
#include "patstage/signal_set.hpp"

namespace varnel::patstage {

class CommitRanks {
 public:
  CommitRanks(const SignalSet& set, const OrderedIndex& commits);

  // The rank of the reference's commit, or nothing when it has none.
  std::optional<std::uint32_t> of(std::uint32_t ref) const {
    if (ranks_[ref] < 0) return std::nullopt;
    return static_cast<std::uint32_t>(ranks_[ref]);
  }

  // The number of distinct commits.
  std::size_t count() const { return count_; }

 private:
  std::vector<std::int64_t> ranks_;
  std::size_t count_ = 0;
};

}  // namespace varnel::patstage
