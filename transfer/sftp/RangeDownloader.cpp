#include "transfer/sftp/RangeDownloader.h"

#include <QFileDevice>
#include <QHash>
#include <QMutexLocker>

#include "transfer/sftp/SftpChannel.h"

#include <memory>

namespace {

constexpr qint64 sliceBytes = RangeDownloader::sliceSteps * RangeDownloader::stepSize;

// What every session working on one file shares; guarded by mutex.
struct SharedRange {
    QMutex mutex;
    QWaitCondition progressed;
    QByteArray remotePath;
    qint64 begin = 0; // file offset of step 0
    qint64 sliceCount = 0;
    qint64 nextSlice = 0;
    qint64 writtenSteps = 0;         // steps the caller has written, in file order
    QHash<qint64, QByteArray> ready; // steps read and not yet written; an empty one: the file ended there
    bool stop = false;
    bool failed = false;
    QString errorText;

    // The next free slice; -1 when none is left, -2 while it would run too far ahead of the writing.
    qint64 claimSlice() {
        QMutexLocker locker(&mutex);
        if (stop || nextSlice >= sliceCount)
            return -1;
        if (nextSlice >= writtenSteps / RangeDownloader::sliceSteps + RangeDownloader::slicesAhead)
            return -2;
        return nextSlice++;
    }

    // Returns false once the download stops.
    bool record(qint64 step, const QByteArray &bytes) {
        QMutexLocker locker(&mutex);
        if (stop)
            return false;
        ready.insert(step, bytes);
        progressed.wakeAll();
        return true;
    }

    void fail(const QString &text) {
        QMutexLocker locker(&mutex);
        if (!failed)
            errorText = text;
        failed = true;
        stop = true;
        progressed.wakeAll();
    }
};

std::unique_ptr<PipelinedReader> readerFor(const SharedRange &range, const SftpSession &session,
                                           const QByteArray &file, qint64 slice) {
    const qint64 begin = range.begin + slice * sliceBytes;
    // The last slice reads on to the end of the file, in case it grew since it was listed.
    const qint64 end = slice + 1 == range.sliceCount ? -1 : begin + sliceBytes;
    auto reader = std::make_unique<PipelinedReader>(session, file, begin, end);
    reader->prime();
    return reader;
}

// A free slice, waiting while the writing lags behind; -1 when none is left. The caller's own thread
// (afterStep set) writes what has arrived meanwhile.
qint64 waitForSlice(SharedRange &range, const std::function<void()> &afterStep) {
    for (;;) {
        const qint64 slice = range.claimSlice();
        if (slice != -2)
            return slice;
        if (afterStep)
            afterStep();
        QMutexLocker locker(&range.mutex);
        range.progressed.wait(&range.mutex, 100);
    }
}

// Reads free slices on one session until none is left; afterStep runs after each step it read.
void readSlices(SharedRange &range, const SftpSession &session, const QByteArray &file,
                const std::function<void()> &afterStep) {
    std::unique_ptr<PipelinedReader> reader;
    std::unique_ptr<PipelinedReader> nextReader;
    qint64 slice = -1;
    for (;;) {
        if (!reader) {
            slice = waitForSlice(range, afterStep);
            if (slice < 0)
                return;
            reader = readerFor(range, session, file, slice);
        }
        const bool lastSlice = slice + 1 == range.sliceCount;
        const qint64 sliceEnd = range.begin + (slice + 1) * sliceBytes;
        qint64 nextSlice = -1;
        for (;;) {
            const qint64 offset = reader->position();
            const qint64 step = (offset - range.begin) / RangeDownloader::stepSize;
            QByteArray bytes(int(RangeDownloader::stepSize), Qt::Uninitialized);
            const qint64 n = reader->read(bytes.data(), RangeDownloader::stepSize);
            if (n < 0) {
                range.fail(reader->errorText());
                return;
            }
            if (n == 0) {
                // A slice that ends early marks where the file ends (it shrank since it was listed).
                if ((lastSlice || offset < sliceEnd) && !range.record(step, QByteArray()))
                    return;
                break;
            }
            // The next slice is asked for while this one's last replies are still coming in.
            if (reader->requestedAll() && !nextReader) {
                nextSlice = range.claimSlice();
                if (nextSlice >= 0)
                    nextReader = readerFor(range, session, file, nextSlice);
            }
            bytes.resize(int(n));
            if (!range.record(step, bytes))
                return;
            if (afterStep)
                afterStep();
            if (n < RangeDownloader::stepSize)
                break;
        }
        reader = std::move(nextReader);
        slice = nextSlice;
    }
}

class RangeJob : public PoolJob {
public:
    explicit RangeJob(std::shared_ptr<SharedRange> range) : range(std::move(range)) {}
    void run(SftpSession &session) override {
        {
            QMutexLocker locker(&range->mutex);
            if (range->stop || range->nextSlice >= range->sliceCount)
                return;
        }
        SftpChannel &channel = *session.sftp;
        SftpChannel::Reply opened;
        const quint32 id = channel.open(range->remotePath);
        if (!id || !channel.waitFor(id, opened) || opened.type != SftpChannel::Handle)
            return; // the other sessions take its share
        readSlices(*range, session, opened.handle, nullptr);
        channel.forget(channel.close(opened.handle));
    }

private:
    std::shared_ptr<SharedRange> range;
};

} // namespace

qint64 RangeDownloader::download(const QByteArray &remoteFile, const QByteArray &remotePath, qint64 size,
                                 QFileDevice &target, const StepHandler &onStep, qint64 begin) {
    auto range = std::make_shared<SharedRange>();
    range->remotePath = remotePath;
    range->begin = begin;
    const qint64 remaining = qMax<qint64>(size - begin, 0);
    range->sliceCount = qMax<qint64>(1, (remaining + sliceBytes - 1) / sliceBytes);
    wasCancelled = false;
    error.clear();

    QVector<std::shared_ptr<PoolJob>> jobs;
    for (qint64 i = 1; i < qMin<qint64>(range->sliceCount, SftpSessionPool::maxSessions); ++i) {
        jobs.append(std::make_shared<RangeJob>(range));
        pool.post(jobs.last(), true);
    }

    // Writes the steps that have arrived, in file order, on this thread.
    qint64 written = 0;
    qint64 total = 0;
    bool reachedEnd = false;
    auto handOver = [&] {
        while (!reachedEnd && !wasCancelled) {
            QByteArray bytes;
            {
                QMutexLocker locker(&range->mutex);
                const auto found = range->ready.find(written);
                if (found == range->ready.end())
                    return;
                bytes = std::move(*found);
                range->ready.erase(found);
            }
            if (bytes.isEmpty()) {
                reachedEnd = true;
                return;
            }
            const bool stored = target.write(bytes) == bytes.size();
            {
                QMutexLocker locker(&range->mutex);
                range->writtenSteps = ++written;
                range->progressed.wakeAll();
            }
            total += bytes.size();
            if (bytes.size() < stepSize)
                reachedEnd = true;
            if (!onStep(bytes.size(), stored)) {
                QMutexLocker locker(&range->mutex);
                wasCancelled = true;
                range->stop = true;
                range->progressed.wakeAll();
            }
        }
    };

    readSlices(*range, pool.primary(), remoteFile, handOver);
    for (;;) {
        handOver();
        bool busy = false;
        for (const auto &job : jobs) {
            pool.runHereIfQueued(job); // no helper took it (none could connect): do its share here
            busy = busy || !pool.isDone(job);
        }
        if (!busy)
            break;
        QMutexLocker locker(&range->mutex);
        range->progressed.wait(&range->mutex, 100);
    }
    handOver();

    if (range->failed) {
        error = range->errorText;
        return -1;
    }
    if (wasCancelled)
        return total;
    // Data past the point where the file ended means it changed while it was read: no usable copy.
    bool consistent = reachedEnd;
    for (auto it = range->ready.cbegin(); it != range->ready.cend(); ++it)
        consistent = consistent && it->isEmpty();
    if (!consistent) {
        error = QStringLiteral("the file changed while it was read");
        return -1;
    }
    return total;
}
