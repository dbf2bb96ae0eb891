// The SFTP machinery against the asyncssh server on loopback, and the install, check and update runs over
// its pipelined and range reads on several sessions.

#include "support/DownloaderRun.h"
#include "support/TestMain.h"

#include "transfer/SafeNames.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/SftpChannel.h"

#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <unistd.h>

namespace {

const QString root = componentsRoot;
constexpr qint64 step = 131070;
using Files = QMap<QString, QByteArray>; // paths below root

struct Session : SftpSession {
    ~Session() { closeSftpSession(*this); }
};

// What a user watches a run do: each file's steps add up to its size before the one line naming it, and
// the bar never goes back (an update starts it again at 0 for each file) and ends full.
void checkProgress(const QStringList &events, const QMap<QString, qint64> &sizes, bool update) {
    qint64 steps = 0;
    int bar = 0;
    QStringList logged;
    for (const QString &event : events) {
        const QString value = event.section(' ', 1);
        if (event.startsWith("chunk ")) {
            steps += value.toLongLong();
        } else if (event.startsWith("progress ")) {
            QVERIFY2((value.toInt() >= bar || (update && steps == 0 && value == "0")) && value.toInt() <= 100,
                     qPrintable(event));
            bar = value.toInt();
        } else if (event.startsWith("log 1 ")) {
            logged << event.mid(6);
            QVERIFY2(steps == sizes.value(logged.last(), -1), qPrintable(event));
            QVERIFY2(!update || steps == 0 || bar >= 99, qPrintable(event)); // 99: the share rounds down
            steps = 0;
        }
    }
    QVERIFY(update ? bar >= 99 : bar == 100);
    logged.sort();
    QCOMPARE(logged, QStringList(sizes.keys()));
}

// Many files of awkward sizes, a nested folder, and one file too large to be fetched ahead.
Files component(const QString &name, qint64 largeSize) {
    Files files{{name + "/large.bin", randomTestBytes(int(largeSize))},
                {name + "/lib/deeper/inner.bin", randomTestBytes(2 * step + 5)}};
    const QList<qint64> sizes{0, 1, 4095, 32768, 65535, 65536, step - 1, step, step + 1, 2 * step, 300001};
    for (int i = 0; i < 54; ++i) // the last six in a folder
        files[name + QString(i < 48 ? "/file%1.dat" : "/lib/part%1.dll").arg(i)] =
            randomTestBytes(int(sizes.value(i, 1000 + i * 7919)));
    return files;
}

} // namespace

class SftpTest : public QObject {
    Q_OBJECT

    QTemporaryDir work;
    QString logText() const { return logFileLines().join('\n'); }

private slots:
    void initTestCase() {
        useTestSettings();
        QVERIFY(QDir::setCurrent(work.path()));
    }
    void init() { QFile::remove("LogFile.log"); }

    // A session that cannot start leaves nothing open and logs why, a silent listener after the connect
    // time-out; the first one pins the server's key. Fetch-ahead hands entries over in the order asked, on
    // at most three more sessions, none for one file at a time. An unanswered request ends a session.
    void sessionsPoolAndIdleWatch() {
        const int silent = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        QVERIFY(bind(silent, reinterpret_cast<sockaddr *>(&address), length) == 0 && listen(silent, 4) == 0);
        getsockname(silent, reinterpret_cast<sockaddr *>(&address), &length);
        setSessionTimeoutsForTesting(800, 0);
        SftpSession refused;
        for (const int port : {0, int(ntohs(address.sin_port))}) { // no server set, then the silent one
            settingsStore()->setValue("SFTP/IP", port ? "127.0.0.1" : "");
            settingsStore()->setValue("SFTP/port", port);
            QVERIFY(!openSftpSession(refused) && !refused.ssh && !refused.watchdog);
        }
        close(silent);
        setSessionTimeoutsForTesting(0, 0);

        Files files{{"Stall/app.exe", randomTestBytes(200000)}};
        for (int i = 0; i < 40; ++i) // parts, sorted before it and together below the stall on any session
            files[QString("Meter/part%1.dat").arg(i, 2, 10, QChar('0'))] = randomTestBytes(1000 + i * 10);
        const auto partsEnd = files.constFind("Stall/app.exe");
        // Slow opens make later files finish before earlier ones on other sessions.
        QTemporaryDir tree;
        const auto server = serveFiles(tree, files, {"--stall-after", "65536", "--open-delay-ms", "20"});
        QVERIFY(server);
        settingsStore()->setValue("SFTP/HostKey", "");
        settingsStore()->setValue("SFTP/Pswd", "wrong");
        QVERIFY(!openSftpSession(refused, SessionUser::Checker) && !refused.ssh && !refused.watchdog);
        QVERIFY(!openSftpSession(refused, SessionUser::Downloader) && !refused.ssh && !refused.watchdog);
        settingsStore()->setValue("SFTP/Pswd", server->password());
        {
            Session session;
            QVERIFY(openSftpSession(session));
            QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), server->fingerprint());
            std::atomic<int> opened{0}; // helpers the pool started
            SftpSessionPool pool(session, [&](SftpSession &s) { return ++opened && openSftpSession(s); });
            FilePrefetcher ahead(pool);
            QCOMPARE(ahead.take(ahead.add((root + files.firstKey()).toUtf8(), 1000)).bytes, files.first());
            QCOMPARE(opened.load(), 0);
            QVector<int> tickets;
            for (auto it = files.cbegin(); it != partsEnd; ++it)
                tickets << ahead.add((root + it.key()).toUtf8(), it->size());
            for (auto it = files.cbegin(); it != partsEnd; ++it)
                QVERIFY2(ahead.take(tickets.takeFirst()).bytes == *it, qPrintable(it.key()));
            QVERIFY(opened >= 1 && opened <= 3);
        }
        setSessionTimeoutsForTesting(5000, 1000);
        Session session;
        QVERIFY(openSftpSession(session));
        QTest::qWait(1300); // nothing outstanding: the watch must leave the session alone
        SftpSessionPool pool(session, [](SftpSession &) { return false; });
        FilePrefetcher reader(pool);
        const FilePrefetcher::Entry read = reader.take(reader.add((root + "Stall/app.exe").toUtf8(), 200000));
        // Nothing half-read is handed over: the caller fetches it again, or fails.
        QVERIFY(read.status < 0 && !read.fetched && read.bytes.isEmpty() && sessionTimedOut(session));
        // One line for each session that could not start and one for the unanswered request, the
        // connect time-out in it.
        QCOMPARE(logFileLines().size(), 5);
        QVERIFY2(logFileLines()[1].contains("0.8"), qPrintable(logText()));
        setSessionTimeoutsForTesting(0, 0);
    }

    void serverNamesAreCheckedBeforeUse() {
        for (const char *name : {"app.exe", "Meter setup.exe", "CONSOLE.txt", "COM0", "Руководство.pdf"})
            QVERIFY2(isSafeEntryName(name), name);
        for (const QByteArray &name : hostileServerNames + QByteArrayList{"", ".", "..", "../evil.exe",
                                                                          "a\x7f", "lpt9.log", "\xff\xfe"})
            QVERIFY2(!isSafeEntryName(name), name.constData());
        for (const char *path : {"/opt/LoRa/app.exe", "/opt/LoRa/sub/../app.exe", "sub/app.exe"})
            QVERIFY2(isInsideFolder(path, "/opt/LoRa"), path);
        for (const char *path : {"/opt/LoRa/../evil.exe", "/opt/LoRa2/app.exe", "/etc/passwd", "/opt/LoRa"})
            QVERIFY2(!isInsideFolder(path, "/opt/LoRa"), path);
    }

    // An install, a check that hashes ahead and the update of what it found, over short replies and over
    // ranges on several sessions: every file whole, its steps and its line, the bar, the end signal.
    void installCheckAndUpdate_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<qint64>("largeSize");
        QTest::newRow("10000-byte replies") << QStringList{"--max-read", "10000"} << qint64(5 << 20);
        QTest::newRow("64 KiB replies") << QStringList{"--max-read", "65536"} << (5 << 20) + step;
        // Slow opens make the large file worth ranges over several sessions.
        QTest::newRow("ranges of whole slices") << QStringList{"--open-delay-ms", "3"} << 128 * step;
        QTest::newRow("ranges, 32 KiB")
            << QStringList{"--max-read", "32768", "--open-delay-ms", "3"} << 133 * step + 7;
    }
    void installCheckAndUpdate() {
        QFETCH(QStringList, switches);
        QFETCH(qint64, largeSize);
        const QString name = "Brightfen Console";
        const Files files = component(name, largeSize);
        QTemporaryDir tree, target;
        const auto server =
            serveFiles(tree, files, switches << "--log-listings" << target.filePath("listings.txt"));
        QVERIFY(server);
        const QString folder = target.path() + "/LoRa/" + name;
        const RunResult install = installRun(target.path(), {name}, 120000);
        // Each folder listed once (component, lib, deeper): the download walks the size pass's listing.
        QCOMPARE(readTestFile(target.filePath("listings.txt")).count('\n'), 3);

        QMap<QString, qint64> sizes; // local paths
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            sizes[target.path() + "/LoRa/" + it.key()] = it->size();
        checkProgress(install.events, sizes, false);
        QCOMPARE(install.events.last(), QString("finished install"));

        // Every third file changed in one byte (the first, the middle or the last), every third gone.
        QHash<QString, QString> changed;
        int i = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it, ++i) {
            const QString path = target.path() + "/LoRa/" + it.key();
            QVERIFY2(readTestFile(path) == *it, qPrintable(it.key()));
            QByteArray copy = *it;
            if (i % 3 == 0 && !copy.isEmpty())
                copy[i % 9 == 0 ? 0 : i % 9 == 3 ? copy.size() / 2 : copy.size() - 1] ^= 0x5a;
            if (i % 3 == 1 || copy != *it)
                changed.insert(path, root + it.key() + "|" + QString::number(it->size()));
            else
                sizes.remove(path);
            QVERIFY(i % 3 == 1 ? QFile::remove(path) : writeTestFile(path, copy));
        }
        settingsStore()->setValue("Path/" + name, folder);
        QHash<QString, QString> pending = checkFound();
        QCOMPARE(pending, changed);
        QVERIFY2(!logText().contains("Error"), qPrintable(logText()));

        const RunResult update = updateRun(&pending, {}, 120000);
        checkProgress(update.events, sizes, true);
        QCOMPARE(update.events.last(), QString("finish update"));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(readTestFile(target.path() + "/LoRa/" + it.key()) == *it, qPrintable(it.key()));
        QCOMPARE(filesBelow(folder).size(), files.size());
    }

    // A server that breaks the protocol, lists a folder without end or into an error, or goes away while
    // helpers fetch ahead: the run ends at once (no wait for the silent-server watch), the log says why,
    // nothing is recorded, every installed file is its old self or (after a cut) the whole new one,
    // announced, a cut one leaves at most its beginning beside it, and a check of a server that breaks the
    // protocol reports it unreachable rather than a shorter folder.
    void brokenServerKeepsInstalledFiles_data() {
        QTest::addColumn<QStringList>("switches");
        // The first READ of a file, the listing of the folder inside the component.
        for (const char *fault :
             {"unknown-id", "oversized", "length-past-packet", "name-count", "attrs-past-packet", "nul-name",
              "wrong-type", "version", "extra-data", "endless-listing", "empty-listing", "listing-error"})
            QTest::newRow(fault) << QStringList{"--protocol-fault", fault, "--fault-path", "Meter/"};
        // The modules stay below the drop together, so that session drops in its own read of the large
        // file (in ranges), not in fetch-ahead work it takes on while waiting for a helper: that is logged.
        QTest::newRow("own session drops") << QStringList{"--drop-after", "3000000", "--faults-once"};
        // Fetch-ahead fails too: what it got must not become a file.
        QTest::newRow("every session drops") << QStringList{"--drop-after", "300000", "--max-read", "32768"};
    }
    void brokenServerKeepsInstalledFiles() {
        QFETCH(QStringList, switches);
        const QString name = "Brightfen Meter";
        const bool cut = !switches.contains("--protocol-fault");
        Files files{{name + "/app.exe", randomTestBytes(3000)},
                    {name + "/sub/meter.dll", randomTestBytes(8)}};
        if (cut) {
            files = {{name + "/large.bin", randomTestBytes(17 << 20)}};
            for (int i = 0; i < 6; ++i)
                files[name + QString("/module%1.bin").arg(i)] = randomTestBytes(400000 + i);
        }
        QTemporaryDir tree, target;
        const auto server = serveFiles(tree, files, switches + QStringList{"--open-delay-ms", "3"});
        QVERIFY(server);
        const QString folder = target.path() + "/LoRa/" + name;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(target.path() + "/LoRa/" + it.key(), "installed"));
        const RunResult run =
            installRun(target.path(), {name}, cut ? 120000 : 30000); // inside the 60 s watch
        QVERIFY2(run.events.last() == "error connection" || (!cut && run.failed > 0),
                 qPrintable(run.events.join('\n')));
        QVERIFY(run.matching("path ").isEmpty());
        QStringList left = filesBelow(folder);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = target.path() + "/LoRa/" + it.key();
            for (const QString &partial : partialsOf(path)) {
                QVERIFY(it->startsWith(readTestFile(partial)));
                left.removeOne(QFileInfo(partial).fileName());
            }
            const QByteArray now = readTestFile(path);
            QVERIFY2(now == "installed" || (cut && now == *it), qPrintable(it.key()));
            QCOMPARE(run.events.count("log 1 " + path), int(now == *it));
        }
        QCOMPARE(left.size(), files.size()); // nothing else left behind
        // One line says why; a bad read reply is named by the session and by the file it was for.
        QVERIFY2(logFileLines().size() == (switches.contains("extra-data") ? 2 : 1), qPrintable(logText()));
        if (cut)
            return;
        settingsStore()->setValue("Path/" + name, folder);
        const QHash<QString, QString> found = checkFound();
        settingsStore()->setValue("Path/" + name, QString());
        QCOMPARE(found, (QHash<QString, QString>{{"Error Connect", "Error"}}));
    }
};

QUILLON_TEST_MAIN(SftpTest)
#include "tst_sftp.moc"
