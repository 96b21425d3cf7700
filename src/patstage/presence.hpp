// Presence-pattern discovery: the mere presence of another family's event
// on a commit may shift a git metric (commits that change the lockfile touch
// more files). For each non-git family the git commits split into treated
// (they also carry that family's signal) and control, and each git metric
// is compared between the groups by Cohen's d.
#pragma once

#include <cstdint>
#include <vector>

#include "common/json_value.hpp"
#include "patstage/event_index.hpp"
#include "patstage/logger.hpp"
#include "patstage/params.hpp"
#include "patstage/signal_set.hpp"

namespace varnel::patstage {

// The candidate records, by family in first-seen order and within a family
// by git metric in first-seen order. Logs their number at info level when
// there are any. Throws MissingKeyError when a signal with a measure and a
// commit lacks engine_id or metric. With `evidence`, appends for each
// candidate the event references (numbers of `signals.refs()`) of the
// signals on its treated commits.
json::Array discover_presence_patterns(const SignalSet& signals, const OrderedIndex& commits, const Params& params,
                                       Logger& log, std::vector<std::vector<std::uint32_t>>* evidence = nullptr);

}  // namespace varnel::patstage
