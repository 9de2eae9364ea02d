#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <httplib.h>

// What the scripted endpoint answers to one request. A body is sent chunked,
// so that the server library never cuts it to the asked range by itself,
// unless it is `sized`.
struct ScriptedReply {
    int status = 200;
    QByteArray body{};
    QByteArray type = "application/octet-stream";
    QByteArray etag{};
    // Offers byte ranges, and serves the one asked for whatever If-Range says.
    bool ranges = false;
    // The Content-Range a 206 names instead of the one served.
    QByteArray contentRange{};
    int retryAfter = 0;
    // Sends the body only up to this byte (-1: whole), then holds the
    // connection for `stall` (or until the server stops) and closes it, or,
    // with `endAtCut`, ends the body there as if it were whole.
    qint64 cutAt = -1;
    std::chrono::milliseconds stall{0};
    bool endAtCut = false;
    // Sends the body in 10-byte pieces this far apart.
    std::chrono::milliseconds pace{0};
    // Announces the whole body's length (not for a reply to a Range).
    bool sized = false;
    // Announces 64 MiB and fills them with the body over and over: far past any cap.
    bool endless = false;
};

// One request the scripted endpoint saw: its Range and If-Range headers
// joined by '|', and when it came.
struct ScriptedRequest {
    QByteArray ranges;
    qint64 atMs = 0;
};

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
    ~TestHttpServer() { stop(); }

    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    httplib::Server &server() { return *m_server; }

    // The body of /bytes/<size>: a pattern whose period (251) is prime to
    // every block size and which differs between sizes, so that a body cut
    // short, shifted or taken from another size never compares equal.
    static QByteArray pattern(qint64 size);

    // Adds to server(): /bytes/<n>, pattern(n) with its length; /slow,
    // pattern(2000) in 20 pieces 25 ms apart; /hops/<n>, a redirect to
    // /hops/<n - 1> down to /hops/0, which is /bytes/1000; and /script<anything>, which answers its
    // n-th request with the n-th reply of setScript(), or its last.
    void addFaultEndpoints();
    void setScript(const QList<ScriptedReply> &replies);
    QList<ScriptedRequest> scriptedRequests() const;

    void start();
    void stop();

    // "http://127.0.0.1:<port>" followed by `path`.
    QString url(const QString &path) const;

private:
    void script(const httplib::Request &req, httplib::Response &res);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    QList<ScriptedReply> m_script;
    QList<ScriptedRequest> m_requests;
    std::atomic<bool> m_stopping = false;
};
