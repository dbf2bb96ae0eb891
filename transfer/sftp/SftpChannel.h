#pragma once
// SFTP version 3 spoken over one libssh channel: requests sent by id, many in flight, every reply
// checked against what was asked before a byte of it is used.
//
// Only libssh's public channel calls are used (ssh_channel_request_sftp, ssh_channel_write,
// ssh_channel_read_timeout), so nothing here depends on how a libssh version keeps its SFTP state.
// Anything a server must not send (an id never asked, a packet over maxPacket, a length past its
// packet, a name count or attributes the packet cannot hold, a NUL in a name, a reply of a type that
// does not answer the request, a version other than 3, more data than asked) ends the channel with one
// log line "Error sftp protocol - ..."; every later call then fails at once.
//
// Use: send requests (each returns its id, 0 once the channel failed), then take replies with next()
// in the order they arrive, or wait for one id with waitFor() (replies of other ids that arrive
// meanwhile are kept for next()). A request whose answer nobody wants any more is given to forget().
// One thread at a time.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>

#include <libssh/libssh.h>

class SessionWatchdog;

class SftpChannel {
public:
    // The largest packet taken: a read of 256 KiB and its header.
    static constexpr quint32 maxPacket = 256 * 1024 + 64;
    // The most entries one folder listing may hold; a longer one is an error, not a hang.
    static constexpr int maxListing = 100000;
    // Read bytes asked for and not yet received on one channel: the flow-control window announced.
    static constexpr quint32 channelWindow = 4 * 1024 * 1024;
    static constexpr quint32 maxHandle = 256;

    enum Kind : quint8 {
        Open = 3,
        Close = 4,
        Read = 5,
        Lstat = 7,
        Fstat = 8,
        Opendir = 11,
        Readdir = 12,
        Realpath = 16,
        Stat = 17
    };
    enum ReplyType : quint8 { Status = 101, Handle = 102, Data = 103, Name = 104, Attrs = 105 };
    enum StatusCode : quint32 { Ok = 0, Eof = 1, NoSuchFile = 2, PermissionDenied = 3, Failure = 4 };

    struct Attributes {
        bool hasSize = false;
        bool hasPermissions = false;
        bool hasTimes = false;
        qint64 size = 0;
        quint32 permissions = 0;
        qint64 mtime = -1;
        bool isFolder() const { return hasPermissions && (permissions & 0170000) == 0040000; }
        bool isRegular() const { return hasPermissions && (permissions & 0170000) == 0100000; }
        bool isLink() const { return hasPermissions && (permissions & 0170000) == 0120000; }
    };
    struct Entry {
        QByteArray name;
        Attributes attributes;
    };
    struct Reply {
        quint32 id = 0;
        quint8 type = 0;
        quint32 status = 0; // Status replies
        QString message;    // Status replies: the server's text
        QByteArray handle;  // Handle replies
        QByteArray data;    // Data replies
        QVector<Entry> entries;
        Attributes attributes;
        bool isEof() const { return type == Status && status == Eof; }
        // The server's words for a failed request, for one log line.
        QString errorText() const;
    };

    SftpChannel(ssh_session ssh, SessionWatchdog *watchdog);
    ~SftpChannel();
    SftpChannel(const SftpChannel &) = delete;
    SftpChannel &operator=(const SftpChannel &) = delete;

    // Opens the channel and agrees on version 3; false with errorText() set (nothing logged).
    bool start();

    quint32 open(const QByteArray &path);
    quint32 close(const QByteArray &handle);
    quint32 read(const QByteArray &handle, qint64 offset, quint32 length);
    quint32 opendir(const QByteArray &path);
    quint32 readdir(const QByteArray &handle);
    quint32 stat(const QByteArray &path);
    quint32 lstat(const QByteArray &path);
    quint32 fstat(const QByteArray &handle);
    quint32 realpath(const QByteArray &path);

    // The next reply of any request in flight; false once the channel failed.
    bool next(Reply &reply);
    // The reply to one request; false once the channel failed.
    bool waitFor(quint32 id, Reply &reply);
    // The reply to this request is dropped when it comes (a file given up, a CLOSE not waited for).
    void forget(quint32 id);
    // Sends what is queued; the waits do it themselves.
    bool flush();

    int requestsInFlight() const { return int(pending.size()); }
    // Read bytes asked for and not yet answered: keep below channelWindow.
    qint64 readBytesInFlight() const { return readBytesAsked; }

    bool failed() const { return broken; }
    QString errorText() const { return error; }
    // Ends the channel: a server that broke the protocol is not trusted with another request.
    void fail(const QString &why, bool logIt = true);

    // Blocking helpers over the requests above.
    // The whole listing of a folder: false when it cannot be opened, ends in an error or passes maxListing
    // (why in *why); the entries then hold nothing to rely on.
    bool listFolder(const QByteArray &path, QVector<Entry> &entries, QString *why);
    bool statPath(const QByteArray &path, Attributes &attributes);
    QByteArray canonicalPath(const QByteArray &path); // empty when the server cannot resolve it

private:
    struct Request {
        quint8 kind;
        quint32 asked; // read length
    };
    quint32 send(quint8 kind, const QByteArray &body, quint32 asked = 0);
    bool receive(Reply &reply); // one packet off the wire, checked
    bool parse(const QByteArray &packet, Reply &reply);
    bool fill();

    ssh_session ssh;
    ssh_channel channel = nullptr;
    SessionWatchdog *watchdog;
    QHash<quint32, Request> pending;
    QSet<quint32> forgottenIds; // in flight, their answers to be dropped
    QVector<Reply> parked;      // replies that came while another id was awaited
    QByteArray outgoing;
    QByteArray incoming;
    qsizetype incomingUsed = 0;
    QByteArray windowScratch; // never written: its pages stay unused (see fill())
    quint32 nextId = 1;
    qint64 readBytesAsked = 0;
    bool broken = false;
    QString error;
};
