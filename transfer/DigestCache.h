#pragma once
// Remembers, per installed file, what the last update check read on both sides, so that a file
// unchanged on the server and on the disk is not read again.
//
// The cache is a small JSON file beside the settings file. A missing, damaged or other-version file
// gives an empty cache, which the next save replaces; only the entries of the files a check
// compared are saved, so files no longer installed or no longer on the server drop out.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

// Size and modification time of one side of a comparison; -1 when not known.
struct FileStamp {
    qint64 size = -1;
    qint64 modified = -1; // server: seconds since 1970 (as SFTP gives it); local: milliseconds

    bool known() const { return size >= 0 && modified >= 0; }
    bool operator==(const FileStamp &other) const { return size == other.size && modified == other.modified; }
};

class DigestCache {
public:
    // The cache file's name, in the settings file's folder.
    static const QString fileName;
    // Past this age an entry is not trusted and its file is read on both sides again.
    static constexpr int trustedDays = 30;

    // What one comparison read. A digest is empty when that side has to be read again.
    struct Entry {
        QByteArray remotePath;
        FileStamp server;
        FileStamp local;
        QByteArray serverMd5; // raw MD5 digests
        QByteArray localMd5;
        QDateTime compared;     // when both sides were last read in full
        QByteArray localSha256; // with a signed manifest only the local side is read: its SHA-256
    };

    // Loads the file; a missing or unreadable one leaves the cache empty.
    explicit DigestCache(const QString &filePath);

    // The digests of the last comparison of localPath that still hold: a side keeps its digest only
    // when its stamp is known and unchanged; an entry for another server path, or compared more than
    // trustedDays ago (or in the future), gives none.
    Entry reusable(const QString &localPath, const QByteArray &remotePath, const FileStamp &server,
                   const FileStamp &local) const;
    // The local file's SHA-256 from the last check against a signed manifest, while its stamp is
    // unchanged and the entry is not older than trustedDays; empty otherwise.
    QByteArray reusableSha256(const QString &localPath, const FileStamp &local, QDateTime *hashed) const;
    // Keeps what this check compared; only recorded entries are saved.
    void record(const QString &localPath, const Entry &entry);
    // Writes the recorded entries atomically. True when written, or when nothing changed.
    bool save() const;

    QString filePath() const { return path; }

    // The time the cache takes as now.
    static QDateTime now();

private:
    QJsonObject recordedJson() const;

    QString path;
    QJsonObject loaded; // the file as read, to skip a write that would change nothing
    QHash<QString, Entry> previous;
    QHash<QString, Entry> recorded;
};

// Test seam: the time the cache takes as now; an invalid time restores the system clock.
void setDigestCacheClockForTesting(const QDateTime &now);
