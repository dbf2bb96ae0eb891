// Pipelined reads, range downloads over several sessions and fetch-ahead, against the asyncssh server.

#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/RangeDownloader.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>

namespace {

const QString folder = "/upload/Softwares/For Download/Pipe";

QByteArray randomBytes(qint64 size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char(generator.generate() & 0xff);
    return bytes;
}

// The step sizes a server answering every 131070-byte read in full gives.
QVector<qint64> fullReadSteps(qint64 size) {
    QVector<qint64> steps;
    for (qint64 left = size; left > 0; left -= PipelinedReader::stepSize)
        steps.append(qMin(left, PipelinedReader::stepSize));
    return steps;
}

bool openSession(SftpSession &session) {
    return openSftpSession(session, SessionUser::Downloader);
}

struct ReadOutcome {
    QByteArray bytes;
    QVector<qint64> steps;
    qint64 last = 0;
    int shortReplies = 0;
    quint32 requestSize = 0;
};

ReadOutcome readWhole(SftpSession &session, const QByteArray &path, qint64 expectedSize = -1,
                      quint32 requestSize = PipelinedReader::defaultRequestSize) {
    ReadOutcome outcome;
    sftp_file file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
    if (file == nullptr) {
        qWarning() << "open failed:" << path << ssh_get_error(session.ssh) << sftp_get_error(session.sftp);
        outcome.last = -100;
        return outcome;
    }
    {
        PipelinedReader reader(session, file, 0, -1, requestSize);
        if (expectedSize >= 0)
            reader.setExpectedSize(expectedSize);
        QByteArray buffer(int(PipelinedReader::stepSize), Qt::Uninitialized);
        while ((outcome.last = reader.read(buffer.data(), PipelinedReader::stepSize)) > 0) {
            outcome.steps.append(outcome.last);
            outcome.bytes.append(buffer.constData(), int(outcome.last));
        }
        outcome.shortReplies = reader.shortReplies();
        outcome.requestSize = reader.requestSize();
    }
    sftp_close(file);
    return outcome;
}

} // namespace

class TestPipelined : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { useTestSettings(); }

    void pipelinedReadIsByteExactWithFullReadSteps_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<quint32>("cap");
        QTest::newRow("whole replies") << QStringList() << 0u;
        QTest::newRow("replies capped at 32 KiB") << QStringList{"--max-read", "32768"} << 32768u;
        QTest::newRow("replies capped at 64 KiB") << QStringList{"--max-read", "65536"} << 65536u;
        QTest::newRow("replies capped at 10000 bytes") << QStringList{"--max-read", "10000"} << 10000u;
    }
    void pipelinedReadIsByteExactWithFullReadSteps() {
        QFETCH(QStringList, switches);
        QFETCH(quint32, cap);
        QTemporaryDir tree;
        const QList<qint64> sizes{0, 1, 65535, 131070, 131071, 262140, 3 * 1024 * 1024 + 17};
        for (qint64 size : sizes)
            QVERIFY(writeTestFile(tree.path() + folder + QString("/f%1.bin").arg(size),
                                  randomBytes(size, quint32(size))));
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        for (qint64 size : sizes) {
            const QByteArray path = (folder + QString("/f%1.bin").arg(size)).toUtf8();
            // Once as a plain read to the end, once told the size the listing gave.
            for (qint64 hint : {qint64(-1), size}) {
                // Requests larger than the cap, so that every full reply comes back short.
                const ReadOutcome outcome = readWhole(session, path, hint, cap != 0 ? 2 * cap : 65536);
                QCOMPARE(outcome.last, qint64(0));
                QCOMPARE(outcome.steps, fullReadSteps(size));
                QVERIFY2(outcome.bytes == randomBytes(size, quint32(size)), qPrintable(path));
                if (cap != 0 && size > cap) {
                    QVERIFY(outcome.shortReplies > 0);
                    QVERIFY(outcome.requestSize <= cap);
                }
                if (cap == 0)
                    QCOMPARE(outcome.shortReplies, 0);
            }
        }
        closeSftpSession(session);
    }

    void lostConnectionIsReadErrorAndNoByteLandsAtWrongOffset() {
        QTemporaryDir tree;
        const QByteArray content = randomBytes(2 * 1024 * 1024, 7);
        QVERIFY(writeTestFile(tree.path() + folder + "/big.bin", content));
        AsyncsshServer server(tree.path(), {"--drop-after", "300001", "--max-read", "32768"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        const ReadOutcome outcome = readWhole(session, (folder + "/big.bin").toUtf8());
        QVERIFY(outcome.last < 0);
        QVERIFY(outcome.bytes.size() <= 300001);
        QCOMPARE(outcome.bytes, content.left(outcome.bytes.size()));
        // Every step but the last one before the failure is a full step.
        for (int i = 0; i + 1 < outcome.steps.size(); ++i)
            QCOMPARE(outcome.steps.at(i), PipelinedReader::stepSize);
        closeSftpSession(session);
    }

    void rangeDownloadOverSeveralSessionsIsByteExact_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<qint64>("size");
        QTest::newRow("whole replies") << QStringList() << qint64(18 * 1024 * 1024 + 5);
        QTest::newRow("replies capped at 32 KiB")
            << QStringList{"--max-read", "32768"} << qint64(17 * 1024 * 1024);
        QTest::newRow("exactly whole slices")
            << QStringList() << qint64(4 * RangeDownloader::sliceSteps * 131070);
        QTest::newRow("one small slice") << QStringList() << qint64(131071);
    }
    void rangeDownloadOverSeveralSessionsIsByteExact() {
        QFETCH(QStringList, switches);
        QFETCH(qint64, size);
        QTemporaryDir tree;
        QTemporaryDir local;
        const QByteArray content = randomBytes(size, 11);
        QVERIFY(writeTestFile(tree.path() + folder + "/large.bin", content));
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        const QByteArray path = (folder + "/large.bin").toUtf8();
        sftp_file file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
        QVERIFY(file != nullptr);
        QVector<qint64> steps;
        int helpersSeen = 0;
        {
            SftpSessionPool pool(session, openSession);
            QSaveFile target(local.filePath("large.bin"));
            QVERIFY(target.open(QIODevice::WriteOnly));
            RangeDownloader range(pool);
            // libssh's own window: slow enough on loopback that the helpers connect before the end.
            range.setChannelWindow(0);
            const qint64 result = range.download(file, path, size, target, [&](qint64 n, bool written) {
                steps.append(n);
                return written;
            });
            QCOMPARE(result, size);
            QVERIFY(target.commit());
            helpersSeen = pool.openHelpers();
        }
        sftp_close(file);
        closeSftpSession(session);
        QCOMPARE(steps, fullReadSteps(size));
        QFile written(local.filePath("large.bin"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll() == content);
        // Never more than four sessions; a file of one slice needs no helper at all.
        QVERIFY(helpersSeen <= SftpSessionPool::maxSessions - 1);
        if (size <= RangeDownloader::sliceSteps * 131070)
            QCOMPARE(helpersSeen, 0);
        else
            QVERIFY(helpersSeen >= 1);
    }

    void rangeDownloadReportsLostConnection() {
        QTemporaryDir tree;
        QTemporaryDir local;
        const qint64 size = 17 * 1024 * 1024;
        QVERIFY(writeTestFile(tree.path() + folder + "/large.bin", randomBytes(size, 3)));
        // Only the first connection (the caller's own) drops, in the middle of its slice.
        AsyncsshServer server(tree.path(), {"--drop-after", "1000000", "--faults-once"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        const QByteArray path = (folder + "/large.bin").toUtf8();
        sftp_file file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
        QVERIFY(file != nullptr);
        qint64 handedOver = 0;
        {
            SftpSessionPool pool(session, openSession);
            QSaveFile target(local.filePath("large.bin"));
            QVERIFY(target.open(QIODevice::WriteOnly));
            RangeDownloader range(pool);
            const qint64 result = range.download(file, path, size, target, [&](qint64 n, bool) {
                handedOver += n;
                return true;
            });
            QVERIFY(result < 0);
            QVERIFY(!range.errorText().isEmpty());
            QVERIFY(handedOver <= 1000000);
            target.cancelWriting();
        }
        sftp_close(file);
        closeSftpSession(session);
        QVERIFY(!QFile::exists(local.filePath("large.bin")));
    }

    void fetchAheadDeliversEveryEntryInServerOrder() {
        QTemporaryDir tree;
        QList<QByteArray> contents;
        for (int i = 0; i < 40; ++i) {
            contents.append(randomBytes(1000 + i * 3001, quint32(100 + i)));
            QVERIFY(writeTestFile(tree.path() + folder + QString("/small%1.dat").arg(i, 2, 10, QChar('0')),
                                  contents.last()));
        }
        QVERIFY(writeTestFile(tree.path() + folder + "/sub/inner.dat", "inner"));
        QVERIFY(writeTestFile(tree.path() + folder + "/huge.dat", randomBytes(300000, 5)));
        // Slow opens make later files finish before earlier ones on other sessions.
        AsyncsshServer server(tree.path(), {"--open-delay-ms", "20", "--max-read", "32768"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        {
            SftpSessionPool pool(session, openSession);
            FilePrefetcher bytesAhead(pool, FilePrefetcher::KeepBytes, 200000, 100000);
            FilePrefetcher hashesAhead(pool, FilePrefetcher::HashMd5);
            QVector<int> tickets;
            QVector<int> hashTickets;
            for (int i = 0; i < 40; ++i) {
                const QByteArray path = (folder + QString("/small%1.dat").arg(i, 2, 10, QChar('0'))).toUtf8();
                // Half of them announced as regular files: no folder test is sent for those.
                tickets.append(bytesAhead.add(path, contents.at(i).size(), true, i % 2 == 0));
                hashTickets.append(hashesAhead.add(path, contents.at(i).size()));
            }
            const int folderTicket = bytesAhead.add((folder + "/sub").toUtf8(), 0);
            const int hugeTicket = bytesAhead.add((folder + "/huge.dat").toUtf8(), 300000);
            const int missingTicket = bytesAhead.add((folder + "/missing.dat").toUtf8(), 10);
            const int testOnlyTicket = hashesAhead.add((folder + "/small00.dat").toUtf8(), 1000, false);
            for (int i = 0; i < 40; ++i) {
                const FilePrefetcher::Entry entry = bytesAhead.take(tickets.at(i));
                QVERIFY(!entry.isFolder && entry.opened && entry.fetched);
                QCOMPARE(entry.status, qint64(contents.at(i).size()));
                QVERIFY2(entry.bytes == contents.at(i), qPrintable(QString::number(i)));
                const FilePrefetcher::Entry hashed = hashesAhead.take(hashTickets.at(i));
                QCOMPARE(hashed.md5, QCryptographicHash::hash(contents.at(i), QCryptographicHash::Md5));
                QVERIFY(hashed.bytes.isEmpty());
            }
            QVERIFY(bytesAhead.take(folderTicket).isFolder);
            const FilePrefetcher::Entry huge = bytesAhead.take(hugeTicket);
            QVERIFY(!huge.isFolder && !huge.fetched && huge.bytes.isEmpty());
            const FilePrefetcher::Entry missing = bytesAhead.take(missingTicket);
            QVERIFY(!missing.isFolder && !missing.opened && !missing.errorText.isEmpty());
            const FilePrefetcher::Entry testOnly = hashesAhead.take(testOnlyTicket);
            QVERIFY(!testOnly.isFolder && !testOnly.opened && testOnly.md5.isEmpty());
            QVERIFY(pool.openHelpers() >= 1);
            QVERIFY(pool.openHelpers() <= 3);
        }
        closeSftpSession(session);
    }

    void singleSmallFileUsesOneSession() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + folder + "/only.dat", "only one"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        SftpSession session;
        QVERIFY(openSession(session));
        int opened = 0;
        {
            SftpSessionPool pool(session, [&](SftpSession &s) {
                ++opened;
                return openSession(s);
            });
            FilePrefetcher prefetcher(pool);
            const FilePrefetcher::Entry entry =
                prefetcher.take(prefetcher.add((folder + "/only.dat").toUtf8(), 8));
            QCOMPARE(entry.bytes, QByteArray("only one"));
        }
        closeSftpSession(session);
        QCOMPARE(opened, 0);
    }
};

QUILLON_TEST_MAIN(TestPipelined)
#include "tst_pipelined.moc"
