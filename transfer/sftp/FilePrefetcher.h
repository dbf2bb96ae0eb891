#pragma once
// Fetches (or hashes) small files ahead, many at once on every session of a pool, while the caller
// still handles every file, and emits every signal, in its own order.
//
// Files go to the sessions in batches: a session sends OPEN for every file of its batch at once, then
// as each handle comes, FSTAT and READs covering the size the listing gave (plus one read past it, to
// hear of the end in the same round trip), and CLOSE once the file is whole. About two round trips per
// batch, shared by every file in it; the read bytes in flight on a channel stay within its window.
//
// Wiring in a walk (the downloader's, or the update checker's): add every file to fetch, in the order
// they will be wanted; then for each, in that order, Entry e = take(ticket):
//     !e.opened: the open failed, log e.errorText as a failed open is logged;
//     !e.fetched: too large to keep in memory, or the session was lost: open and read it on the caller's
//     own session; otherwise write e.bytes in 131070-byte steps (Counter_Data per step), or compare e.md5.
// At most aheadLimit bytes of fetched files wait in memory.

#include "transfer/sftp/SftpSessionPool.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class FilePrefetcher {
public:
    enum Mode { KeepBytes, HashMd5 };
    static constexpr int batchFiles = 32;

    struct Entry {
        bool opened = false;     // false for a file whose open failed (errorText says why)
        bool fetched = false;    // true when every byte arrived
        qint64 status = 0;       // bytes read, or -1 when the read failed
        QByteArray bytes;        // KeepBytes: the file's contents
        QByteArray md5;          // HashMd5: the raw MD5 digest of the file
        quint32 permissions = 0; // the opened file's mode, 0 when the server gave none
        QString errorText;
    };

    explicit FilePrefetcher(SftpSessionPool &pool, Mode mode = KeepBytes, qint64 keepLimit = 4 * 1024 * 1024,
                            qint64 aheadLimit = 24 * 1024 * 1024);
    ~FilePrefetcher();

    FilePrefetcher(const FilePrefetcher &) = delete;
    FilePrefetcher &operator=(const FilePrefetcher &) = delete;

    // Queues one file; sizeHint is the size its listing gave. A file above keepLimit (KeepBytes) is not
    // fetched: its entry comes back opened and not fetched, for the caller to read itself.
    int add(const QByteArray &remotePath, qint64 sizeHint);
    // The result of one added file; waits for it, or fetches its batch here if no helper has started it.
    Entry take(int ticket);

    // Asked while files are fetched: once it returns true (a cancelled run), files under way stop at
    // once and come back not fetched. Set it before the first add().
    void setStopCheck(std::function<bool()> check) { stopCheck = std::move(check); }

private:
    class Batch;
    void postMore();

    SftpSessionPool &pool;
    Mode mode;
    qint64 keepLimit;
    qint64 aheadLimit;
    std::function<bool()> stopCheck;
    int nextTicket = 0;
    struct Item {
        QByteArray path;
        qint64 sizeHint;
        std::shared_ptr<Batch> batch; // null until posted
        int index = 0;                // its place in the batch
    };
    QHash<int, Item> items;      // added and not yet taken
    QVector<int> backlog;        // added, not yet in a batch, in order
    qint64 bytesAhead = 0;       // sizes of the posted files not yet taken
    int batchesAhead = 0;        // posted batches with files not yet taken
    QHash<Batch *, int> untaken; // posted batches: their files not yet taken
    QVector<std::shared_ptr<Batch>> posted;
};
