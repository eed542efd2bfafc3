#pragma once
// Where calitune-web reads: the station's history file, opened read-only, or
// the factory's server. Each thread that serves pages gets a connection of
// its own, since a Qt SQL connection belongs to the thread that opened it.

#include "base/Result.h"
#include "web/Page.h"

namespace Web {

enum class OpenFailure {
    Missing,       // no history file, or the history is off
    NotAHistory,   // another program's file, or another layout
    Unreachable,   // the file cannot be read, the server cannot be reached
};

struct Origin {
    QString historyFile;   // the local history, when not `server`
    QString conninfo;      // the factory's server, when `server`
    bool server = false;
};

// The calling thread's connection, opened on its first use and kept for the
// thread's life.
Result<Source, OpenFailure> sourceHere(const Origin &origin);
// Drops the calling thread's connection: a server that went away is
// reconnected on the next request.
void forgetSourceHere();

} // namespace Web
