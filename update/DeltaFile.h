#pragma once

#include "format/ChunkIndex.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>

class Downloader;

// Builds one staged file from what the player already has and the missing
// spans of its address: fetches the file's chunk index (pinned by the list),
// gathers the chunks found locally (see LocalChunks) into a work file beside
// the staged one, fetches the rest with Range requests (adjacent chunks in
// one request, every byte checked against its chunk's SHA-256 as it
// streams), and stages the work file once it is whole and matches the list's
// SHA-256. What arrived stays in the work file when the run is cut short,
// for the next run to continue.
//
// A server that answers a span with the whole body (it ignores Range) has
// its whole body taken, checked as any whole read, and is not asked for
// spans again in this run. Any other failure (the index, a span, the work
// file) ends with Outcome::Whole: the caller fetches the file whole, as
// without an index, so a delta never fails a file that a whole read could
// bring. Its reads do not wait out a server that cannot be reached: the
// whole read, with its own tries and mirrors, follows at once.
class DeltaFile : public QObject
{
    Q_OBJECT

public:
    struct Source {
        QString url;
        QString chunksUrl;
        QByteArray chunksSha256;
        qint64 size = 0;
        QByteArray sha256;
        // Where the finished file goes.
        QString staged;
        // Local copies that may hold chunks of it: the installed file first.
        QStringList copies;
    };
    enum class Outcome { Staged, Whole };

    // `wholeOnly` holds the servers (see serverOf) known to ignore
    // Range in this run; it outlives the DeltaFile.
    DeltaFile(Downloader &downloader, Source source, QSet<QString> &wholeOnly,
              QObject *parent = nullptr);
    // Stops a search of the local copies and waits for it.
    ~DeltaFile() override;

    // Starts with the index; the outcome comes as finished().
    void start();
    bool ended() const { return m_ended; }
    // Whether `target` is one of the reads this file started.
    bool owns(const QString &target) const;
    // The files beside a staged file that a delta keeps between runs.
    static QStringList keptFiles(const QString &staged);

    // The most bytes one Range request asks for: a failed span costs at most
    // this much again, and a large change still travels in few requests.
    static constexpr qint64 LongestSpan = 16 * 1024 * 1024;

signals:
    // Bytes fetched of the bytes this file needs from the server.
    void progress(qint64 fetched, qint64 toFetch);
    // Raised once.
    void finished(DeltaFile::Outcome outcome);

private:
    struct Span {
        qint64 first = 0;
        qint64 length = 0;
        QList<qsizetype> chunks;
    };

    void indexArrived();
    void gathered();
    void startSpan(const Span &span);
    void spanArrived(const QString &target, const Span &span);
    void verified();
    void end(Outcome outcome);
    void readProgress(qint64 current, qint64, const QString &target);
    void readFailed(const QString &target);
    void readSettled(qint64, const QString &target);

    Downloader &m_downloader;
    const Source m_source;
    QSet<QString> &m_wholeOnly;
    QList<ChunkIndex::Chunk> m_chunks;
    QList<Span> m_waiting;
    // Reads in flight, by target: the index, or a span.
    QHash<QString, Span> m_reads;
    QHash<QString, qint64> m_readBytes;
    QSet<QString> m_failedReads;
    qint64 m_fetched = 0;
    qint64 m_toFetch = 0;
    bool m_ended = false;
    bool m_probing = false;
    std::shared_ptr<std::atomic_bool> m_stop = std::make_shared<std::atomic_bool>(false);
    QFutureWatcher<std::optional<QList<bool>>> m_gathering;
    QFutureWatcher<bool> m_verifying;
};
