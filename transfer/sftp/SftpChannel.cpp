#include "transfer/sftp/SftpChannel.h"

#include "core/Log.h"
#include "transfer/sftp/SftpSession.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr quint8 initType = 1;
constexpr quint8 versionType = 2;
constexpr quint32 attrSize = 0x1, attrUidGid = 0x2, attrPermissions = 0x4, attrTimes = 0x8,
                  attrExtended = 0x80000000u;
constexpr int readSlice = 256 * 1024;
constexpr int waitSliceMs = 500;

void putU32(QByteArray &out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void putString(QByteArray &out, const QByteArray &value) {
    putU32(out, quint32(value.size()));
    out.append(value);
}

// Reads one packet's fields; any field that would run past the packet sets what and stops.
class PacketReader {
public:
    PacketReader(const QByteArray &bytes, qsizetype from) : bytes(bytes), at(from) {}
    qsizetype left() const { return bytes.size() - at; }
    bool u32(quint32 &value, const char *field) {
        if (!need(4, field))
            return false;
        value = qFromBigEndian<quint32>(bytes.constData() + at);
        at += 4;
        return true;
    }
    bool u64(quint64 &value, const char *field) {
        if (!need(8, field))
            return false;
        value = qFromBigEndian<quint64>(bytes.constData() + at);
        at += 8;
        return true;
    }
    bool string(QByteArray &value, const char *field) {
        quint32 length = 0;
        if (!u32(length, field) || !need(length, field))
            return false;
        value = bytes.mid(at, qsizetype(length));
        at += qsizetype(length);
        return true;
    }
    bool skipString(const char *field) {
        quint32 length = 0;
        if (!u32(length, field) || !need(length, field))
            return false;
        at += qsizetype(length);
        return true;
    }
    bool attributes(SftpChannel::Attributes &out) {
        quint32 flags = 0;
        if (!u32(flags, "attribute flags"))
            return false;
        quint32 ignored = 0;
        if (flags & attrSize) {
            quint64 size = 0;
            if (!u64(size, "attributes"))
                return false;
            // A size no file can have is taken as unknown rather than trusted in any sum.
            out.hasSize = size <= quint64(1) << 62;
            out.size = out.hasSize ? qint64(size) : 0;
        }
        if ((flags & attrUidGid) && !(u32(ignored, "attributes") && u32(ignored, "attributes")))
            return false;
        if (flags & attrPermissions) {
            if (!u32(out.permissions, "attributes"))
                return false;
            out.hasPermissions = true;
        }
        if (flags & attrTimes) {
            quint32 mtime = 0;
            if (!u32(ignored, "attributes") || !u32(mtime, "attributes"))
                return false;
            out.hasTimes = true;
            out.mtime = mtime;
        }
        if (flags & attrExtended) {
            quint32 count = 0;
            if (!u32(count, "attributes"))
                return false;
            if (qint64(count) * 8 > left())
                return fault("an extended attribute count the packet cannot hold");
            for (quint32 i = 0; i < count; ++i)
                if (!skipString("attributes") || !skipString("attributes"))
                    return false;
        }
        return true;
    }
    bool fault(const QString &text) {
        if (what.isEmpty())
            what = text;
        return false;
    }
    QString what;

private:
    bool need(qint64 count, const char *field) {
        if (count <= left())
            return true;
        return fault(QString("%1 running past the end of its packet").arg(QLatin1String(field)));
    }
    const QByteArray &bytes;
    qsizetype at;
};

// Waits up to timeoutMs for channel bytes: their count, 0 when none came in time, negative on an error.
// The one place libssh 0.10 (Linux) and 0.11 (Windows) differ for us: 0.11 reports a wait that ran out
// as SSH_AGAIN where 0.10 returns 0.
int readChannel(ssh_channel channel, char *into, quint32 count, bool stderrStream, int timeoutMs) {
    const int got = ssh_channel_read_timeout(channel, into, count, stderrStream ? 1 : 0, timeoutMs);
    return got == SSH_AGAIN ? 0 : got;
}

const char *kindName(quint8 kind) {
    switch (kind) {
    case SftpChannel::Open:
        return "OPEN";
    case SftpChannel::Close:
        return "CLOSE";
    case SftpChannel::Read:
        return "READ";
    case SftpChannel::Lstat:
        return "LSTAT";
    case SftpChannel::Fstat:
        return "FSTAT";
    case SftpChannel::Opendir:
        return "OPENDIR";
    case SftpChannel::Readdir:
        return "READDIR";
    case SftpChannel::Realpath:
        return "REALPATH";
    case SftpChannel::Stat:
        return "STAT";
    }
    return "?";
}

// Whether a reply of this type can answer a request of this kind (a STATUS answers every one).
bool answers(quint8 kind, quint8 type) {
    if (type == SftpChannel::Status)
        return true;
    switch (kind) {
    case SftpChannel::Open:
    case SftpChannel::Opendir:
        return type == SftpChannel::Handle;
    case SftpChannel::Read:
        return type == SftpChannel::Data;
    case SftpChannel::Readdir:
    case SftpChannel::Realpath:
        return type == SftpChannel::Name;
    case SftpChannel::Stat:
    case SftpChannel::Lstat:
    case SftpChannel::Fstat:
        return type == SftpChannel::Attrs;
    }
    return false;
}

} // namespace

QString SftpChannel::Reply::errorText() const {
    if (type != Status)
        return QStringLiteral("unexpected reply");
    return message.isEmpty() ? QString("status %1").arg(status) : message;
}

SftpChannel::SftpChannel(ssh_session ssh, SessionWatchdog *watchdog) : ssh(ssh), watchdog(watchdog) {}

SftpChannel::~SftpChannel() {
    if (channel) {
        if (!broken && ssh_is_connected(ssh))
            ssh_channel_close(channel);
        ssh_channel_free(channel);
    }
}

void SftpChannel::fail(const QString &why, bool logIt) {
    if (broken)
        return;
    broken = true;
    error = why;
    if (logIt)
        Write_Log("Error sftp protocol - " + why);
    pending.clear();
    forgottenIds.clear();
    parked.clear();
    readBytesAsked = 0;
}

bool SftpChannel::start() {
    channel = ssh_channel_new(ssh);
    int result = SSH_ERROR;
    if (channel) {
        PendingRequest waiting(watchdog);
        result = ssh_channel_open_session(channel);
        if (result == SSH_OK)
            result = ssh_channel_request_sftp(channel);
    }
    if (result != SSH_OK) {
        fail(QString::fromUtf8(ssh_get_error(ssh)), false);
        return false;
    }
    QByteArray init;
    putU32(init, 5);
    init.append(char(initType));
    putU32(init, 3);
    outgoing += init;
    // The VERSION reply has no id; it is read here by hand with the same caps as every other packet.
    pending.insert(0, {versionType, 0});
    Reply reply;
    if (!receive(reply))
        return false;
    if (reply.status != 3) {
        fail(QString("the server speaks SFTP version %1, not 3").arg(reply.status), false);
        return false;
    }
    return true;
}

quint32 SftpChannel::send(quint8 kind, const QByteArray &body, quint32 asked) {
    if (broken)
        return 0;
    const quint32 id = nextId;
    nextId = nextId == 0x7fffffff ? 1 : nextId + 1;
    putU32(outgoing, quint32(body.size() + 5));
    outgoing.append(char(kind));
    putU32(outgoing, id);
    outgoing.append(body);
    pending.insert(id, {kind, asked});
    readBytesAsked += asked;
    // Small requests are gathered into one write; a large batch goes out as it grows.
    if (outgoing.size() >= 32 * 1024 && !flush())
        return 0;
    return id;
}

bool SftpChannel::flush() {
    if (broken)
        return false;
    qsizetype sent = 0;
    while (sent < outgoing.size()) {
        int written;
        {
            PendingRequest waiting(watchdog);
            written = ssh_channel_write(channel, outgoing.constData() + sent,
                                        quint32(qMin<qsizetype>(outgoing.size() - sent, 64 * 1024)));
        }
        if (written <= 0) {
            fail(QString::fromUtf8(ssh_get_error(ssh)), false);
            return false;
        }
        sent += written;
    }
    outgoing.clear();
    return true;
}

namespace {
QByteArray pathBody(const QByteArray &path) {
    QByteArray body;
    putString(body, path);
    return body;
}
} // namespace

quint32 SftpChannel::open(const QByteArray &path) {
    QByteArray body = pathBody(path);
    putU32(body, 0x1); // read only
    putU32(body, 0);   // no attributes
    return send(Open, body);
}

quint32 SftpChannel::close(const QByteArray &handle) {
    return send(Close, pathBody(handle));
}

quint32 SftpChannel::read(const QByteArray &handle, qint64 offset, quint32 length) {
    QByteArray body = pathBody(handle);
    putU32(body, quint32(quint64(offset) >> 32));
    putU32(body, quint32(quint64(offset)));
    putU32(body, length);
    return send(Read, body, length);
}

quint32 SftpChannel::opendir(const QByteArray &path) {
    return send(Opendir, pathBody(path));
}

quint32 SftpChannel::readdir(const QByteArray &handle) {
    return send(Readdir, pathBody(handle));
}

quint32 SftpChannel::stat(const QByteArray &path) {
    return send(Stat, pathBody(path));
}

quint32 SftpChannel::lstat(const QByteArray &path) {
    return send(Lstat, pathBody(path));
}

quint32 SftpChannel::fstat(const QByteArray &handle) {
    return send(Fstat, pathBody(handle));
}

quint32 SftpChannel::realpath(const QByteArray &path) {
    return send(Realpath, pathBody(path));
}

void SftpChannel::forget(quint32 id) {
    if (pending.contains(id))
        forgottenIds.insert(id);
    for (int i = 0; i < parked.size(); ++i)
        if (parked.at(i).id == id)
            parked.remove(i--);
}

bool SftpChannel::fill() {
    if (!flush())
        return false;
    // A read of the (always empty) error stream asking for a whole window makes libssh announce that
    // much to the server, so replies to every read in flight can come without waiting; the buffer is
    // never written into, so its pages are never used.
    if (windowScratch.size() < qsizetype(channelWindow))
        windowScratch.resize(channelWindow);
    readChannel(channel, windowScratch.data(), channelWindow, true, 0);
    if (incomingUsed > 0 && incomingUsed == incoming.size()) {
        incoming.clear();
        incomingUsed = 0;
    } else if (incomingUsed > readSlice) {
        incoming.remove(0, incomingUsed);
        incomingUsed = 0;
    }
    const qsizetype before = incoming.size();
    incoming.resize(before + readSlice);
    int got = 0;
    {
        // The watch ends the connection when nothing comes for its whole idle time.
        PendingRequest waiting(watchdog);
        while (got == 0) {
            got = readChannel(channel, incoming.data() + before, readSlice, false, waitSliceMs);
            if (got == 0 &&
                (ssh_channel_is_eof(channel) || !ssh_is_connected(ssh) || sessionTimedOut(watchdog)))
                got = SSH_ERROR;
        }
    }
    incoming.resize(before + qMax(got, 0));
    if (got < 0) {
        const QString text = QString::fromUtf8(ssh_get_error(ssh));
        fail(text.isEmpty() ? QStringLiteral("the server closed the channel") : text, false);
        return false;
    }
    return true;
}

bool SftpChannel::receive(Reply &reply) {
    for (;;) {
        if (broken)
            return false;
        const qsizetype available = incoming.size() - incomingUsed;
        if (available >= 4) {
            const quint32 length = qFromBigEndian<quint32>(incoming.constData() + incomingUsed);
            // Refused before a byte more is awaited: a 2 GiB claim must not hold the run.
            if (length > maxPacket) {
                fail(QString("a packet of %1 bytes, more than %2").arg(length).arg(maxPacket));
                return false;
            }
            if (length < 5) {
                fail(QString("a packet of %1 bytes, too short for a reply").arg(length));
                return false;
            }
            if (available >= 4 + qsizetype(length)) {
                const QByteArray packet = incoming.mid(incomingUsed + 4, length);
                incomingUsed += 4 + length;
                return parse(packet, reply);
            }
        }
        if (!fill())
            return false;
    }
}

bool SftpChannel::parse(const QByteArray &packet, Reply &reply) {
    reply = Reply();
    reply.type = quint8(packet.at(0));
    PacketReader in(packet, 1);
    quint32 id = 0;
    in.u32(id, "id");
    if (reply.type == versionType) {
        // Only ever the first packet, with the version where other packets have their id.
        if (!pending.contains(0)) {
            fail("a VERSION packet after the start");
            return false;
        }
        pending.remove(0);
        reply.status = id;
        return true;
    }
    reply.id = id;
    const auto found = pending.constFind(id);
    if (found == pending.cend() || id == 0) {
        fail(QString("a reply (type %1) to request %2, which is not in flight").arg(reply.type).arg(id));
        return false;
    }
    const Request request = *found;
    if (!answers(request.kind, reply.type)) {
        fail(QString("a reply of type %1 to a %2 request").arg(reply.type).arg(kindName(request.kind)));
        return false;
    }
    pending.erase(found);
    readBytesAsked -= request.asked;
    bool ok = true;
    switch (reply.type) {
    case Status: {
        ok = in.u32(reply.status, "status");
        QByteArray message;
        // Version 3 servers add a message and a language tag; very old ones send the code alone.
        if (ok && in.left() > 0 && in.string(message, "status message"))
            reply.message = QString::fromUtf8(message).left(200);
        ok = ok && in.what.isEmpty();
        break;
    }
    case Handle:
        ok = in.string(reply.handle, "handle");
        if (ok && (reply.handle.isEmpty() || quint32(reply.handle.size()) > maxHandle))
            ok = in.fault(QString("a handle of %1 bytes").arg(reply.handle.size()));
        break;
    case Data:
        ok = in.string(reply.data, "data length");
        if (ok && quint32(reply.data.size()) > request.asked)
            ok = in.fault(
                QString("%1 bytes of data for a read of %2").arg(reply.data.size()).arg(request.asked));
        break;
    case Name: {
        quint32 count = 0;
        ok = in.u32(count, "name count");
        // Each entry takes at least two lengths and its attribute flags.
        if (ok && qint64(count) * 12 > in.left())
            ok = in.fault(QString("a name count of %1 that the packet cannot hold").arg(count));
        if (ok && request.kind == Realpath && count != 1)
            ok = in.fault(QString("%1 names for one path").arg(count));
        if (ok)
            reply.entries.reserve(int(count));
        for (quint32 i = 0; ok && i < count; ++i) {
            Entry entry;
            ok = in.string(entry.name, "name") && in.skipString("long name") &&
                 in.attributes(entry.attributes);
            if (ok && entry.name.contains('\0'))
                ok = in.fault("a name holding a NUL byte");
            reply.entries.append(entry);
        }
        break;
    }
    case Attrs:
        ok = in.attributes(reply.attributes);
        break;
    }
    if (!ok) {
        fail(QString("%1 in the answer to a %2 request").arg(in.what, QLatin1String(kindName(request.kind))));
        return false;
    }
    return true;
}

bool SftpChannel::next(Reply &reply) {
    for (;;) {
        if (broken)
            return false;
        if (!parked.isEmpty()) {
            reply = parked.takeFirst();
            return true;
        }
        if (pending.size() == forgottenIds.size())
            return false; // nothing in flight whose answer is wanted
        if (!receive(reply))
            return false;
        if (!forgottenIds.remove(reply.id))
            return true;
    }
}

bool SftpChannel::waitFor(quint32 id, Reply &reply) {
    for (int i = 0; i < parked.size(); ++i) {
        if (parked.at(i).id == id) {
            reply = parked.takeAt(i);
            return true;
        }
    }
    if (!pending.contains(id)) {
        if (!broken)
            fail(QString("a wait for request %1, which is not in flight").arg(id), false);
        return false;
    }
    for (;;) {
        Reply other;
        if (!receive(other))
            return false;
        if (forgottenIds.remove(other.id))
            continue;
        if (other.id == id) {
            reply = std::move(other);
            return true;
        }
        parked.append(std::move(other));
    }
}

bool SftpChannel::listFolder(const QByteArray &path, QVector<Entry> &entries, QString *why) {
    entries.clear();
    Reply reply;
    const quint32 openId = opendir(path);
    if (!openId || !waitFor(openId, reply)) {
        *why = errorText();
        return false;
    }
    if (reply.type != Handle) {
        *why = reply.errorText();
        return false;
    }
    const QByteArray handle = reply.handle;
    bool complete = false;
    for (;;) {
        const quint32 id = readdir(handle);
        if (!id || !waitFor(id, reply)) {
            *why = errorText();
            return false;
        }
        if (reply.isEof()) {
            complete = true;
            break;
        }
        if (reply.type != Name) {
            *why = reply.errorText();
            break;
        }
        if (reply.entries.isEmpty() || entries.size() + reply.entries.size() > maxListing) {
            *why = reply.entries.isEmpty() ? QStringLiteral("an empty answer to READDIR")
                                           : QString("more than %1 entries").arg(maxListing);
            break;
        }
        entries += reply.entries;
    }
    forget(close(handle));
    if (!complete)
        entries.clear();
    return complete;
}

bool SftpChannel::statPath(const QByteArray &path, Attributes &attributes) {
    Reply reply;
    const quint32 id = stat(path);
    if (!id || !waitFor(id, reply) || reply.type != Attrs)
        return false;
    attributes = reply.attributes;
    return true;
}

QByteArray SftpChannel::canonicalPath(const QByteArray &path) {
    Reply reply;
    const quint32 id = realpath(path);
    if (!id || !waitFor(id, reply) || reply.type != Name || reply.entries.isEmpty())
        return {};
    return reply.entries.first().name;
}
