#include "transfer/sftp/FilePrefetcher.h"

#include "transfer/sftp/PipelinedReader.h"

#include <QCryptographicHash>

#include <fcntl.h>

namespace {
constexpr int maxJobsAhead = 64; // each costs a few round trips; more buys nothing at 4 sessions
}

class FilePrefetcher::Job : public PoolJob {
public:
    QByteArray path;
    qint64 sizeHint = 0;
    bool readContents = true;
    bool regularFile = false;
    bool keep = true;
    bool posted = false;
    std::function<bool()> stop;
    Entry entry;

    void run(SftpSession &session) override {
        PendingRequest pending(session);
        sftp_dir dir = regularFile ? nullptr : sftp_opendir(session.sftp, path.constData());
        if (dir != nullptr) {
            sftp_closedir(dir);
            entry.isFolder = true;
            return;
        }
        if (!readContents)
            return;
        sftp_file file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
        if (file == nullptr) {
            entry.errorText = QString::fromUtf8(ssh_get_error(session.ssh));
            return;
        }
        entry.opened = true;
        entry.fetched = true;
        QCryptographicHash hash(QCryptographicHash::Md5);
        {
            PipelinedReader reader(session, file);
            reader.setExpectedSize(sizeHint);
            QByteArray step(int(PipelinedReader::stepSize), Qt::Uninitialized);
            if (keep)
                entry.bytes.reserve(int(qMax<qint64>(sizeHint, 0)));
            for (;;) {
                if (stop && stop()) {
                    entry.fetched = false;
                    entry.bytes.clear();
                    break;
                }
                const qint64 n = reader.read(step.data(), PipelinedReader::stepSize);
                if (n <= 0) {
                    if (n < 0) {
                        entry.status = n;
                        entry.errorText = QString::fromUtf8(ssh_get_error(session.ssh));
                    }
                    break;
                }
                entry.status += n;
                if (keep)
                    entry.bytes.append(step.constData(), int(n));
                else
                    hash.addData(QByteArrayView(step.constData(), n));
            }
        }
        sftp_close(file);
        if (!keep)
            entry.md5 = hash.result();
    }
};

FilePrefetcher::FilePrefetcher(SftpSessionPool &pool, Mode mode, qint64 keepLimit, qint64 aheadLimit)
    : pool(pool), mode(mode), keepLimit(keepLimit), aheadLimit(aheadLimit) {}

FilePrefetcher::~FilePrefetcher() {
    // Entries nobody took (a cancelled run) are not fetched; those under way end before this goes.
    for (const auto &job : std::as_const(jobs)) {
        if (job->posted && !pool.withdraw(job))
            pool.wait(job);
    }
}

int FilePrefetcher::add(const QByteArray &remotePath, qint64 sizeHint, bool readContents, bool regularFile) {
    auto job = std::make_shared<Job>();
    job->path = remotePath;
    job->sizeHint = qMax<qint64>(sizeHint, 0);
    job->readContents = readContents;
    job->regularFile = regularFile;
    job->keep = mode == KeepBytes;
    job->stop = stopCheck;
    if (job->keep && job->sizeHint > keepLimit)
        job->readContents = false; // too large to hold: the caller reads it itself after the folder test
    const int ticket = nextTicket++;
    jobs.insert(ticket, job);
    backlog.append(ticket);
    postMore();
    return ticket;
}

void FilePrefetcher::postMore() {
    while (!backlog.isEmpty() && postedAhead < maxJobsAhead) {
        const auto &job = jobs.value(backlog.first());
        const qint64 bytes = job->keep && job->readContents ? job->sizeHint : 0;
        if (postedAhead > 0 && bytesAhead + bytes > aheadLimit)
            return;
        backlog.removeFirst();
        job->posted = true;
        bytesAhead += bytes;
        ++postedAhead;
        pool.post(job);
    }
}

FilePrefetcher::Entry FilePrefetcher::take(int ticket) {
    std::shared_ptr<Job> job = jobs.take(ticket);
    if (!job)
        return Entry();
    if (job->posted) {
        // While a helper works on the wanted entry, this session takes later ones instead of idling.
        while (!pool.isDone(job) && !pool.runHereIfQueued(job) && pool.runNextHere())
            ;
        pool.wait(job);
        bytesAhead -= job->keep && job->readContents ? job->sizeHint : 0;
        --postedAhead;
    } else {
        backlog.removeOne(ticket);
        job->run(pool.primary());
    }
    postMore();
    Entry entry = std::move(job->entry);
    return entry;
}
