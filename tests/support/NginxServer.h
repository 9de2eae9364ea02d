#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// An nginx serving `root` on 127.0.0.1 and a free port, started by the test
// and stopped with it. nginx started as root serves through an unprivileged
// worker, so the served folder (and the folders above it that we made) are
// opened up for reading.
class NginxServer
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Before start(): log every request to `path`, one line each: the time the
    // request ended and its duration, in seconds with milliseconds (nginx's
    // $msec and $request_time), the request's path, and the bytes sent for it,
    // headers included ($bytes_sent), then its body bytes alone ($body_bytes_sent).
    void setAccessLog(const QString &path) { m_accessLog = path; }
    // Before start(): serve over TLS (and HTTP/2) with these PEM files.
    void setTls(const QString &certificate, const QString &key) { m_tls = {certificate, key}; }
    // Before start(): more directives for the server block, e.g. locations.
    void addDirectives(const QString &directives) { m_directives += directives; }
    // Before start(): a caching proxy in front of `origin` ("http://host:port")
    // instead of a file server, as a CDN edge: every answer of status 200 or
    // 206 is kept a day unless the origin's Cache-Control or Expires says
    // otherwise, in a cache below the prefix. `directives` go into its one
    // location, e.g. "proxy_ignore_headers Cache-Control Expires;".
    void setCachingProxy(const QString &origin, const QString &directives = {})
    {
        m_proxy = {origin, directives};
    }

    // False when nginx could not be started; errorString() tells why.
    bool start();
    void stop();

    QString url(const QString &path) const;
    QString errorString() const { return m_error; }

private:
    bool waitUntilAccepting(int port);

    QString m_root;
    QString m_accessLog;
    QTemporaryDir m_prefix;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
    QStringList m_tls; // certificate and key
    QString m_directives;
    QStringList m_proxy; // origin and directives
};
