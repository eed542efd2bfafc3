#pragma once
// Times the local history on 100,000 records: a look-up by radio, a full
// listing, the newest records, a change feed for the upload, and one durable
// add.

namespace HistoryBench {

// Prints its rows; throws std::runtime_error when the history cannot be made.
void run();

} // namespace HistoryBench
