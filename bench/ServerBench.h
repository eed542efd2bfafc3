#pragma once
// Times the factory's server history against a throw-away PostgreSQL server:
// uploads, and a radio's look-up among a million records.

namespace ServerBench {

// Prints its rows; returns the exit status (non-zero when a step failed).
int run();

} // namespace ServerBench
