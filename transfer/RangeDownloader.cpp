#include "transfer/RangeDownloader.h"

#include "transfer/PipelinedReader.h"

#include <QFileDevice>
#include <QMutexLocker>

#include <fcntl.h>
#include <memory>

namespace {

constexpr qint64 sliceBytes = RangeDownloader::sliceSteps * RangeDownloader::stepSize;

// What every session working on one file shares; guarded by mutex.
struct SharedRange {
    QMutex mutex;
    QWaitCondition progressed;
    QByteArray remotePath;
    QFileDevice *target = nullptr;
    quint32 channelWindow = 0;
    qint64 sliceCount = 0;
    qint64 nextSlice = 0;
    QVector<qint64> stepBytes; // per step: bytes written, 0 where the file ended, -1 not yet read
    QVector<bool> stepWritten;
    bool stop = false;
    bool failed = false;
    QString errorText;

    qint64 claimSlice() {
        QMutexLocker locker(&mutex);
        return stop || nextSlice >= sliceCount ? -1 : nextSlice++;
    }

    void record(qint64 step, qint64 bytes, bool written) {
        QMutexLocker locker(&mutex);
        if (step >= stepBytes.size()) {
            stepBytes.resize(step + 1, -1);
            stepWritten.resize(step + 1, false);
        }
        stepBytes[step] = bytes;
        stepWritten[step] = written;
        progressed.wakeAll();
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
                                           sftp_file file, qint64 slice) {
    const qint64 begin = slice * sliceBytes;
    // The last slice reads on to the end of the file, in case it grew since it was listed.
    const qint64 end = slice + 1 == range.sliceCount ? -1 : begin + sliceBytes;
    auto reader = std::make_unique<PipelinedReader>(session, file, begin, end);
    reader->setChannelWindow(range.channelWindow);
    reader->prime();
    return reader;
}

// Reads free slices on one session until none is left; afterStep runs after each step it wrote.
void readSlices(SharedRange &range, const SftpSession &session, sftp_file file,
                const std::function<void()> &afterStep) {
    QByteArray buffer(int(RangeDownloader::stepSize), Qt::Uninitialized);
    qint64 slice = range.claimSlice();
    std::unique_ptr<PipelinedReader> reader = slice >= 0 ? readerFor(range, session, file, slice) : nullptr;
    qint64 nextSlice = -1;
    std::unique_ptr<PipelinedReader> nextReader;
    while (reader) {
        qint64 step = reader->position() / RangeDownloader::stepSize;
        const bool lastSlice = slice + 1 == range.sliceCount;
        const qint64 sliceEnd = (slice + 1) * sliceBytes;
        for (;;) {
            const qint64 offset = reader->position();
            const qint64 n = reader->read(buffer.data(), RangeDownloader::stepSize);
            if (n < 0) {
                range.fail(QString::fromUtf8(ssh_get_error(session.ssh)));
                return;
            }
            if (n == 0) {
                // A slice that ends early marks where the file ends (it shrank since it was listed).
                if (lastSlice || offset < sliceEnd)
                    range.record(step, 0, true);
                break;
            }
            // The next slice is asked for while this one's last replies are still coming in.
            if (reader->requestedAll() && !nextReader) {
                nextSlice = range.claimSlice();
                if (nextSlice >= 0)
                    nextReader = readerFor(range, session, file, nextSlice);
            }
            bool written;
            {
                QMutexLocker locker(&range.mutex);
                if (range.stop)
                    return;
                written = range.target->seek(offset) && range.target->write(buffer.constData(), n) == n;
            }
            range.record(step++, n, written);
            if (afterStep)
                afterStep();
            if (n < RangeDownloader::stepSize)
                break;
        }
        reader = std::move(nextReader);
        slice = nextSlice;
        nextSlice = -1;
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
        sftp_file file;
        {
            PendingRequest pending(session);
            file = sftp_open(session.sftp, range->remotePath.constData(), O_RDONLY, 0);
        }
        if (file == nullptr)
            return; // the other sessions take its share
        readSlices(*range, session, file, nullptr);
        PendingRequest pending(session);
        sftp_close(file);
    }

private:
    std::shared_ptr<SharedRange> range;
};

} // namespace

qint64 RangeDownloader::download(sftp_file remoteFile, const QByteArray &remotePath, qint64 size,
                                 QFileDevice &target, const StepHandler &onStep) {
    auto range = std::make_shared<SharedRange>();
    range->remotePath = remotePath;
    range->target = &target;
    range->channelWindow = channelWindow;
    size = qMax<qint64>(size, 0);
    range->sliceCount = qMax<qint64>(1, (size + sliceBytes - 1) / sliceBytes);
    range->stepBytes.fill(-1, int((size + stepSize - 1) / stepSize + 1));
    range->stepWritten.fill(false, range->stepBytes.size());
    wasCancelled = false;
    error.clear();

    QVector<std::shared_ptr<PoolJob>> jobs;
    for (qint64 i = 1; i < qMin<qint64>(range->sliceCount, SftpSessionPool::maxSessions); ++i) {
        jobs.append(std::make_shared<RangeJob>(range));
        pool.post(jobs.last(), true);
    }

    // Hands finished steps to the caller in file order, on this thread.
    qint64 handed = 0;
    qint64 total = 0;
    bool reachedEnd = false;
    auto handOver = [&] {
        while (!reachedEnd && !wasCancelled) {
            qint64 bytes;
            bool written;
            {
                QMutexLocker locker(&range->mutex);
                if (handed >= range->stepBytes.size() || range->stepBytes[handed] < 0 || range->failed)
                    return;
                bytes = range->stepBytes[handed];
                written = range->stepWritten[handed];
            }
            if (bytes == 0) {
                reachedEnd = true;
                return;
            }
            ++handed;
            total += bytes;
            if (bytes < stepSize)
                reachedEnd = true;
            if (!onStep(bytes, written)) {
                QMutexLocker locker(&range->mutex);
                wasCancelled = true;
                range->stop = true;
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
        return SSH_ERROR;
    }
    if (wasCancelled)
        return total;
    // Data past the point where the file ended means it changed while it was read: no usable copy.
    bool consistent = reachedEnd;
    for (qint64 i = handed; i < range->stepBytes.size(); ++i)
        consistent = consistent && range->stepBytes[i] <= 0;
    if (!consistent) {
        error = QStringLiteral("the file changed while it was read");
        return SSH_ERROR;
    }
    return total;
}
