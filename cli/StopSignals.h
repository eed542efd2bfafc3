#pragma once
// Ctrl+C, SIGTERM and SIGHUP during an exchange: the step on the wire ends,
// the radio is taken out of programming mode, the record is completed, and
// the program exits with 128 + the signal. A second signal during that
// wind-down gives it at most 2 s more.

namespace StopSignals {

void Install();
bool Requested();
int Signal();   // the first signal caught; 0 when none

} // namespace StopSignals
