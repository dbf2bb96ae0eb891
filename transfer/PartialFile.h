#pragma once
// The bytes of one file fetched so far, kept beside its target until the whole file replaces the target.
//
// The partial's name says which server file it is a part of: "<file name>.<size>-<time>.part", with the
// server file's size in bytes and modification time (seconds since 1970) as the fetch began. A later
// fetch of the same server file goes on from its end; a partial of any other server file is removed.
// The identity lives in the name rather than in a small file beside it, so bytes and identity can never
// be separated or disagree (a crash leaves one file, never half a pair), and finding a partial costs no
// read. The bytes are always written in file order, so a partial is always the server file's beginning.
//
// A fetch cut short (lost connection, read error, Cancel, the program closing) keeps its partial. The
// downloader removes a partial when it is no longer wanted: it becomes the file by the final rename; a
// fetch of its target finds it belongs to another server file; its target arrives whole some other way
// (fetched ahead into memory); an install run has walked its folder to the end and the server no longer
// lists its target; or a write to it failed.

#include "transfer/HashingFile.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class PartialFile {
public:
    // remoteSize or remoteModified < 0: the server did not say; such a fetch starts afresh and
    // keeps nothing when it stops.
    PartialFile(const QString &targetPath, qint64 remoteSize, qint64 remoteModified);
    ~PartialFile(); // closes the file; what it holds stays for the next fetch

    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;

    // Opens the partial of this server file at its end, or a new empty one. existing: the partials of
    // the target found beside it; those of other server files are removed. False: errorString().
    bool open(const QStringList &existing);
    // Where the fetch goes on: the bytes an earlier fetch left, 0 for a new partial.
    qint64 resumedFrom() const { return resumed; }
    QFile &file() { return data; }
    // Call before open(): every byte of the file, resumed ones included, then goes through a SHA-256.
    void hashContents() { data.startHashing(); }
    QByteArray sha256() const { return data.sha256(); }
    qint64 hashedBytes() const { return data.hashedBytes(); }
    // Replaces the target with the complete file in one rename; false with the reason in error.
    bool commit(QString *error);
    // Removes the partial: its bytes cannot be trusted (a failed write) or nothing could continue it.
    void discard();
    // Whether a later fetch can continue what this one leaves.
    bool resumable() const { return remoteSize >= 0 && remoteModified >= 0; }
    QString errorString() const { return data.errorString(); }

    // The target of a partial, from its path; empty when the name is not a partial's.
    static QString targetOf(const QString &partialPath);

    // The partials beside targets, one listing per folder for the lifetime of the index.
    class Index {
    public:
        QStringList of(const QString &targetPath);
        // Removes every partial of the target (it arrived whole some other way).
        void removeAllOf(const QString &targetPath);
        // Removes the partials in the folder whose target is not one of these.
        void removeAllExcept(const QString &folder, const QSet<QString> &targetPaths);
        void clear() { folders.clear(); }

    private:
        QStringList &folderList(const QString &folder);
        void removeWhere(const QString &folder, const std::function<bool(const QString &target)> &unwanted);
        QHash<QString, QStringList> folders;
    };

private:
    QString targetPath;
    qint64 remoteSize;
    qint64 remoteModified;
    HashingFile data;
    qint64 resumed = 0;
};
