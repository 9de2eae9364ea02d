#pragma once

#include "download/BodyCheck.h"
#include "download/HttpResponse.h"
#include "download/ReadExpectation.h"
#include "download/TempFile.h"
#include "download/TransferEvents.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <optional>

// How one read is run; the test hooks of ReadFacility fill it in.
struct TransferSettings {
    // A read that receives less than 1 KiB/s, averaged over this time (in
    // whole seconds), fails (or is tried again).
    std::chrono::milliseconds stallTime{60000};
    // How long a second of waiting between tries lasts.
    std::chrono::milliseconds retrySecond{1000};
    // Certificates trusted instead of the system's; empty: the system's.
    QByteArray caFile;
};

// One read on the transfer thread: its libcurl handle, and the body it writes
// into its temporary file as the bytes arrive. What each response means for
// the body is HttpResponse's to decide; when to try again, TransferEngine's.
struct Transfer {
    // Why a try was stopped from the inside.
    enum class Stop { None, Status, Restart, Store, Unexpected };

    Transfer(TransferEvents &events, quint64 id, const QUrl &address, const QString &target,
             const TransferSettings &settings, const ReadExpectation &expected);

    // Takes back the part of the body an earlier read kept, if any and if the
    // read keeps partial bodies.
    void resumeKept(std::optional<qint64> size);
    // Makes the libcurl handle; false, with the reason in `error`, when that fails.
    bool prepare();
    // Sets the request headers of the next try: Range and If-Range when the
    // body held can be continued; otherwise the body starts again. False when
    // the headers cannot be set or the body cannot start again.
    bool nextTry();
    // Forgets the partial body so that the next try fetches it whole; false
    // when the file cannot be emptied.
    bool restart();
    // Posts progress, at most once per repaint unless `last`, never going back.
    void report(bool last);
    // Keeps the part of the body received for a later read, when it is worth
    // it; otherwise no kept file is left. The temporary file goes either way.
    void keepOrDrop();

    TransferEvents &events;
    quint64 id = 0;
    QUrl address;
    QString target;
    TransferSettings settings;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, curl_easy_cleanup};
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr,
                                                                        curl_slist_free_all};
    char error[CURL_ERROR_SIZE] = {};
    // Opened with the first body bytes, so that reads waiting for a
    // connection hold no file.
    std::unique_ptr<TempFile> file;
    std::unique_ptr<BodyCheck> check;
    bool keepPartial = false;
    bool elsewhere = false;
    // Part of the body only (see ReadExpectation::span).
    std::optional<ReadExpectation::Span> span;
    // The body in the file failed its check: none of it may be continued.
    bool spoiled = false;
    int tries = 0;
    bool running = false;
    // scheme://host:port, whose share of reads in libcurl this one holds.
    QString host;
    bool admitted = false;

    ResumeState body;
    qint64 sinceWriteBack = 0;
    ResponseHead response;
    // The first body bytes of this try's final response have been seen and accepted.
    bool bodyStarted = false;
    Stop stop = Stop::None;

    qint64 reported = 0;
    std::chrono::steady_clock::time_point reportedAt;

private:
    static size_t onHeader(char *data, size_t size, size_t count, void *transfer);
    static size_t onBody(char *data, size_t size, size_t count, void *transfer);
    bool beginBody();
};
