#pragma once
// Ctrl+C, SIGTERM and SIGHUP during an exchange: the step on the wire ends,
// the radio is taken out of programming mode, the record is completed, and
// the program exits with 128 + the signal. A second signal during that
// wind-down hurries it (one exit attempt) and gives it at most 2 s more;
// after those the program says so and exits with 128 + the first signal.

namespace StopSignals {

void Install();
bool Requested();
bool Hurried();   // a second signal came
int Signal();   // the first signal caught; 0 when none

} // namespace StopSignals
