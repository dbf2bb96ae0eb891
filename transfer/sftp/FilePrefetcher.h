#pragma once
// Tests remote entries for folders and fetches (or hashes) small files ahead on helper sessions,
// while the caller still handles every entry, and emits every signal, in server order.
//
// Wiring in a folder walk (the downloader's, or the update checker's):
//     list the folder as before, then for each entry to handle: tickets << prefetcher.add(child, size);
//     then for each entry in the same order, where the walk tested for a folder and read the file:
//         FilePrefetcher::Entry e = prefetcher.take(ticket);
//         e.isFolder: recurse (the recursion adds and takes its own entries with the same prefetcher);
//         !e.opened: the open failed, log e.errorText as a failed sftp_open is logged;
//         !e.fetched: too large to keep in memory, open and read it here (PipelinedReader or
//         RangeDownloader); otherwise write e.bytes in 131070-byte steps (Counter_Data per step), or compare
//         e.md5, then, if e.status < 0, log e.errorText as a failed sftp_read is logged.
// At most aheadLimit bytes of fetched files wait in memory, and entries are worked on in the order added.

#include "transfer/sftp/SftpSessionPool.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class FilePrefetcher {
public:
    enum Mode { KeepBytes, HashMd5 };

    struct Entry {
        bool isFolder = false;
        bool opened = false;  // false for a file whose sftp_open failed (errorText says why)
        bool fetched = false; // false when only the folder test was made
        qint64 status = 0;    // bytes read, or the negative result of the read that failed
        QByteArray bytes;     // KeepBytes: the file's contents (up to a read error)
        QByteArray md5;       // HashMd5: the raw MD5 digest of what was read
        QString errorText;
    };

    explicit FilePrefetcher(SftpSessionPool &pool, Mode mode = KeepBytes, qint64 keepLimit = 4 * 1024 * 1024,
                            qint64 aheadLimit = 24 * 1024 * 1024);
    ~FilePrefetcher();

    FilePrefetcher(const FilePrefetcher &) = delete;
    FilePrefetcher &operator=(const FilePrefetcher &) = delete;

    // Queues one entry. sizeHint is the size its directory entry gave. With readContents false only
    // the folder test is made (a file the checker has no local copy of is not read). regularFile: the
    // directory entry's type is SSH_FILEXFER_TYPE_REGULAR, so sftp_opendir would fail on it for sure and
    // that round trip is saved; symbolic links and unknown types are still tested.
    int add(const QByteArray &remotePath, qint64 sizeHint, bool readContents = true,
            bool regularFile = false);
    // The result of one added entry; waits for it, or works on it here if no helper has started it.
    Entry take(int ticket);

    // Asked before every read of a file being fetched: once it returns true (a cancelled run), files
    // under way stop at once and come back not fetched. Set it before the first add().
    void setStopCheck(std::function<bool()> check) { stopCheck = std::move(check); }

private:
    class Job;
    void postMore();

    SftpSessionPool &pool;
    Mode mode;
    qint64 keepLimit;
    qint64 aheadLimit;
    std::function<bool()> stopCheck;
    int nextTicket = 0;
    QHash<int, std::shared_ptr<Job>> jobs; // added and not yet taken
    QVector<int> backlog;                  // added, not yet handed to the pool, in order
    qint64 bytesAhead = 0;                 // sizes of the posted jobs not yet taken
    int postedAhead = 0;
};
