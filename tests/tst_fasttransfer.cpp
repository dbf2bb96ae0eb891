// Install and update runs over pipelined reads, several sessions and fetch-ahead: the same signals,
// in the same order, and the same bytes as one read at a time would give, even with short replies.

#include "support/TestMain.h"
#include "support/DownloaderRun.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"
#include "transfer/UpdateChecker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <fcntl.h>
#include <functional>

namespace {

const QString serverRoot = "/upload/Softwares/For Download/";
constexpr int step = 131070;
// Runs here move tens of megabytes, so they get longer than the usual minute.
constexpr int runLimitMs = 120000;

QByteArray randomBytes(qint64 size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char(generator.generate() & 0xff);
    return bytes;
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

// The steps of a file read 131070 bytes at a time.
QStringList chunkEvents(qint64 size) {
    QStringList events;
    for (qint64 left = size; left > 0; left -= step)
        events << "chunk " + QString::number(qMin<qint64>(left, step));
    return events;
}

int percent(double value) {
    return value >= double(INT_MAX) ? INT_MAX : int(value);
}

// Where two event lists part, for a readable failure; empty when they are equal.
QString firstDifference(const QStringList &got, const QStringList &want) {
    for (int i = 0; i < qMin(got.size(), want.size()); ++i) {
        if (got.at(i) != want.at(i))
            return QString("event %1: %2, expected %3").arg(i).arg(got.at(i), want.at(i));
    }
    if (got.size() != want.size())
        return QString("%1 events, expected %2").arg(got.size()).arg(want.size());
    return QString();
}

// The rows of the tests that run with the server's replies cut short.
void addCappedReplyRows() {
    QTest::addColumn<QStringList>("switches");
    QTest::newRow("replies capped at 32 KiB") << QStringList{"--max-read", "32768"};
    QTest::newRow("replies capped at 64 KiB") << QStringList{"--max-read", "65536"};
}

// What one read at a time over a single session emits for a component, built from the server's own
// listing order (read here with plain libssh calls) and the sizes it lists.
class ExpectedRun {
public:
    ExpectedRun(const SftpSession &session, const QString &component, const QString &localFolder)
        : session(session), component(component) {
        total = sizeBelow((serverRoot + component).toUtf8());
        events << QString("text ") + (russian() ? "Расчет времени..." : "Time calculation...")
               << "size " + QString::number(total) << "timer 1000"
               << QString("log 0 ") + (russian() ? "Загрузка " : "Downloading ") + component;
        walk((serverRoot + component).toUtf8(), localFolder);
        events << "path " + component + " = " + localFolder
               << "log 0 " + component + (russian() ? " установлен" : " is installed") << "finished install";
    }

    QStringList events;
    qint64 total = 0;

private:
    struct Item {
        QByteArray name;
        qint64 size;
        bool folder;
    };

    static bool russian() { return System_Language() == "ru"; }

    QList<Item> list(const QByteArray &path) const {
        QList<Item> items;
        sftp_dir dir = sftp_opendir(session.sftp, path.constData());
        if (dir == nullptr)
            return items;
        while (sftp_attributes entry = sftp_readdir(session.sftp, dir)) {
            items.append({entry->name, qint64(entry->size), entry->type == SSH_FILEXFER_TYPE_DIRECTORY});
            sftp_attributes_free(entry);
        }
        sftp_closedir(dir);
        return items;
    }

    static bool skipped(const QByteArray &name) { return name.startsWith('.') || name.mid(1, 1) == "."; }

    qint64 sizeBelow(const QByteArray &path) const {
        qint64 sum = 0;
        for (const Item &item : list(path)) {
            if (!skipped(item.name))
                sum += item.folder ? sizeBelow(path + "/" + item.name) : item.size;
        }
        return sum;
    }

    void walk(const QByteArray &path, const QString &localFolder) {
        for (const Item &item : list(path)) {
            const QString local = localFolder + "/" + QString::fromUtf8(item.name);
            events << QString("text ") + (russian() ? "Загрузка..." : "Downloading...") +
                          localFolder.section('/', 0, 2) + ".../" + QString::fromUtf8(item.name);
            if (skipped(item.name))
                continue;
            if (item.folder) {
                walk(path + "/" + item.name, local);
            } else {
                events << chunkEvents(item.size) << "log 1 " + local;
            }
            progress += double(item.size) / (double(total) / 100.0);
            events << "size " + QString::number(item.size)
                   << "progress " + QString::number(percent(progress));
        }
    }

    const SftpSession &session;
    QString component;
    double progress = 0;
};

// A component of many small files of awkward sizes, a nested folder and one file too large to be
// fetched ahead (so it is read on the run's own session, or in ranges over several).
QHash<QString, QByteArray> writeComponent(const QString &folder, qint64 largeSize) {
    QHash<QString, QByteArray> files;
    const QList<qint64> sizes{0, 1, 4095, 32768, 65535, 65536, step - 1, step, step + 1, 2 * step, 300001};
    for (int i = 0; i < 48; ++i) {
        const qint64 size = i < sizes.size() ? sizes.at(i) : qint64(1000 + i * 7919);
        files.insert(QString("file%1.dat").arg(i, 2, 10, QChar('0')), randomBytes(size, quint32(i + 1)));
    }
    for (int i = 0; i < 6; ++i)
        files.insert(QString("lib/part%1.dll").arg(i), randomBytes(20000 + i * 50000, quint32(100 + i)));
    files.insert("lib/deeper/inner.bin", randomBytes(2 * step + 5, 200));
    files.insert("large.bin", randomBytes(largeSize, 300));
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeTestFile(folder + "/" + it.key(), it.value());
    return files;
}

} // namespace

class FastTransferTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work;

    QString logText() const { return QString::fromUtf8(readFileOrEmpty(work.filePath("LogFile.log"))); }

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
        QDir::setCurrent(work.path());
        useTestSettings();
    }
    void init() { QFile::remove(work.filePath("LogFile.log")); }

    void installRunGivesTheSameSignalsAndBytesUnderPipelining_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<qint64>("largeSize");
        QTest::newRow("whole replies") << QStringList() << qint64(5 * 1024 * 1024 + 3);
        QTest::newRow("replies capped at 32 KiB")
            << QStringList{"--max-read", "32768"} << qint64(5 * 1024 * 1024);
        QTest::newRow("replies capped at 64 KiB")
            << QStringList{"--max-read", "65536"} << qint64(5 * 1024 * 1024 + 131070);
        // Slow opens make the large file worth ranges over several sessions.
        QTest::newRow("ranges over sessions, replies capped at 32 KiB")
            << QStringList{"--max-read", "32768", "--open-delay-ms", "3"} << qint64(17 * 1024 * 1024 + 11);
    }
    void installRunGivesTheSameSignalsAndBytesUnderPipelining() {
        QFETCH(QStringList, switches);
        QFETCH(qint64, largeSize);
        QTemporaryDir tree;
        const QString component = "Brightfen Console";
        const QHash<QString, QByteArray> files =
            writeComponent(tree.path() + serverRoot + component, largeSize);
        const QString listings = tree.filePath("listings.txt");
        AsyncsshServer server(tree.path(), switches + QStringList{"--log-listings", listings});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/" + component;
        SftpSession lister;
        QVERIFY(openSftpSession(lister));
        const ExpectedRun expected(lister, component, folder);
        closeSftpSession(lister);
        QFile::remove(listings);

        auto context = newInstallContext(target.path());
        context->selectedLoRa[component] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, runLimitMs));

        QCOMPARE(firstDifference(run.events, expected.events), QString());
        QStringList names = files.keys();
        names.sort();
        QCOMPARE(filesBelow(folder), names);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(readFileOrEmpty(folder + "/" + it.key()) == it.value(), qPrintable(it.key()));
        QCOMPARE(downloader.failedFileCount(), 0);
        QCOMPARE(logText(), QString());
        // The download pass walks what the size pass listed and asks the server nothing again: each
        // folder is opened once, the listing doubling as the test that it is a folder.
        QStringList listed = QString::fromUtf8(readFileOrEmpty(listings)).split('\n', Qt::SkipEmptyParts);
        listed.sort();
        const QString remote = serverRoot + component;
        QCOMPARE(listed,
                 QStringList({serverRoot.chopped(1), remote, remote + "/lib", remote + "/lib/deeper"}));
    }

    void updateRunGivesTheSameSignalsAndBytesUnderPipelining_data() { addCappedReplyRows(); }
    void updateRunGivesTheSameSignalsAndBytesUnderPipelining() {
        QFETCH(QStringList, switches);
        QTemporaryDir tree;
        QTemporaryDir local;
        const QString component = "Brightfen Meter";
        const QHash<QString, QByteArray> files =
            writeComponent(tree.path() + serverRoot + component, 4 * 1024 * 1024 + 700);
        const QString installed = local.filePath(component);
        settings()->setValue("Path/" + component, installed);
        QHash<QString, QString> pending;
        QHash<QString, bool> ticked;
        int i = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it, ++i) {
            const QString localPath = installed + "/" + it.key();
            QVERIFY(writeTestFile(localPath, "old " + it.key().toUtf8()));
            pending.insert(localPath, serverRoot + component + "/" + it.key() + "|" +
                                          QString::number(it.value().size()));
            ticked.insert(localPath, i % 5 != 3); // some files stay unticked
        }
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        // In map order: a reset per entry; for a ticked one every step with its share of the file,
        // then the file's line.
        QStringList expected;
        for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
            expected << "progress 0";
            if (!ticked.value(it.key()))
                continue;
            const qint64 size = it.value().section('|', -1).toLongLong();
            double progress = 0;
            for (qint64 left = size; left > 0; left -= step) {
                const qint64 n = qMin<qint64>(left, step);
                progress += double(n) / (double(size) / 100.0);
                expected << "chunk " + QString::number(n) << "progress " + QString::number(percent(progress));
            }
            expected << "log 1 " + it.key();
        }
        expected << "finish update";

        Downloader downloader(ticked, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false, runLimitMs));
        QCOMPARE(firstDifference(run.events, expected), QString());
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString localPath = installed + "/" + it.key();
            const QByteArray want = ticked.value(localPath) ? it.value() : "old " + it.key().toUtf8();
            QVERIFY2(readFileOrEmpty(localPath) == want, qPrintable(it.key()));
        }
        QCOMPARE(downloader.failedFileCount(), 0);
        settings()->setValue("Path/" + component, QString());
    }

    // Many files hashed ahead on several sessions, replies cut short: exactly the changed and the
    // missing files are found, whatever byte differs and wherever the file lies.
    void checkUnderHashAheadFindsExactlyTheChangedFiles_data() { addCappedReplyRows(); }
    void checkUnderHashAheadFindsExactlyTheChangedFiles() {
        QFETCH(QStringList, switches);
        QTemporaryDir tree;
        QTemporaryDir local;
        const QString component = "Brightfen Hub Server";
        const QString installed = local.filePath(component);
        const QHash<QString, QByteArray> files =
            writeComponent(tree.path() + serverRoot + component, 6 * 1024 * 1024 + 1);
        QHash<QString, QString> expected;
        int i = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it, ++i) {
            const QString localPath = installed + "/" + it.key();
            QByteArray copy = it.value();
            const QString entry =
                serverRoot + component + "/" + it.key() + "|" + QString::number(it.value().size());
            if (i % 7 == 1 && !it.key().contains('/')) {
                expected.insert(localPath, entry); // not installed here (its folder still is)
                continue;
            }
            if (i % 7 == 4 && !copy.isEmpty()) {
                // One byte differs: the first, the middle or the last.
                const int at = (i / 7) % 3 == 0 ? 0 : (i / 7) % 3 == 1 ? copy.size() / 2 : copy.size() - 1;
                copy[at] = char(copy.at(at) ^ 0x5a);
                expected.insert(localPath, entry);
            }
            QVERIFY(writeTestFile(localPath, copy));
        }
        settings()->setValue("Path/" + component, installed);
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QHash<QString, QString> result;
        UpdateChecker checker(&result);
        checker.Checking_Updates_On_Server();
        settings()->setValue("Path/" + component, QString());
        QCOMPARE(result, expected);
        // Components with no install folder are logged as ever; nothing here failed.
        QVERIFY2(!logText().contains("Error"), qPrintable(logText()));
    }

    // Cancel while later files are being fetched ahead on other sessions: not one step is reported
    // after the one that asked, the installed files keep their bytes, and nothing is recorded.
    void cancelDuringFetchAheadStopsAfterTheCurrentStep() {
        QTemporaryDir tree;
        const QString component = "Brightfen Sniffer";
        QHash<QString, QByteArray> files;
        for (int i = 0; i < 30; ++i)
            files.insert(QString("trace%1.bin").arg(i, 2, 10, QChar('0')),
                         randomBytes(3 * step + i, quint32(i)));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(tree.path() + serverRoot + component + "/" + it.key(), it.value()));
        AsyncsshServer server(tree.path(), {"--max-read", "4096", "--open-delay-ms", "20"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/" + component;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(folder + "/" + it.key(), "installed"));
        auto context = newInstallContext(target.path());
        context->selectedLoRa[component] = true;
        Downloader downloader(context.get());
        // Cancel from the worker thread at the fifth step, in the middle of the second file.
        int steps = 0;
        connect(
            &downloader, &Downloader::Counter_Data, &downloader,
            [&] {
                if (++steps == 5)
                    downloader.requestCancel();
            },
            Qt::DirectConnection);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, runLimitMs));

        QCOMPARE(run.matching("chunk ").size(), 5);
        QCOMPARE(run.matching("log 1 ").size(), 1); // the first file only
        QCOMPARE(run.events.last(), QString("finished install"));
        QVERIFY(run.matching("path ").isEmpty());
        int replaced = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QByteArray now = readFileOrEmpty(folder + "/" + it.key());
            QVERIFY2(now == it.value() || now == "installed", qPrintable(it.key()));
            replaced += now == it.value() ? 1 : 0;
        }
        QCOMPARE(replaced, 1);
        QCOMPARE(filesBelow(folder).size(), files.size());
    }

    // The server goes away while reads are in flight: the run is a connection failure, nothing is
    // recorded, and every installed file is either its old self or the whole new one, never a mix.
    void lostConnectionMidPipelinedReadsKeepsInstalledFiles_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<bool>("everySession");
        QTest::newRow("every session drops")
            << QStringList{"--drop-after", "300000", "--max-read", "32768"} << true;
        QTest::newRow("the run's own session drops")
            << QStringList{"--drop-after", "1000000", "--faults-once", "--max-read", "65536"} << false;
    }
    void lostConnectionMidPipelinedReadsKeepsInstalledFiles() {
        QFETCH(QStringList, switches);
        QFETCH(bool, everySession);
        QTemporaryDir tree;
        const QString component = "Brightfen Bridge";
        QHash<QString, QByteArray> files;
        for (int i = 0; i < 12; ++i)
            files.insert(QString("module%1.bin").arg(i, 2, 10, QChar('0')),
                         randomBytes(400000 + i, quint32(i)));
        files.insert("large.bin", randomBytes(5 * 1024 * 1024, 77));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(tree.path() + serverRoot + component + "/" + it.key(), it.value()));
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/" + component;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(folder + "/" + it.key(), "installed " + it.key().toUtf8()));
        auto context = newInstallContext(target.path());
        context->selectedLoRa[component] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, runLimitMs));

        QCOMPARE(run.events.last(), QString("error connection"));
        QVERIFY(run.matching("path ").isEmpty());
        QStringList names = files.keys();
        names.sort();
        // What arrived of a file cut short stays beside it for the next run: the beginning of that file.
        QStringList left = filesBelow(folder);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            for (const QString &partial : partialsOf(folder + "/" + it.key())) {
                QVERIFY(it.value().startsWith(readFileOrEmpty(partial)));
                left.removeOne(QFileInfo(partial).fileName());
            }
        }
        QCOMPARE(left, names); // no other file left behind
        int replaced = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QByteArray now = readFileOrEmpty(folder + "/" + it.key());
            QVERIFY2(now == it.value() || now == "installed " + it.key().toUtf8(), qPrintable(it.key()));
            if (now == it.value()) {
                ++replaced;
                QVERIFY(run.events.contains("log 1 " + folder + "/" + it.key()));
            }
        }
        // Each file that arrived is announced; the one being read when the server went is not.
        QCOMPARE(run.matching("log 1 ").size(), replaced);
        QVERIFY(replaced < files.size());
        if (everySession)
            QCOMPARE(replaced, 0); // no file fits below the drop on any session
        QVERIFY(logText().contains("Error read sftp file - "));
    }
};

QUILLON_TEST_MAIN(FastTransferTest)
#include "tst_fasttransfer.moc"
