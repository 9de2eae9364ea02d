#include "tests/support/NginxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{

// The temporary paths lie below the prefix: the default ones may not exist
// or be writable. An access log, when asked for, holds one line per request:
// the time it ended and its duration in seconds with milliseconds, its path,
// and the bytes sent for it, headers included. `http` holds more directives
// for the http block.
QString config(const QString &prefix, const QString &root, const QString &server,
               const QString &accessLog, const QString &http)
{
    return QStringLiteral(R"(daemon off; worker_processes 1; pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 4096; }
http {
    log_format timed '$msec $request_time $request_uri $bytes_sent $body_bytes_sent';
    access_log %4;
    sendfile on; tcp_nopush on; keepalive_requests 100000;
    default_type application/octet-stream; types { text/plain txt ini; text/html html; }
    client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;
    %5
    server { root %2; %3 }
}
)")
        .arg(prefix, root, server,
             accessLog.isEmpty() ? QStringLiteral("off") : accessLog + " timed", http);
}

} // namespace

NginxServer::NginxServer(const QString &root) : m_root(QFileInfo(root).absoluteFilePath()) {}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start()
{
    // The unprivileged worker must pass through every folder we made on the
    // way down from the temporary area to the served root (QTemporaryDir
    // makes 0700), and read what lies below.
    const QString tempRoot = QFileInfo(QDir::tempPath()).canonicalFilePath();
    for (QString dir = m_root; dir.startsWith(tempRoot + '/'); dir = QFileInfo(dir).path())
        QFile::setPermissions(dir, QFile::Permissions(0x7055)); // rwxr-xr-x
    if (!m_prefix.isValid())
        return m_error = "no temporary folder for nginx", false;
    const QString conf = m_prefix.filePath("nginx.conf"), log = m_prefix.filePath("error.log");
    // A proxy's worker writes its cache and buffers below the prefix, in
    // folders nginx makes its own; it must pass through the prefix to them.
    QString http, proxy;
    if (!m_proxy.isEmpty()) {
        if (!QFile::setPermissions(m_prefix.path(), QFile::Permissions(0x7055)))
            return m_error = "cannot open the prefix to nginx's worker", false;
        http = QStringLiteral("proxy_cache_path %1/cache keys_zone=edge:1m;").arg(m_prefix.path());
        proxy = QStringLiteral("location / { proxy_pass %1; proxy_cache edge; "
                               "proxy_cache_valid 200 206 1d; %2 }")
                    .arg(m_proxy.value(0), m_proxy.value(1));
    }
    // A port found free can be taken by someone else before nginx binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        const int port = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
        probe.close();
        const QString listen =
            m_tls.isEmpty() ? QStringLiteral("listen 127.0.0.1:%1;").arg(port)
                            : QStringLiteral("listen 127.0.0.1:%1 ssl http2; ssl_certificate %2; "
                                             "ssl_certificate_key %3;")
                                  .arg(port)
                                  .arg(m_tls.value(0), m_tls.value(1));
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return m_error = file.errorString(), false;
        file.write(config(m_prefix.path(), m_root, listen + m_directives + proxy, m_accessLog, http)
                       .toUtf8());
        file.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("nginx", {"-p", m_prefix.path(), "-c", conf, "-e", log});
        if (!m_process.waitForStarted(10000))
            return m_error = "nginx did not start: " + m_process.errorString(), false;
        if (waitUntilAccepting(port))
            return m_port = port, true;
        stop();
        QFile errors(log);
        m_error = errors.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(errors.readAll())
                                                   : "nginx did not start";
    }
    return false;
}

bool NginxServer::waitUntilAccepting(int port)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(200))
            return true;
        m_process.waitForFinished(50);
    }
    return false;
}

void NginxServer::stop()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

QString NginxServer::url(const QString &path) const
{
    const QString scheme = m_tls.isEmpty() ? "http" : "https";
    return scheme + "://127.0.0.1:" + QString::number(m_port) + path;
}
