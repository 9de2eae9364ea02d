#pragma once

#include "format/ListFormat.h"
#include "update/SignedList.h"

#include <QList>
#include <QString>
#include <functional>
#include <optional>

class Downloader;
class MirrorSet;

// Takes the update list in for one run. The list (and, for a publisher who
// signs it, its signature) arrives beside updates.ini and takes its place
// only while the run still waits for it, and a signed one only once it
// verifies: a list that lands late, or that does not verify, can never
// change what a run has already decided or install what the publisher did
// not sign.
//
// Lives on the window's thread; the run feeds it the Downloader's events.
// Nothing here shows a box or throws: a list that cannot be had from any
// base is logged once as "Failed to download updates.ini", and the run goes
// on with the list it had. A signed list that arrived and was refused is
// not logged here: refusal() says why, and the run ends on it.
class UpdateList
{
public:
    enum class State {
        Idle,     // not requested yet
        Arriving, // the transfers are under way
        Settled,  // over: taken in, or refused and the previous list kept
    };

    // `log` adds one line to the status log.
    UpdateList(Downloader &downloader, std::function<void(const QString &)> log);

    // What a killed updater or a late list of an earlier run left of the
    // arriving pair goes, before this run asks for its own.
    static void clearLeftovers();

    // Starts the transfers of the first base's "/updates.txt" (and
    // ".minisig" when `publicKey` is set). A list that does not arrive, or
    // (signed) does not verify or is older than the one installed, is asked
    // for below the next base of `bases` in its order, which goes on for as
    // long as the list arrives; each base that fails goes to the back of
    // `bases`. A transfer refused at once settles the list.
    void request(MirrorSet &bases, const QString &publicKey);

    // Takes the arrived list in, once both transfers are over; true from then
    // on. Until it is true, updates.ini is the list the previous run left.
    bool settle();

    // The wait for the list is over while it is still in flight (a server
    // that trickles it): its transfers go and the previous list stays.
    void drop();

    // DownloadError of any read: those of the list's own are noted.
    void transferFailed(const QString &SaveFile);

    // One file section of updates.ini as the run reads it.
    struct Entry {
        QString url;
        QString savePath;
        QString fileName;
        ExpectedFile expected;
        // One text for every spelling of the target (see StagedUpdate).
        QString stagingKey;
        // The game file, below the program folder, and its path from there
        // ("/" between components).
        QString target;
        QString relative;
        // Why the file cannot be fetched at all, or null: a malformed pin, a
        // target outside the game folder or of the updater's own, a folder
        // or a link in its place, an address that is not http(s), or a
        // target another section names too, in this spelling or in one
        // that a player's file system takes for it ("Readme.txt" and
        // "README.txt" on Windows), so that one would never be installed.
        const char *refusal = nullptr;
        // The file's chunk index, when the list names one by an http(s)
        // address and pins it (its raw SHA-256); otherwise both empty, and
        // the file travels whole.
        QString chunksUrl;
        QByteArray chunksSha256;
    };
    // How many file sections of updates.ini the run reads: "TotalFiles"
    // rounded to a whole number (a half to the even one), but never more
    // than the list has sections; and how many it claims. Throws
    // UpdateFailure for a count beyond 32 bits.
    struct Count {
        int count;
        int claimed;
    };
    static Count fileCount();
    // The first `count` file sections of updates.ini. Only a list that must
    // verify (`signedList`) may name the updater's own program file: a new
    // updater is a program every player runs, and only the publisher's key
    // may vouch for it.
    static QList<Entry> entries(int count, bool signedList = false);
    // A value of the list's GENERAL section.
    static QString general(const char *key);

    State state() const { return m_state; }
    // Why the last signed list that arrived was refused, while no list has
    // been taken in since; None otherwise.
    SignedList::Refusal refusal() const { return m_refusal; }
    bool isSigned() const { return !m_publicKey.isEmpty(); }
    // The base this run took the list in updates.ini from; empty when it
    // kept the list an earlier run left.
    const QString &takenFrom() const { return m_takenFrom; }

    // For a signed list, the signed timestamp of the list in updates.ini,
    // checked again with its kept signature (it may be one an earlier run
    // took in); nothing when it does not verify, or the list is not signed.
    std::optional<qint64> verifiedTimestamp();

private:
    void failed(const char *why);
    bool inFlight() const;
    // Starts the pair's transfers below the next base not yet asked; false
    // when none is left or its transfer was refused.
    bool requestNext();
    // The pair from the last base asked was refused for `why`: the next one
    // is asked, or the list has failed.
    bool tryNext(const char *why);

    Downloader &m_downloader;
    std::function<void(const QString &)> m_log;
    State m_state = State::Idle;
    QString m_publicKey;
    MirrorSet *m_bases = nullptr;
    QStringList m_asked;
    QString m_takenFrom;
    bool m_transferFailed = false;
    bool m_failureShown = false;
    SignedList::Refusal m_refusal = SignedList::Refusal::None;
};
