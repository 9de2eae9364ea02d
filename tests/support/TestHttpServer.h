#pragma once

#include <QString>
#include <httplib.h>
#include <memory>
#include <thread>

// A cpp-httplib server on 127.0.0.1 and an ephemeral port, serving on its own
// thread: the update run's blocking greeting fetch holds the window's thread,
// so a server living there would never answer.
//
// Register handlers through server() before start(); stop() (or the
// destructor) ends the thread.
class TestHttpServer
{
public:
    TestHttpServer();
    ~TestHttpServer();

    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    httplib::Server &server() { return *m_server; }

    // Adds the named fault endpoints (see the .cpp) to server().
    void addFaultEndpoints();

    void start();
    void stop();

    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by `path`.
    QString url(const QString &path) const;

private:
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
};
