#include "transfer/sftp/FilePrefetcher.h"

#include "transfer/sftp/SftpChannel.h"

#include <QCryptographicHash>
#include <QMap>

namespace {
constexpr int maxBatchesAhead = 3 * SftpSessionPool::maxSessions; // every session has its next batch
constexpr quint32 pieceSize = 64 * 1024;
constexpr quint32 endProbe = 4096; // the read past the listed size that hears of the end
} // namespace

class FilePrefetcher::Batch : public PoolJob {
public:
    struct File {
        QByteArray path;
        qint64 sizeHint = 0;
        bool wanted = true; // false: too large to keep, only reported as not fetched
        Entry entry;
        // While it is read:
        QByteArray handle;
        qint64 nextOffset = 0;          // the next byte no request covers yet
        qint64 endAt = -1;              // where the server said the file ends
        qint64 contiguous = 0;          // bytes in order so far (hashed or kept)
        QMap<qint64, QByteArray> early; // replies ahead of contiguous
        int inFlight = 0;
        bool done = false;
        std::shared_ptr<QCryptographicHash> hash; // HashMd5, while it is read
    };
    struct Ask {
        int file;
        qint64 offset;
        quint32 length;
    };
    struct Sent {
        int file;
        quint8 kind;
        qint64 offset;
        quint32 length;
    };

    QVector<File> files;
    bool keep = true;
    qint64 keepLimit = 0;
    std::function<bool()> stop;

    void run(SftpSession &session) override {
        SftpChannel &channel = *session.sftp;
        QHash<quint32, Sent> sent;
        QVector<Ask> asks; // reads waiting for room in the channel's window
        auto finish = [&](int i, const QString &error) {
            File &file = files[i];
            if (file.done)
                return;
            file.done = true;
            if (!error.isEmpty()) {
                file.entry.status = -1;
                file.entry.errorText = error;
                file.entry.bytes.clear();
            } else {
                file.entry.fetched = true;
                file.entry.status = file.contiguous;
                if (!keep)
                    file.entry.md5 = file.hash->result();
            }
            file.early.clear();
            if (!file.handle.isEmpty()) {
                // Not waited for: the answer is dropped when it comes.
                channel.forget(channel.close(file.handle));
                file.handle.clear();
            }
        };
        auto ask = [&](int i, qint64 offset, quint32 length) { asks.append({i, offset, length}); };
        // Plans the reads of a file up to its listed size and the one past it.
        auto plan = [&](int i) {
            File &file = files[i];
            while (file.nextOffset < file.sizeHint) {
                const quint32 length = quint32(qMin<qint64>(pieceSize, file.sizeHint - file.nextOffset));
                ask(i, file.nextOffset, length);
                file.nextOffset += length;
            }
            ask(i, file.nextOffset, endProbe);
            file.nextOffset += endProbe;
        };
        auto sendAsks = [&]() {
            while (!asks.isEmpty()) {
                const Ask next = asks.first();
                File &file = files[next.file];
                if (file.done) {
                    asks.removeFirst();
                    continue;
                }
                if (!sent.isEmpty() && channel.readBytesInFlight() + next.length > SftpChannel::channelWindow)
                    return true;
                const quint32 id = channel.read(file.handle, next.offset, next.length);
                if (!id)
                    return false;
                sent.insert(id, {next.file, SftpChannel::Read, next.offset, next.length});
                ++file.inFlight;
                asks.removeFirst();
            }
            return true;
        };
        // Takes bytes at an offset; false when they contradict what is known (the file changed).
        auto take = [&](int i, qint64 offset, QByteArray bytes) {
            File &file = files[i];
            if (file.endAt >= 0 && offset + bytes.size() > file.endAt)
                return false;
            if (offset > file.contiguous) {
                file.early.insert(offset, std::move(bytes));
                return true;
            }
            for (;;) {
                const qint64 skip = file.contiguous - offset;
                if (skip < bytes.size()) {
                    const QByteArrayView fresh(bytes.constData() + skip, bytes.size() - skip);
                    if (keep)
                        file.entry.bytes.append(fresh);
                    else
                        file.hash->addData(fresh);
                    file.contiguous += fresh.size();
                }
                if (file.early.isEmpty() || file.early.firstKey() > file.contiguous)
                    return true;
                offset = file.early.firstKey();
                bytes = file.early.take(offset);
            }
        };

        for (int i = 0; i < files.size(); ++i) {
            if (!keep)
                files[i].hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Md5);
            if (!files[i].wanted) {
                files[i].done = true;
                files[i].entry.opened = true;
                continue;
            }
            const quint32 id = channel.open(files[i].path);
            if (!id)
                break;
            sent.insert(id, {i, SftpChannel::Open, 0, 0});
        }
        while (!sent.isEmpty() && !channel.failed()) {
            if (stop && stop()) {
                for (int i = 0; i < files.size(); ++i)
                    if (!files[i].done)
                        finish(i, QStringLiteral("cancelled"));
                break;
            }
            SftpChannel::Reply reply;
            if (!channel.next(reply))
                break;
            const auto found = sent.constFind(reply.id);
            if (found == sent.cend())
                continue; // not this batch's: a reader before it gave it up
            const Sent request = *found;
            sent.erase(found);
            File &file = files[request.file];
            if (request.kind == SftpChannel::Open) {
                if (reply.type != SftpChannel::Handle) {
                    file.entry.errorText = reply.errorText();
                    file.done = true;
                    continue;
                }
                file.entry.opened = true;
                file.handle = reply.handle;
                // The mode goes with a file that is written (an installer must stay runnable).
                const quint32 statId = keep ? channel.fstat(file.handle) : 0;
                if (statId)
                    sent.insert(statId, {request.file, SftpChannel::Fstat, 0, 0});
                plan(request.file);
            } else if (request.kind == SftpChannel::Fstat) {
                if (reply.type == SftpChannel::Attrs && reply.attributes.hasPermissions)
                    file.entry.permissions = reply.attributes.permissions;
                continue;
            } else {
                --file.inFlight;
                if (file.done)
                    continue;
                if (reply.isEof() || (reply.type == SftpChannel::Data && reply.data.isEmpty())) {
                    // The file ends here; what came from further on means it changed while it was read.
                    if (file.endAt < 0 || request.offset < file.endAt)
                        file.endAt = request.offset;
                    if (file.contiguous > file.endAt ||
                        (!file.early.isEmpty() && file.early.lastKey() >= file.endAt))
                        finish(request.file, QStringLiteral("the file changed while it was read"));
                } else if (reply.type != SftpChannel::Data) {
                    finish(request.file, reply.errorText());
                } else {
                    const quint32 n = quint32(reply.data.size());
                    if (!take(request.file, request.offset, std::move(reply.data))) {
                        finish(request.file, QStringLiteral("the file changed while it was read"));
                    } else if (n < request.length) {
                        // A server that caps its replies: the rest of this piece is asked again.
                        ask(request.file, request.offset + n, request.length - n);
                    } else if (request.offset + n == file.nextOffset && file.endAt < 0) {
                        // Past the size it was listed with, and still going: read on.
                        if (keep && file.nextOffset > keepLimit) {
                            finish(request.file, QStringLiteral("larger than listed"));
                            file.entry.fetched = false;
                        } else {
                            ask(request.file, file.nextOffset, pieceSize);
                            file.nextOffset += pieceSize;
                        }
                    }
                }
            }
            if (!file.done && file.endAt >= 0 && file.contiguous == file.endAt && file.inFlight == 0)
                finish(request.file, QString());
            if (!sendAsks())
                break;
        }
        for (int i = 0; i < files.size(); ++i)
            if (!files[i].done)
                finish(i, channel.failed() ? channel.errorText() : QStringLiteral("no complete answer"));
        // Replies still on their way (a cancel) are dropped by the channel when they come.
        for (auto it = sent.cbegin(); it != sent.cend(); ++it)
            channel.forget(it.key());
        channel.flush();
    }
};

FilePrefetcher::FilePrefetcher(SftpSessionPool &pool, Mode mode, qint64 keepLimit, qint64 aheadLimit)
    : pool(pool), mode(mode), keepLimit(keepLimit), aheadLimit(aheadLimit) {}

FilePrefetcher::~FilePrefetcher() {
    // Batches nobody took (a cancelled run) are not fetched; those under way end before this goes.
    for (const auto &batch : std::as_const(posted))
        if (untaken.contains(batch.get()) && !pool.withdraw(batch))
            pool.wait(batch);
}

int FilePrefetcher::add(const QByteArray &remotePath, qint64 sizeHint) {
    const int ticket = nextTicket++;
    items.insert(ticket, {remotePath, qMax<qint64>(sizeHint, 0), nullptr, 0});
    backlog.append(ticket);
    postMore();
    return ticket;
}

void FilePrefetcher::postMore() {
    while (!backlog.isEmpty() && batchesAhead < maxBatchesAhead) {
        auto batch = std::make_shared<Batch>();
        batch->keep = mode == KeepBytes;
        batch->keepLimit = keepLimit;
        batch->stop = stopCheck;
        qint64 bytes = 0;
        while (!backlog.isEmpty() && batch->files.size() < batchFiles) {
            Item &item = items[backlog.first()];
            const bool wanted = !batch->keep || item.sizeHint <= keepLimit;
            const qint64 size = wanted && batch->keep ? item.sizeHint : 0;
            if ((batchesAhead > 0 || !batch->files.isEmpty()) && bytesAhead + bytes + size > aheadLimit)
                break;
            Batch::File file;
            file.path = item.path;
            file.sizeHint = item.sizeHint;
            file.wanted = wanted;
            item.batch = batch;
            item.index = int(batch->files.size());
            batch->files.append(file);
            bytes += size;
            backlog.removeFirst();
        }
        if (batch->files.isEmpty())
            return;
        bytesAhead += bytes;
        ++batchesAhead;
        untaken.insert(batch.get(), int(batch->files.size()));
        posted.append(batch);
        pool.post(batch);
    }
}

FilePrefetcher::Entry FilePrefetcher::take(int ticket) {
    const auto found = items.find(ticket);
    if (found == items.end())
        return Entry();
    if (!found->batch) {
        // Not posted yet (memory ahead is full): everything before it is taken by now, so post it.
        while (!found->batch && !backlog.isEmpty()) {
            const int before = batchesAhead;
            postMore();
            if (batchesAhead == before)
                break;
        }
    }
    Item item = items.take(ticket);
    if (!item.batch) {
        backlog.removeOne(ticket);
        auto batch = std::make_shared<Batch>();
        batch->keep = mode == KeepBytes;
        batch->keepLimit = keepLimit;
        batch->stop = stopCheck;
        Batch::File file;
        file.path = item.path;
        file.sizeHint = item.sizeHint;
        file.wanted = !batch->keep || item.sizeHint <= keepLimit;
        batch->files.append(file);
        batch->run(pool.primary());
        return std::move(batch->files[0].entry);
    }
    // While a helper works on the wanted batch, this session takes later ones instead of idling.
    while (!pool.isDone(item.batch) && !pool.runHereIfQueued(item.batch) && pool.runNextHere())
        ;
    pool.wait(item.batch);
    Entry entry = std::move(item.batch->files[item.index].entry);
    if (mode == KeepBytes && item.batch->files[item.index].wanted)
        bytesAhead -= item.sizeHint;
    if (--untaken[item.batch.get()] == 0) {
        untaken.remove(item.batch.get());
        posted.removeOne(item.batch);
        --batchesAhead;
    }
    postMore();
    return entry;
}
