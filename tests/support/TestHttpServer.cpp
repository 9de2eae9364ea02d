#include "tests/support/TestHttpServer.h"

using namespace std::chrono;

TestHttpServer::TestHttpServer() : m_server(std::make_unique<httplib::Server>())
{
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        throw std::runtime_error("test server: cannot bind a loopback port");
}

void TestHttpServer::start()
{
    // The socket is already bound and listening, so clients that connect
    // before the accept loop runs simply wait in the backlog. But stop() is
    // a no-op until the loop runs, so a server stopped right after start()
    // would leave the loop to block forever: wait until it is running.
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    const auto deadline = steady_clock::now() + seconds(10);
    while (!m_server->is_running() && steady_clock::now() < deadline)
        std::this_thread::yield();
}

void TestHttpServer::stop()
{
    if (!m_thread.joinable())
        return;
    // A stalled reply gives up, or stop() would wait for it.
    m_stopping = true;
    m_server->stop();
    m_thread.join();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

QByteArray TestHttpServer::pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + size) % 251);
    return bytes;
}

void TestHttpServer::setScript(const QList<ScriptedReply> &replies)
{
    const std::lock_guard lock(m_mutex);
    m_script = replies;
    m_requests.clear();
}

QList<ScriptedRequest> TestHttpServer::scriptedRequests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

void TestHttpServer::addFaultEndpoints()
{
    httplib::Server &s = *m_server;
    s.Get(R"(/bytes/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        res.set_content(pattern(std::stoll(req.matches[1].str())).toStdString(),
                        "application/octet-stream");
    });
    s.Get("/slow", [](const httplib::Request &, httplib::Response &res) {
        const std::string body = pattern(2000).toStdString();
        res.set_content_provider(2000, "application/octet-stream",
                                 [body](size_t offset, size_t, httplib::DataSink &sink) {
                                     std::this_thread::sleep_for(milliseconds(25));
                                     return sink.write(body.data() + offset, 100);
                                 });
    });
    s.Get(R"(/hops/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        const int hops = std::stoi(req.matches[1].str());
        if (hops == 0)
            return res.set_content(pattern(1000).toStdString(), "application/octet-stream");
        res.set_redirect("/hops/" + std::to_string(hops - 1));
    });
    s.Get("/script.*",
          [this](const httplib::Request &req, httplib::Response &res) { script(req, res); });
}

void TestHttpServer::script(const httplib::Request &req, httplib::Response &res)
{
    const std::string range = req.get_header_value("Range");
    ScriptedReply reply;
    {
        const std::lock_guard lock(m_mutex);
        reply = m_script.at(std::min(m_requests.size(), m_script.size() - 1));
        m_requests.append(
            {QByteArray::fromStdString(range + '|' + req.get_header_value("If-Range")),
             duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()});
    }
    res.status = reply.status;
    if (!reply.etag.isEmpty())
        res.set_header("ETag", reply.etag.toStdString());
    if (reply.retryAfter)
        res.set_header("Retry-After", std::to_string(reply.retryAfter));
    if (reply.ranges)
        res.set_header("Accept-Ranges", "bytes");
    if (reply.endless) {
        const std::string body = reply.body.toStdString();
        return res.set_content_provider(
            64 << 20, reply.type.toStdString(),
            [this, body](size_t offset, size_t, httplib::DataSink &sink) {
                const size_t at = offset % body.size();
                return !m_stopping && sink.write(body.data() + at, body.size() - at);
            });
    }
    const bool ranged = reply.ranges && range.starts_with("bytes=");
    const qint64 from = ranged ? std::stoll(range.substr(6)) : 0;
    const size_t dash = range.find('-');
    const qint64 last = ranged && dash + 1 < range.size() ? std::stoll(range.substr(dash + 1))
                                                          : reply.body.size() - 1;
    if (from > 0 || last < reply.body.size() - 1) {
        res.status = 206;
        res.set_header("Content-Range", reply.contentRange.isEmpty()
                                            ? "bytes " + std::to_string(from) + '-' +
                                                  std::to_string(last) + '/' +
                                                  std::to_string(reply.body.size())
                                            : reply.contentRange.toStdString());
    }
    const qint64 end = std::min(reply.cutAt < 0 ? reply.body.size() : reply.cutAt, last + 1);
    const bool whole = end == last + 1 || reply.endAtCut;
    const std::string part = reply.body.mid(from, end - from).toStdString();
    if (whole && part.empty())
        return res.set_content(part, reply.type.toStdString());
    const auto send = [this, part, whole, pace = reply.pace,
                       until = steady_clock::now() + reply.stall](httplib::DataSink &sink) {
        const size_t piece = pace.count() ? 10 : std::max<size_t>(part.size(), 1);
        for (size_t at = 0; at < part.size(); at += piece) {
            if (pace.count())
                std::this_thread::sleep_for(pace);
            if (m_stopping || !sink.write(part.data() + at, std::min(piece, part.size() - at)))
                return false;
        }
        while (!whole && !m_stopping && steady_clock::now() < until)
            std::this_thread::sleep_for(milliseconds(10));
        return whole; // false closes the connection in the middle of the body
    };
    if (reply.sized)
        return res.set_content_provider(reply.body.size(), reply.type.toStdString(),
                                        [send](size_t offset, size_t, httplib::DataSink &sink) {
                                            return !offset && send(sink);
                                        });
    res.set_chunked_content_provider(reply.type.toStdString(),
                                     [send](size_t offset, httplib::DataSink &sink) {
                                         if (offset != 0 || !send(sink))
                                             return false;
                                         sink.done();
                                         return true;
                                     });
}
