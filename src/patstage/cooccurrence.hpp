// Co-occurrence discovery: pairs of metrics of two different families whose
// deviations move together. Observations are aligned first by commit, then,
// for the pairs the commit pass did not accept, by time window (families
// observe at very different rates, so shared commits are often too few). A
// pair is accepted by its confidence-weighted correlation or, failing that,
// by how much more often than chance its metrics deviate together.
#pragma once

#include <cstdint>
#include <vector>

#include "common/json_value.hpp"
#include "patstage/event_index.hpp"
#include "patstage/logger.hpp"
#include "patstage/params.hpp"
#include "patstage/signal_set.hpp"

namespace varnel::patstage {

// The candidate records of every accepted pair: the commit pass's in pair
// order, then the temporal pass's. Logs the degenerate signals skipped and
// the temporal pass's finds at info level, constant series at debug level.
// Throws MissingKeyError when a signal with a measure lacks engine_id or
// metric. With `evidence`, appends for each candidate the event references
// (numbers of `signals.refs()`) of the observations where both metrics moved.
json::Array discover_cooccurrences(const SignalSet& signals, const EventIndexes& events, const Params& params,
                                   Logger& log, std::vector<std::vector<std::uint32_t>>* evidence = nullptr);

}  // namespace varnel::patstage
