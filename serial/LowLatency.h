#pragma once
// Asks the system's serial driver to pass received bytes on at once instead
// of on a burst timer (a USB adapter's default is 16 ms). Linux only; a
// driver that refuses (ptys, many UARTs) is left as it is.

bool RequestLowLatency(int fd);
