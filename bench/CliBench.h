#pragma once
// Times the command-line program as a script runs it: whole processes, from
// spawn to exit, against paced simulated radios.

namespace CliBench {

// Prints its rows; throws std::runtime_error when the program cannot be run.
void run();

} // namespace CliBench
