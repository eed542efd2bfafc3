#pragma once
// The HTTP side of calitune-web: binds, answers GET and HEAD with the pages
// over the history (and POST only at /login), until stop() is called.

#include "base/Result.h"
#include "web/Access.h"
#include "web/HistorySource.h"

#include <memory>

namespace httplib {
class Server;
}

namespace Web {

struct ServerSettings {
    Origin origin;
    QString radioPrefix;
    Access access;
};

enum class ListenFailure { CannotBind, Stopped };

class WebServer {
public:
    explicit WebServer(ServerSettings settings);
    ~WebServer();

    // The port bound: `port`, or a free one for 0.
    Result<int, ListenFailure> bind(const QString &host, int port);
    // Serves until stop(); fails when serving could not go on.
    Result<void, ListenFailure> serve();
    void stop();   // from any thread

private:
    void route();
    void guard();

    ServerSettings m_settings;
    std::unique_ptr<httplib::Server> m_http;
    int m_socket = -1;
};

} // namespace Web
