#pragma once
// One walk of a component's folder tree on the server, shared by the check, the size pass, the install
// run and (through the fetch-ahead) the update run: the rules for names, links, loops and depth live
// here once, and each worker only decides what to log and what to fetch.
//
// Breadth-first over one session: every folder of a level is opened at once, listed to its end and
// closed behind; the links and untyped entries of the level are resolved (REALPATH, STAT) together.
// A listing that fails, ends in an error or passes SftpChannel::maxListing makes the walk incomplete:
// its entries are never used, so no folder is ever taken as shorter than it is.
//
// Entries keep the server's order; node 0 is the component folder, each folder node lists its
// children's indices.

#include "transfer/sftp/SftpChannel.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

struct SftpSession;

class RemoteWalk {
public:
    // Deeper than any real package; a server that keeps inventing folders is cut off here.
    static constexpr int maxDepth = 64;
    // Entries of one walk, all folders together (links can repeat a folder under many names).
    static constexpr int maxEntries = 10 * SftpChannel::maxListing;

    enum Kind : quint8 {
        Skipped, // "." as first or second character: never walked, never fetched, never reported
        File,
        Folder,
        UnsafeName,  // cannot be a local name (unsafeReason says why)
        LinkOutside, // a link that leads out of the component folder, or nowhere
        Loop,        // a folder that leads back to one it is inside
        TooDeep      // a folder below maxDepth levels
    };
    struct Node {
        QByteArray name;
        QByteArray path;      // the server path as walked (through links)
        QByteArray canonical; // folders, links: the server's own resolution
        Kind kind = File;
        QString unsafeReason;
        bool isLink = false;
        bool listedRegular = false;         // its listing gave it as a plain file
        qint64 listedSize = 0;              // the size its listing gave (a link's own size for a link)
        SftpChannel::Attributes attributes; // links followed: the target's
        int depth = 0;                      // folders below the component folder
        int parent = -1;                    // the folder it is listed in
        QVector<int> children;              // folders: in the server's order
    };

    explicit RemoteWalk(SftpSession &session);

    // Walks the folder; stop is asked between levels (a cancelled run). False when the walk is not whole:
    // rootMissing() when the component folder itself cannot be opened, otherwise error() says which
    // listing failed (the session may be lost too).
    bool walk(const QByteArray &folder, const std::function<bool()> &stop = {});
    bool rootMissing() const { return missingRoot; }
    QString error() const { return failure; }

    const Node &node(int index) const { return nodes.at(index); }
    const QByteArray &componentRoot() const { return nodes.first().canonical; }
    // The sum of the listed sizes of every file the walk reaches.
    qint64 filesSize(int folder = 0) const;

private:
    struct Listing {
        QVector<SftpChannel::Entry> entries;
        bool opened = false;
        bool complete = false;
        QString error;
    };
    bool listAll(const QVector<QByteArray> &paths, QVector<Listing> &out);
    bool resolve(const QVector<int> &pending);
    bool inside(const QByteArray &canonical) const;
    void setFailure(const QString &text);

    SftpSession &session;
    QVector<Node> nodes;
    bool missingRoot = false;
    QString failure;
};
