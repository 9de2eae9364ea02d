#include "tests/support/TestHttpServer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

namespace
{

// Byte `index` of the body of /bytes/<size>: a pattern whose period (251)
// is prime to every block size and which differs between sizes, so that a
// body cut short, shifted by a block or taken from another size never
// compares equal.
char patternByte(size_t index, size_t size)
{
    return static_cast<char>((index * 131 + size) % 251);
}

std::string patternBlock(size_t offset, size_t length, size_t size)
{
    std::string block(length, '\0');
    for (size_t i = 0; i < length; ++i)
        block[i] = patternByte(offset + i, size);
    return block;
}

constexpr size_t blockSize = 64 * 1024;

} // namespace

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
    // before the accept loop runs simply wait in the backlog. But stop() is
    // a no-op until the loop runs, so a server stopped right after start()
    // would leave the loop to block forever: wait until it is running.
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
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
    // /bytes/<n>: n pattern bytes with a Content-Length, streamed block by
    // block so that large bodies are never held in memory.
    s.Get(R"(/bytes/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        const size_t size = std::stoull(req.matches[1].str());
        if (size == 0)
            return res.set_content("", "application/octet-stream");
        res.set_content_provider(size, "application/octet-stream",
                                 [size](size_t offset, size_t length, httplib::DataSink &sink) {
                                     const std::string block =
                                         patternBlock(offset, std::min(length, blockSize), size);
                                     return sink.write(block.data(), block.size());
                                 });
    });
    // /chunked/<n>: the same n bytes as /bytes/<n>, chunked, with no length.
    s.Get(R"(/chunked/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        const size_t size = std::stoull(req.matches[1].str());
        res.set_chunked_content_provider(
            "application/octet-stream", [size](size_t offset, httplib::DataSink &sink) {
                const std::string block =
                    patternBlock(offset, std::min(size - offset, size_t(4096)), size);
                if (!block.empty() && !sink.write(block.data(), block.size()))
                    return false;
                if (offset + block.size() == size)
                    sink.done();
                return true;
            });
    });
    // /truncated: announces 100000 bytes, sends 40000 and closes the connection.
    s.Get("/truncated", [](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(100000, "application/octet-stream",
                                 [](size_t offset, size_t, httplib::DataSink &sink) {
                                     if (offset != 0)
                                         return false;
                                     const std::string block = patternBlock(0, 40000, 100000);
                                     sink.write(block.data(), block.size());
                                     return false;
                                 });
    });
    // /slow: the 2000 bytes of /bytes/2000 in 20 pieces, 25 ms apart.
    s.Get("/slow", [](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(2000, "application/octet-stream",
                                 [](size_t offset, size_t, httplib::DataSink &sink) {
                                     std::this_thread::sleep_for(std::chrono::milliseconds(25));
                                     const std::string block = patternBlock(offset, 100, 2000);
                                     return sink.write(block.data(), block.size());
                                 });
    });
    // /stall: announces 1000 bytes after the headers and then sends nothing;
    // gives up after 3 s so that the server can stop.
    s.Get("/stall", [](const httplib::Request &, httplib::Response &res) {
        res.set_content_provider(
            1000, "application/octet-stream", [](size_t, size_t, httplib::DataSink &sink) {
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
                while (std::chrono::steady_clock::now() < until && sink.is_writable())
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return false;
            });
    });
    // /redirect/<n>: n redirects, then the body of /bytes/5000.
    s.Get(R"(/redirect/(\d+))", [](const httplib::Request &req, httplib::Response &res) {
        const int left = std::stoi(req.matches[1].str());
        res.set_redirect(left > 0 ? "/redirect/" + std::to_string(left - 1) : "/bytes/5000");
    });
    // /redirect-loop: redirects to itself for ever.
    s.Get("/redirect-loop", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("/redirect-loop");
    });
}
