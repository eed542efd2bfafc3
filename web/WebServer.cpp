#include "web/WebServer.h"
#include "web/FleetPage.h"
#include "web/HistoryRows.h"
#include "web/HomePage.h"
#include "web/RadioPage.h"
#include "web/StationsPage.h"

#include <httplib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <sys/socket.h>

namespace Web {

namespace {

constexpr int WorkerThreads = 16;
// The library's own build queues 5 connections: fifty clients at once would
// see dropped connects and a second's wait for the retry.
constexpr int ListenBacklog = 128;
constexpr size_t LongestRequestBody = 16 * 1024;
const char Html[] = "text/html; charset=utf-8";

std::string utf8(const QString &text)
{
    return text.toStdString();
}

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The query as the browser sent it; a form's '+' is a space.
QUrlQuery queryOf(const httplib::Request &req)
{
    const size_t mark = req.target.find('?');
    std::string raw = mark == std::string::npos ? std::string() : req.target.substr(mark + 1);
    for (char &c : raw)
        if (c == '+')
            c = ' ';
    return QUrlQuery(QString::fromUtf8(raw.data(), qsizetype(raw.size())));
}

QString styleSheet()
{
    static const QString css = [] {
        QFile f(QStringLiteral(":/web/style.css"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }();
    return css;
}

QString frame(const Page &page, const QString &body)
{
    return QStringLiteral("<!DOCTYPE html><html lang=en><head><meta charset=utf-8>"
                          "<meta name=viewport content=\"width=device-width, initial-scale=1\">"
                          "<title>%1 \u00b7 Calitune</title><link rel=stylesheet href=\"/style.css\"></head><body>"
                          "<header><a class=brand href=\"/\">Calitune</a><nav><a href=\"/\">Radios</a>"
                          "<a href=\"/stations\">Stations</a><a href=\"/fleet\">Fleet</a></nav></header>"
                          "<main>%2</main></body></html>")
        .arg(escaped(page.title), body);
}

void respond(httplib::Response &res, const Page &page, const QString &format)
{
    res.status = page.status;
    if (format == u"json") {
        const QJsonDocument doc = page.json.isArray() ? QJsonDocument(page.json.toArray())
                                                      : QJsonDocument(page.json.toObject());
        res.set_content(doc.toJson(QJsonDocument::Compact).toStdString(), "application/json");
    } else if (format == u"csv" && page.status == 200) {
        res.set_content(utf8(page.csv), "text/csv; charset=utf-8");
    } else {
        res.set_content(utf8(frame(page, page.html)), Html);
    }
}

QString loginForm(const QString &next, const QString &problem)
{
    return QStringLiteral("<h1>Sign in</h1>%1<form class=login method=post action=\"/login\">"
                          "<input type=hidden name=next value=\"%2\">"
                          "<label>Token <input type=password name=token autocomplete=current-password autofocus></label>"
                          " <button>Sign in</button></form>")
        .arg(problem.isEmpty() ? QString() : QStringLiteral("<p class=error>%1</p>").arg(escaped(problem)),
             escaped(next));
}

// Only a path on this server: never another site after signing in.
QString safeNext(const QString &next)
{
    return next.startsWith(u'/') && !next.startsWith(QLatin1String("//")) && !next.contains(u'\\') ? next
                                                                                                   : QStringLiteral("/");
}

void askToSignIn(httplib::Response &res, const QString &next, const QString &problem, const QString &format)
{
    Page page = errorPage(401, QStringLiteral("Sign in"), QStringLiteral("This server needs its token."));
    page.html = loginForm(next, problem);
    res.set_header("WWW-Authenticate", "Bearer realm=\"calitune-web\"");
    respond(res, page, format);
}

QString statusText(int status)
{
    switch (status) {
    case 404: return QStringLiteral("There is no such page.");
    case 405: return QStringLiteral("This server only reads: GET and HEAD.");
    case 413: return QStringLiteral("The request is too large.");
    default: return QStringLiteral("The request cannot be answered.");
    }
}

} // namespace

WebServer::WebServer(ServerSettings settings)
    : m_settings(std::move(settings)), m_http(std::make_unique<httplib::Server>())
{
    m_http->new_task_queue = [] { return new httplib::ThreadPool(WorkerThreads); };
    // No SO_REUSEPORT: a second server on a port in use must fail to bind.
    m_http->set_socket_options([this](socket_t sock) {
        m_socket = sock;   // the last one made is the one bound
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_http->set_keep_alive_timeout(2);
    m_http->set_read_timeout(10);
    m_http->set_write_timeout(10);
    m_http->set_payload_max_length(LongestRequestBody);
    m_http->set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                                 {"X-Content-Type-Options", "nosniff"},
                                 {"X-Frame-Options", "DENY"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"Cache-Control", "no-store"}});
    guard();
    route();
}

WebServer::~WebServer() = default;

void WebServer::guard()
{
    m_http->set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        const bool login = req.path == "/login";
        if (req.method != "GET" && req.method != "HEAD" && !(login && req.method == "POST")) {
            res.status = 405;
            res.set_header("Allow", login ? "GET, HEAD, POST" : "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;   // the error handler writes the page
        }
        if (login || m_settings.access.allows(QByteArray::fromStdString(req.get_header_value("Authorization")),
                                              QByteArray::fromStdString(req.get_header_value("Cookie"))))
            return httplib::Server::HandlerResponse::Unhandled;
        askToSignIn(res, fromUtf8(req.target), QString(), queryOf(req).queryItemValue(QStringLiteral("format")));
        return httplib::Server::HandlerResponse::Handled;
    });
    m_http->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req, httplib::Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        Page page = errorPage(res.status, QStringLiteral("Not answered"), statusText(res.status));
        respond(res, page, queryOf(req).queryItemValue(QStringLiteral("format")));
        return httplib::Server::HandlerResponse::Handled;
    }));
    m_http->set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        respond(res, errorPage(503, QStringLiteral("Not answered"), QStringLiteral("The page could not be made.")),
                QString());
    });
}

void WebServer::route()
{
    using PageFunction = std::function<Page(const Source &, const QUrlQuery &)>;
    auto serving = [this](PageFunction make) {
        return [this, make](const httplib::Request &req, httplib::Response &res) {
            const QUrlQuery query = queryOf(req);
            const QString format = query.queryItemValue(QStringLiteral("format"));
            if (!format.isEmpty() && format != u"html" && format != u"json" && format != u"csv")
                return respond(res, errorPage(400, QStringLiteral("Bad format"),
                                              QStringLiteral("?format= is html, json or csv.")), QString());
            const Result<Source, OpenFailure> source = sourceHere(m_settings.origin);
            if (!source)
                return respond(res, errorPage(503, QStringLiteral("No history"), source.text()), format);
            const Page page = make(*source, query);
            if (page.status == 503)
                forgetSourceHere();   // a server gone away is reached anew next time
            if (format == u"csv" && page.status == 200 && page.csv.isEmpty())
                return respond(res, errorPage(400, page.title, QStringLiteral("This page has no table as CSV.")), format);
            respond(res, page, format);
        };
    };
    const QString prefix = m_settings.radioPrefix;
    m_http->Get("/", serving([prefix](const Source &s, const QUrlQuery &q) { return homePage(s, q, prefix); }));
    m_http->Get("/radio", serving([prefix](const Source &s, const QUrlQuery &q) { return radioPage(s, q, prefix); }));
    m_http->Get("/stations", serving([](const Source &s, const QUrlQuery &q) {
        return stationsPage(s, q, QDateTime::currentDateTimeUtc());
    }));
    m_http->Get("/fleet", serving([](const Source &s, const QUrlQuery &q) { return fleetPage(s, q); }));
    m_http->Get("/style.css", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(utf8(styleSheet()), "text/css; charset=utf-8");
    });
    m_http->Get("/login", [](const httplib::Request &req, httplib::Response &res) {
        askToSignIn(res, safeNext(queryOf(req).queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded)), QString(), QString());
        res.status = 200;
    });
    m_http->Post("/login", [this](const httplib::Request &req, httplib::Response &res) {
        const QString next = safeNext(fromUtf8(req.get_param_value("next")));
        if (!m_settings.access.isToken(QByteArray::fromStdString(req.get_param_value("token"))))
            return askToSignIn(res, next, QStringLiteral("That is not the token."), QString());
        res.set_header("Set-Cookie", m_settings.access.cookie().toStdString());
        res.set_redirect(utf8(next), 303);
    });
}

Result<int, ListenFailure> WebServer::bind(const QString &host, int port)
{
    const std::string address = utf8(host);
    const int bound = port == 0 ? m_http->bind_to_any_port(address) : (m_http->bind_to_port(address, port) ? port : -1);
    if (bound <= 0)
        return Failure{ListenFailure::CannotBind,
                       QStringLiteral("cannot listen on %1:%2: %3").arg(host).arg(port).arg(QString::fromLocal8Bit(strerror(errno)))};
    ::listen(m_socket, ListenBacklog);   // a listening socket takes a longer queue
    return bound;
}

Result<void, ListenFailure> WebServer::serve()
{
    if (!m_http->listen_after_bind())
        return Failure{ListenFailure::Stopped, QStringLiteral("the server stopped accepting connections")};
    return {};
}

void WebServer::stop()
{
    m_http->stop();
}

} // namespace Web
