#pragma once
// The list of published files the maker signs: a serial number and each file's SHA-256, size and path
// below the download root. Read by the client once its signature is verified; written by quillon-publish.
//
// Format (UTF-8 text, "\n" line ends):
//     quillon-manifest 1
//     serial 1765100000
//     <64 hex digits of SHA-256> <size in bytes> <path relative to the download root>
//     ...
// Paths use "/" and may hold spaces; files named quillon-manifest* are never listed.

#include <QByteArray>
#include <QHash>
#include <QString>

class PublisherManifest {
public:
    // The files on the server, in the download root.
    static const QByteArray fileName;          // "quillon-manifest"
    static const QByteArray signatureFileName; // "quillon-manifest.sig"
    // The namespace the maker signs with (ssh-keygen -Y sign -n quillon-manifest).
    static const QByteArray signatureNamespace;
    // A bound on the manifest's size: about 100,000 files; larger is refused unread.
    static constexpr qint64 maxSize = 16 * 1024 * 1024;
    static constexpr int maxPathLength = 4096;

    struct File {
        QByteArray sha256; // raw, 32 bytes
        qint64 size = -1;
    };

    // Reads a manifest text; false with the reason in error() when it is malformed.
    bool parse(const QByteArray &text);
    QString error() const { return reason; }

    quint64 serial() const { return serialNumber; }
    int fileCount() const { return int(files.size()); }
    // The entry of a path relative to the download root; null when the manifest does not list it.
    const File *find(const QByteArray &relativePath) const;
    // The same for a full server path below remoteRoot ("/upload/Softwares/For Download/...").
    const File *findRemote(const QByteArray &remotePath) const;
    // Every listed path with its entry.
    const QHash<QByteArray, File> &entries() const { return files; }

    // The manifest text for these files, paths sorted.
    static QByteArray format(quint64 serial, const QHash<QByteArray, File> &files);

private:
    bool refuse(const QString &why);

    QString reason;
    quint64 serialNumber = 0;
    QHash<QByteArray, File> files;
};
