#include "tests/support/TestHttpServer.h"

#include <stdexcept>

TestHttpServer::TestHttpServer() : m_server(std::make_unique<httplib::Server>())
{
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        throw std::runtime_error("test server: cannot bind a loopback port");
}

TestHttpServer::~TestHttpServer()
{
    stop();
}

void TestHttpServer::start()
{
    // The socket is already bound and listening, so clients that connect
    // before the accept loop runs simply wait in the backlog.
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

void TestHttpServer::stop()
{
    if (!m_thread.joinable())
        return;
    m_server->stop();
    m_thread.join();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void TestHttpServer::addFaultEndpoints()
{
    httplib::Server &s = *m_server;
    s.Get("/404", [](const httplib::Request &, httplib::Response &res) {
        res.status = 404;
        res.set_content("404 Not Found", "text/html");
    });
    s.Get("/500", [](const httplib::Request &, httplib::Response &res) {
        res.status = 500;
        res.set_content("500 Internal Server Error", "text/html");
    });
}
