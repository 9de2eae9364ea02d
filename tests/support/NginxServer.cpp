#include "tests/support/NginxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{

int freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Lets the unprivileged worker walk into `path` and read what lies below.
void openForWorker(const QString &path)
{
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::ExeOther;
    QFile::setPermissions(path, readable);
}

QString config(const QString &prefix, const QString &root, const QString &server,
               const QString &accessLog)
{
    const QString logging =
        accessLog.isEmpty()
            ? QStringLiteral("access_log off;")
            : QStringLiteral("log_format timed '$msec $request_time $request_uri $bytes_sent';\n"
                             "    access_log %1 timed;")
                  .arg(accessLog);
    return QStringLiteral(R"(daemon off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 4096; }
http {
    %4
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    default_type application/octet-stream;
    types { text/plain txt ini; text/html html; }
    client_body_temp_path %1/body;
    proxy_temp_path %1/proxy;
    fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi;
    scgi_temp_path %1/scgi;
    server {
        root %2;
        %3
    }
}
)")
        .arg(prefix, root, server, logging);
}

} // namespace

NginxServer::NginxServer(const QString &root) : m_root(QFileInfo(root).absoluteFilePath()) {}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::start()
{
    if (!m_prefix.isValid()) {
        m_error = QStringLiteral("no temporary folder for nginx");
        return false;
    }
    // The worker must pass through every folder we made on the way down
    // from the temporary area to the served root (QTemporaryDir makes 0700).
    const QString tempRoot = QFileInfo(QDir::tempPath()).canonicalFilePath();
    for (QString dir = m_root; dir.startsWith(tempRoot + QLatin1Char('/'));
         dir = QFileInfo(dir).path())
        openForWorker(dir);
    // A port found free can be taken by someone else before nginx binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = freeLoopbackPort();
        const QString conf = m_prefix.filePath(QStringLiteral("nginx.conf"));
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_error = file.errorString();
            return false;
        }
        const QString listen =
            m_certificate.isEmpty()
                ? QStringLiteral("listen 127.0.0.1:%1;").arg(port)
                : QStringLiteral("listen 127.0.0.1:%1 ssl http2; ssl_certificate %2; "
                                 "ssl_certificate_key %3;")
                      .arg(port)
                      .arg(m_certificate, m_key);
        file.write(config(m_prefix.path(), m_root, listen + m_directives, m_accessLog).toUtf8());
        file.close();

        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("nginx"),
                        {QStringLiteral("-p"), m_prefix.path(), QStringLiteral("-c"), conf,
                         QStringLiteral("-e"), m_prefix.filePath(QStringLiteral("error.log"))});
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("nginx did not start: ") + m_process.errorString();
            return false;
        }
        if (waitUntilAccepting(port)) {
            m_port = port;
            return true;
        }
        m_process.kill();
        m_process.waitForFinished(5000);
        QFile log(m_prefix.filePath(QStringLiteral("error.log")));
        if (log.open(QIODevice::ReadOnly))
            m_error = QString::fromLocal8Bit(log.readAll());
    }
    return false;
}

bool NginxServer::waitUntilAccepting(int port)
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning)
            return false;
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
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString NginxServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_certificate.isEmpty() ? "http" : "https")
        .arg(m_port)
        .arg(path);
}
