// Ranking the commits of a signal set's references.
#include "patstage/commit_ranks.hpp"

#include <algorithm>
#include <string_view>

namespace varnel::patstage {

CommitRanks::CommitRanks(const SignalSet& set, const OrderedIndex& commits) : ranks_(set.refs().size(), -1) {
  std::vector<const std::string*> sha_of(set.refs().size(), nullptr);
  std::vector<std::string_view> shas;
  for (std::size_t r = 0; r < sha_of.size(); ++r) {
    const std::string* sha = commits.find(set.refs().text(static_cast<std::uint32_t>(r)));
    if (sha == nullptr || sha->empty()) continue;
    sha_of[r] = sha;
    shas.push_back(*sha);
  }
  std::sort(shas.begin(), shas.end());
  shas.erase(std::unique(shas.begin(), shas.end()), shas.end());
  count_ = shas.size();
  for (std::size_t r = 0; r < sha_of.size(); ++r) {
    if (sha_of[r] == nullptr) continue;
    ranks_[r] = std::lower_bound(shas.begin(), shas.end(), std::string_view(*sha_of[r])) - shas.begin();
  }
}

}  // namespace varnel::patstage
