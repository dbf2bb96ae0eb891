// Fetches from an SFTP server with the pipelined reader, the session pool and fetch-ahead, timing it.
//
//   quillon-speed-bench SETTINGS_DIR HOST PORT USER PASSWORD large REMOTE_FILE LOCAL_FILE [SESSIONS]
//   quillon-speed-bench SETTINGS_DIR HOST PORT USER PASSWORD many REMOTE_FOLDER LOCAL_FOLDER [SESSIONS]
// Prints one line: "<bytes> bytes in <seconds> s = <MB/s> MB/s, <n> sessions".

#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/RangeDownloader.h"
#include "transfer/sftp/SftpChannel.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QThread>

#include <cstdio>

namespace {

bool openSession(SftpSession &session) {
    return openSftpSession(session, SessionUser::Downloader);
}

qint64 fetchLarge(SftpSessionPool &pool, int sessions, const QByteArray &remote, const QString &local) {
    SftpSession &session = pool.primary();
    SftpChannel &channel = *session.sftp;
    QElapsedTimer opening;
    opening.start();
    SftpChannel::Reply reply;
    const quint32 openId = channel.open(remote);
    if (!openId || !channel.waitFor(openId, reply) || reply.type != SftpChannel::Handle)
        return -1;
    const qint64 openMicroseconds = opening.nsecsElapsed() / 1000;
    const QByteArray file = reply.handle;
    SftpChannel::Attributes attributes;
    const quint32 statId = channel.fstat(file);
    if (statId && channel.waitFor(statId, reply) && reply.type == SftpChannel::Attrs)
        attributes = reply.attributes;
    const qint64 size = attributes.size;
    QSaveFile target(local);
    target.open(QIODevice::WriteOnly);
    qint64 total = 0;
    if (sessions > 1 && RangeDownloader::worthSplitting(size, openMicroseconds)) {
        RangeDownloader range(pool);
        total = range.download(file, remote, size, target, [](qint64, bool written) { return written; });
        if (total < 0)
            std::fprintf(stderr, "read error: %s\n", qPrintable(range.errorText()));
    } else {
        PipelinedReader reader(session, file);
        reader.setExpectedSize(size);
        QByteArray buffer(int(PipelinedReader::stepSize), Qt::Uninitialized);
        qint64 n;
        while ((n = reader.read(buffer.data(), PipelinedReader::stepSize)) > 0) {
            target.write(buffer.constData(), n);
            total += n;
        }
        if (n < 0)
            total = n;
    }
    channel.forget(channel.close(file));
    if (total >= 0)
        target.commit();
    return total;
}

qint64 fetchMany(SftpSessionPool &pool, const QByteArray &remote, const QString &local) {
    SftpSession &session = pool.primary();
    QDir().mkpath(local);
    QVector<SftpChannel::Entry> listing;
    QString why;
    if (!session.sftp->listFolder(remote, listing, &why))
        return -1;
    QList<QPair<QByteArray, qint64>> entries;
    for (const SftpChannel::Entry &entry : std::as_const(listing))
        if (!isSkippedEntry(entry.name) && entry.attributes.isRegular())
            entries.append({entry.name, entry.attributes.size});
    FilePrefetcher prefetcher(pool);
    QVector<int> tickets;
    for (const auto &entry : entries)
        tickets.append(prefetcher.add(remote + "/" + entry.first, entry.second));
    qint64 total = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const FilePrefetcher::Entry result = prefetcher.take(tickets.at(i));
        if (!result.fetched || result.status < 0)
            return -1;
        QSaveFile target(local + "/" + QString::fromUtf8(entries.at(i).first));
        target.open(QIODevice::WriteOnly);
        for (qint64 offset = 0; offset < result.bytes.size(); offset += PipelinedReader::stepSize)
            target.write(result.bytes.constData() + offset,
                         qMin(PipelinedReader::stepSize, result.bytes.size() - offset));
        target.commit();
        total += result.bytes.size();
    }
    return total;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 9) {
        std::fprintf(stderr,
                     "usage: %s SETTINGS_DIR HOST PORT USER PASSWORD large|many REMOTE LOCAL [SESSIONS]\n",
                     argv[0]);
        return 64;
    }
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(args.at(1) + "/settings.ini", programKey);
    settings->setValue("SFTP/IP", args.at(2));
    settings->setValue("SFTP/port", args.at(3).toInt());
    settings->setValue("SFTP/Login", args.at(4));
    settings->setValue("SFTP/Pswd", args.at(5));
    const int sessions = args.size() > 9 ? args.at(9).toInt() : SftpSessionPool::maxSessions;

    QElapsedTimer timer;
    timer.start();
    qint64 total = -1;
    int helpers = 0;
    // On a thread of its own, as in the program: a fetch on the main thread measured up to 2.4 times
    // slower whenever glibc's main heap trimmed and regrew under every libssh reply (brk twice per read).
    QThread *worker = QThread::create([&] {
        SftpSession session;
        if (!openSession(session)) {
            std::fprintf(stderr, "cannot connect\n");
            return;
        }
        {
            SftpSessionPool pool(session, openSession, sessions);
            total = args.at(6) == "many" ? fetchMany(pool, args.at(7).toUtf8(), args.at(8))
                                         : fetchLarge(pool, sessions, args.at(7).toUtf8(), args.at(8));
            helpers = pool.openHelpers();
        }
        closeSftpSession(session);
    });
    worker->start();
    worker->wait();
    delete worker;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (total < 0) {
        std::fprintf(stderr, "transfer failed\n");
        return 1;
    }
    std::printf("%lld bytes in %.3f s = %.1f MB/s, %d sessions\n", total, seconds, total / seconds / 1e6,
                helpers + 1);
    return 0;
}
