#pragma once
// SIGTERM, SIGHUP and SIGINT as requests to quit: told on the window's
// thread, so that a running exchange can end properly first.

#include <functional>

class QObject;

namespace QuitSignals {

// `onSignal` gets the signal number; the watch lives as long as `parent`.
void Watch(QObject *parent, std::function<void(int signal)> onSignal);

} // namespace QuitSignals
