// The SFTP machinery against the asyncssh server on loopback (sessions, their log lines and idle watch,
// pipelined and range reads, fetch-ahead on several sessions), and the install, update and check runs over
// it: the same signals, in the same order, and the same bytes as one read at a time, even with short replies.

#include "support/DownloaderRun.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"
#include "transfer/SafeNames.h"
#include "transfer/UpdateChecker.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/RangeDownloader.h"

#include <QCryptographicHash>
#include <QSaveFile>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <numeric>
#include <optional>
#include <unistd.h>

namespace {

const QString root = "/upload/Softwares/For Download/";
constexpr qint64 step = 131070;
using Files = QMap<QString, QByteArray>; // paths below root

// Serves these files with the server's fault switches; the settings point at it.
struct Served {
    QTemporaryDir tree;
    AsyncsshServer server;
    explicit Served(const Files &files, const QStringList &switches = {})
        : server(write(tree.path(), files), switches) {
        pointSettingsAt(server);
    }
    static QString write(const QString &folder, const Files &files) {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeTestFile(folder + root + it.key(), it.value());
        return folder;
    }
};

struct Session : SftpSession {
    ~Session() { closeSftpSession(*this); }
};
bool openDownloader(SftpSession &session) {
    return openSftpSession(session, SessionUser::Downloader);
}

// A loopback port nobody answers on: closed, or listening (the kernel accepts) but silent.
struct SilentPort {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    explicit SilentPort(bool listening) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), length);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        if (listening)
            listen(fd, 4); // bound but not listening, it refuses connections
    }
    ~SilentPort() { close(fd); }
};

QVector<qint64> steps(qint64 size) {
    QVector<qint64> sizes;
    for (qint64 left = size; left > 0; left -= step)
        sizes << qMin(left, step);
    return sizes;
}
QStringList chunkEvents(qint64 size) {
    QStringList events;
    for (qint64 n : steps(size))
        events << "chunk " + QString::number(n);
    return events;
}

struct Read {
    QByteArray bytes;
    QVector<qint64> steps;
    qint64 last = 0;
    int shortReplies = 0;
    quint32 requestSize = 0;
};
Read readWhole(SftpSession &session, const QString &path, qint64 sizeHint = -1,
               quint32 requestSize = PipelinedReader::defaultRequestSize) {
    Read read;
    sftp_file file = sftp_open(session.sftp, (root + path).toUtf8(), O_RDONLY, 0);
    if (!file)
        return {{}, {}, -1};
    {
        PipelinedReader reader(session, file, 0, -1, requestSize);
        reader.setExpectedSize(sizeHint);
        QByteArray buffer(int(step), Qt::Uninitialized);
        while ((read.last = reader.read(buffer.data(), step)) > 0) {
            read.steps << read.last;
            read.bytes.append(buffer.constData(), int(read.last));
        }
        read.shortReplies = reader.shortReplies();
        read.requestSize = reader.requestSize();
    }
    sftp_close(file);
    return read;
}

// What one read at a time emits walking a server folder: entries in the server's own order (listed here
// with plain libssh calls), each with its status text, its steps and its share of the total.
void expectWalk(const SftpSession &lister, const QByteArray &remote, const QString &local, double total,
                double &progress, QStringList &events) {
    sftp_dir dir = sftp_opendir(lister.sftp, remote.constData());
    while (sftp_attributes entry = sftp_readdir(lister.sftp, dir)) {
        const QString name = QString::fromUtf8(entry->name);
        events << "text " + QString(System_Language() == "ru" ? "Загрузка..." : "Downloading...") +
                      local.section('/', 0, 2) + ".../" + name;
        if (name != "." && name != "..") {
            if (entry->type == SSH_FILEXFER_TYPE_DIRECTORY)
                expectWalk(lister, remote + "/" + entry->name, local + "/" + name, total, progress, events);
            else
                events << chunkEvents(qint64(entry->size)) << "log 1 " + local + "/" + name;
            progress += double(entry->size) / (total / 100.0);
            events << "size " + QString::number(entry->size) << "progress " + QString::number(int(progress));
        }
        sftp_attributes_free(entry);
    }
    sftp_closedir(dir);
}

// Many files of awkward sizes, a nested folder, and one file too large to be fetched ahead.
Files component(const QString &name, qint64 largeSize) {
    Files files{{name + "/large.bin", randomTestBytes(int(largeSize))}};
    const QList<qint64> sizes{0, 1, 4095, 32768, 65535, 65536, step - 1, step, step + 1, 2 * step, 300001};
    for (int i = 0; i < 48; ++i)
        files[name + QString("/file%1.dat").arg(i, 2, 10, QChar('0'))] =
            randomTestBytes(int(sizes.value(i, 1000 + i * 7919)));
    for (int i = 0; i < 6; ++i)
        files[name + QString("/lib/part%1.dll").arg(i)] = randomTestBytes(20000 + i * 50000);
    files[name + "/lib/deeper/inner.bin"] = randomTestBytes(2 * step + 5);
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
    void init() {
        QFile::remove("LogFile.log");
        setSessionTimeoutsForTesting(0, 0);
    }

    // Whatever makes a connection fail, nothing stays open and one log line says what.
    void failedOpenLogsOneLine_data() {
        QTest::addColumn<int>("port"); // 0: none set, 1: closed, 2: a silent listener, 3: the test server
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<bool>("checker");
        QTest::addColumn<QString>("line");
        QTest::newRow("no server set") << 0 << "" << true << "] - Error ssh conect - ";
        QTest::newRow("closed port") << 1 << "" << true << "] - Error ssh conect - ";
        QTest::newRow("silent listener") << 2 << "" << false << "] - Error ssh conect - ";
        QTest::newRow("checker's wrong password") << 3 << "" << true << "] - Error auth conect - ";
        QTest::newRow("downloader's wrong password") << 3 << "" << false << "] - Error auth - ";
        // Refused before the password goes out: a wrong one would be logged otherwise.
        QTest::newRow("changed host key") << 3 << "SHA256:pinned" << false
                                          << "] - Error host key - the server presents %1 but the pinned key "
                                             "is SHA256:pinned";
    }
    void failedOpenLogsOneLine() {
        QFETCH(int, port);
        QFETCH(QString, pinned);
        QFETCH(bool, checker);
        QFETCH(QString, line);
        SilentPort silent(port == 2);
        settingsStore()->setValue("SFTP/IP", port == 0 ? "" : "127.0.0.1");
        settingsStore()->setValue("SFTP/port", port == 0 ? 0 : silent.port);
        std::optional<Served> served;
        if (port == 3) {
            served.emplace(Files());
            QVERIFY2(served->server.isRunning(), qPrintable(served->server.errorText()));
            settingsStore()->setValue("SFTP/Pswd", "wrong");
            if (!pinned.isEmpty())
                settingsStore()->setValue("SFTP/HostKey", pinned);
        }
        setSessionTimeoutsForTesting(port == 2 ? 800 : 0, 0);
        SftpSession session;
        QVERIFY(!openSftpSession(session, checker ? SessionUser::Checker : SessionUser::Downloader));
        QVERIFY(!session.ssh && !session.sftp && !session.watchdog);
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(line.replace("%1", served ? served->server.fingerprint() : "")),
                 qPrintable(lines[0]));
        QCOMPARE(lines.first().endsWith(" (no connection within 0.8 s)"), port == 2);
        if (!pinned.isEmpty())
            QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), pinned);
    }

    // The first connection pins the server's key; an idle session stays, a stalled request ends it.
    void sessionPinsTheKeyAndEndsOnlyAStalledRequest() {
        Served served({{"Meter/app.exe", randomTestBytes(200000)}}, {"--stall-after", "65536"});
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        settingsStore()->setValue("SFTP/HostKey", "");
        setSessionTimeoutsForTesting(5000, 500);
        Session session;
        QVERIFY(openSftpSession(session) && session.ssh && session.sftp);
        QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), served.server.fingerprint());
        QTest::qWait(900); // nothing outstanding: the watch must leave the session alone
        QVERIFY(!sessionTimedOut(session));
        const Read read = readWhole(session, "Meter/app.exe");
        QVERIFY(read.last < 0);
        QCOMPARE(read.bytes.size(), 65536);
        QVERIFY(sessionTimedOut(session));
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("] - Error server timeout - "), qPrintable(lines.first()));
    }

    void serverNamesAreCheckedBeforeUse() {
        for (const char *name :
             {"app.exe", "Brightfen Meter setup.exe", "CONSOLE.txt", "COM0", "Руководство.pdf"})
            QVERIFY2(isSafeEntryName(name), name);
        for (const char *name :
             {"", ".", "..", "../evil.exe", "sub/../../x", "..\\..\\evil.exe", "C:x", "a\nb", "a\x7f", "CON",
              "nul.txt", "COM1", "lpt9.log", "setup.", "setup ", "\xff\xfe"})
            QVERIFY2(!isSafeEntryName(name), name);
        const QString lora = "/opt/Brightfen/LoRa";
        for (const char *path :
             {"/opt/Brightfen/LoRa/app.exe", "/opt/Brightfen/LoRa/sub/../app.exe", "sub/a"})
            QVERIFY2(isInsideFolder(path, lora), path);
        for (const char *path : {"/opt/Brightfen/LoRa/../evil.exe", "/opt/Brightfen/LoRa2/app.exe",
                                 "/etc/passwd", "/opt/Brightfen/LoRa"})
            QVERIFY2(!isInsideFolder(path, lora), path);
        QCOMPARE(printableName("a\nb"), QString("a\\x0ab"));
    }

    // Whole steps in file order whatever the server's replies; a lost connection hands over only the
    // bytes before it, each at its place.
    void pipelinedReadsGiveWholeStepsInFileOrder_data() {
        QTest::addColumn<quint32>("cap");
        QTest::addColumn<qint64>("dropAfter");
        QTest::newRow("whole replies") << 0u << qint64(0);
        QTest::newRow("replies capped at 32 KiB") << 32768u << qint64(0);
        QTest::newRow("replies capped at 64 KiB") << 65536u << qint64(0);
        QTest::newRow("replies capped at 10000 bytes") << 10000u << qint64(0);
        QTest::newRow("dropped after 300001 bytes") << 32768u << qint64(300001);
    }
    void pipelinedReadsGiveWholeStepsInFileOrder() {
        QFETCH(quint32, cap);
        QFETCH(qint64, dropAfter);
        Files files;
        for (qint64 size : {0, 1, 65535, 131070, 131071, 262140, 3 * 1024 * 1024 + 17})
            files[QString("Pipe/f%1").arg(size)] = randomTestBytes(int(size));
        QStringList switches;
        if (cap)
            switches << "--max-read" << QString::number(cap);
        if (dropAfter)
            switches << "--drop-after" << QString::number(dropAfter);
        Served served(files, switches);
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        Session session;
        QVERIFY(openDownloader(session));
        qint64 sent = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            for (qint64 hint : {qint64(-1), qint64(it->size())}) {
                // Requests larger than the cap, so that every full reply comes back short.
                const Read read = readWhole(session, it.key(), hint, cap ? 2 * cap : 65536);
                QCOMPARE(read.steps, steps(read.bytes.size()));
                QVERIFY(read.bytes == it->left(read.bytes.size()));
                if (read.last < 0) {
                    QVERIFY(dropAfter > 0 && sent + read.bytes.size() <= dropAfter);
                    return;
                }
                QCOMPARE(read.last, 0);
                QCOMPARE(read.bytes.size(), it->size());
                QCOMPARE(read.shortReplies > 0, cap != 0 && it->size() > cap);
                QVERIFY(cap == 0 || read.requestSize <= cap || it->size() <= cap);
                sent += it->size();
            }
        }
        QCOMPARE(dropAfter, 0);
    }

    // Ranges over several sessions land in file order and whole steps; never more than four sessions,
    // and a file of one slice needs no helper.
    void rangeDownloadOverSeveralSessions_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<qint64>("size");
        QTest::newRow("replies capped at 32 KiB") << QStringList{"--max-read", "32768"} << qint64(17 << 20);
        QTest::newRow("exactly whole slices") << QStringList() << 4 * RangeDownloader::sliceSteps * step;
        QTest::newRow("one small slice") << QStringList() << step + 1;
        // Only the caller's own session drops, in the middle of its first slice.
        QTest::newRow("lost connection")
            << QStringList{"--drop-after", "1000000", "--faults-once"} << qint64(17 << 20);
    }
    void rangeDownloadOverSeveralSessions() {
        QFETCH(QStringList, switches);
        QFETCH(qint64, size);
        const QByteArray content = randomTestBytes(int(size));
        Served served({{"Pipe/large.bin", content}}, switches);
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        Session session;
        QVERIFY(openDownloader(session));
        const QByteArray path = (root + "Pipe/large.bin").toUtf8();
        sftp_file file = sftp_open(session.sftp, path.constData(), O_RDONLY, 0);
        QVERIFY(file != nullptr);
        QVector<qint64> handed;
        QSaveFile target(work.filePath("large.bin"));
        QVERIFY(target.open(QIODevice::WriteOnly));
        SftpSessionPool pool(session, openDownloader);
        RangeDownloader range(pool);
        // libssh's own window: slow enough on loopback that the helpers connect before the end.
        range.setChannelWindow(0);
        const qint64 result = range.download(file, path, size, target, [&](qint64 n, bool written) {
            handed << n;
            return written;
        });
        sftp_close(file);
        const qint64 total = std::accumulate(handed.cbegin(), handed.cend(), qint64(0));
        QCOMPARE(handed, steps(total));
        if (switches.contains("--drop-after")) {
            QVERIFY(result < 0 && !range.errorText().isEmpty());
            QVERIFY(total <= 1000000);
            return;
        }
        QCOMPARE(result, size);
        QVERIFY(target.commit());
        QVERIFY(readFileOrEmpty(work.filePath("large.bin")) == content);
        QVERIFY(pool.openHelpers() <= 3);
        QCOMPARE(pool.openHelpers() > 0, size > RangeDownloader::sliceSteps * step);
    }

    // Entries come back in the order asked, fetched or hashed on helper sessions, within the limits;
    // a single small file opens no second session.
    void fetchAheadDeliversEveryEntryInOrder() {
        Files files{{"Pipe/sub/inner.dat", "inner"}, {"Pipe/huge.dat", randomTestBytes(300000)}};
        for (int i = 0; i < 40; ++i)
            files[QString("Pipe/small%1.dat").arg(i, 2, 10, QChar('0'))] = randomTestBytes(1000 + i * 3001);
        // Slow opens make later files finish before earlier ones on other sessions.
        Served served(files, {"--open-delay-ms", "20", "--max-read", "32768"});
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        Session session;
        QVERIFY(openDownloader(session));
        std::atomic<int> opened{0};
        SftpSessionPool pool(session, [&](SftpSession &helper) {
            ++opened;
            return openDownloader(helper);
        });
        const auto path = [](const QString &name) { return (root + "Pipe/" + name).toUtf8(); };
        FilePrefetcher single(pool);
        QCOMPARE(single.take(single.add(path("sub/inner.dat"), 5)).bytes, QByteArray("inner"));
        QCOMPARE(opened.load(), 0);

        FilePrefetcher bytesAhead(pool, FilePrefetcher::KeepBytes, 200000, 100000);
        FilePrefetcher hashesAhead(pool, FilePrefetcher::HashMd5);
        QVector<int> tickets;
        for (int i = 0; i < 40; ++i) {
            const QString name = QString("small%1.dat").arg(i, 2, 10, QChar('0'));
            // Half of them announced as regular files: no folder test is sent for those.
            const int size = files.value("Pipe/" + name).size();
            tickets << bytesAhead.add(path(name), size, true, i % 2 == 0)
                    << hashesAhead.add(path(name), size);
        }
        const int folder = bytesAhead.add(path("sub"), 0);
        const int huge = bytesAhead.add(path("huge.dat"), 300000);
        const int missing = bytesAhead.add(path("missing.dat"), 10);
        const int testOnly = hashesAhead.add(path("small00.dat"), 1000, false);
        for (int i = 0; i < 40; ++i) {
            const QByteArray content = files.value(QString("Pipe/small%1.dat").arg(i, 2, 10, QChar('0')));
            const FilePrefetcher::Entry entry = bytesAhead.take(tickets[2 * i]);
            QVERIFY(!entry.isFolder && entry.opened && entry.fetched && entry.status == content.size());
            QVERIFY(entry.bytes == content);
            const FilePrefetcher::Entry hashed = hashesAhead.take(tickets[2 * i + 1]);
            QCOMPARE(hashed.md5, QCryptographicHash::hash(content, QCryptographicHash::Md5));
            QVERIFY(hashed.bytes.isEmpty());
        }
        QVERIFY(bytesAhead.take(folder).isFolder);
        const FilePrefetcher::Entry large = bytesAhead.take(huge);
        QVERIFY(!large.isFolder && !large.fetched && large.bytes.isEmpty());
        const FilePrefetcher::Entry absent = bytesAhead.take(missing);
        QVERIFY(!absent.isFolder && !absent.opened && !absent.errorText.isEmpty());
        const FilePrefetcher::Entry tested = hashesAhead.take(testOnly);
        QVERIFY(!tested.isFolder && !tested.opened && tested.md5.isEmpty());
        QVERIFY(opened >= 1 && opened <= 3);
    }

    void installRunGivesTheSignalsAndBytesOfOneReadAtATime_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<qint64>("largeSize");
        QTest::newRow("whole replies") << QStringList() << qint64(5 * 1024 * 1024 + 3);
        QTest::newRow("replies capped at 32 KiB") << QStringList{"--max-read", "32768"} << qint64(5 << 20);
        QTest::newRow("replies capped at 64 KiB")
            << QStringList{"--max-read", "65536"} << qint64(5 * 1024 * 1024 + step);
        // Slow opens make the large file worth ranges over several sessions.
        QTest::newRow("ranges over sessions, replies capped at 32 KiB")
            << QStringList{"--max-read", "32768", "--open-delay-ms", "3"} << qint64(17 * 1024 * 1024 + 11);
    }
    void installRunGivesTheSignalsAndBytesOfOneReadAtATime() {
        QFETCH(QStringList, switches);
        QFETCH(qint64, largeSize);
        const QString name = "Brightfen Console";
        const Files files = component(name, largeSize);
        const QString listings = work.filePath("listings.txt");
        Served served(files, switches << "--log-listings" << listings);
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/" + name;
        const bool ru = System_Language() == "ru";
        qint64 total = 0;
        for (const QByteArray &bytes : files)
            total += bytes.size();
        QStringList expected{"text " + QString(ru ? "Расчет времени..." : "Time calculation..."),
                             "size " + QString::number(total), "timer 1000",
                             "log 0 " + QString(ru ? "Загрузка " : "Downloading ") + name};
        {
            Session lister;
            QVERIFY(openSftpSession(lister));
            double progress = 0;
            expectWalk(lister, (root + name).toUtf8(), folder, double(total), progress, expected);
        }
        expected << "path " + name + " = " + folder
                 << "log 0 " + name + (ru ? " установлен" : " is installed") << "finished install";
        QFile::remove(listings);

        auto context = newInstallContext(target.path());
        context->selectedLoRa[name] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, 120000));
        QCOMPARE(run.events, expected);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(readFileOrEmpty(target.path() + "/LoRa/" + it.key()) == *it, qPrintable(it.key()));
        QCOMPARE(filesBelow(folder).size(), files.size());
        QCOMPARE(downloader.failedFileCount(), 0);
        QCOMPARE(logText(), QString());
        // The download pass walks what the size pass listed: each folder is opened once, the listing
        // doubling as the test that it is a folder.
        QStringList listed = QString::fromUtf8(readFileOrEmpty(listings)).split('\n', Qt::SkipEmptyParts);
        listed.sort();
        const QString remote = root + name;
        QCOMPARE(listed, QStringList({root.chopped(1), remote, remote + "/lib", remote + "/lib/deeper"}));
    }

    // A check hashing ahead on several sessions finds exactly the changed and the missing files, whatever
    // byte differs; the update then fetches the ticked ones with the signals of one read at a time.
    void checkThenUpdateUnderShortReplies_data() {
        QTest::addColumn<QString>("cap");
        QTest::newRow("replies capped at 32 KiB") << "32768";
        QTest::newRow("replies capped at 64 KiB") << "65536";
    }
    void checkThenUpdateUnderShortReplies() {
        QFETCH(QString, cap);
        const QString name = "Brightfen Hub Server";
        const Files files = component(name, 6 * 1024 * 1024 + 1);
        QTemporaryDir local;
        QHash<QString, QString> changed;
        QHash<QString, QByteArray> installed; // what each file holds before the update
        int i = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it, ++i) {
            const QString path = local.path() + "/" + it.key();
            QByteArray &copy = installed[path] = i % 3 == 2 ? QByteArray("<missing>") : *it;
            if (i % 3 == 1 && !copy.isEmpty()) {
                // One byte differs: the first, the middle or the last.
                const int at = i % 9 == 1 ? 0 : i % 9 == 4 ? copy.size() / 2 : copy.size() - 1;
                copy[at] = char(copy.at(at) ^ 0x5a);
            }
            if (copy != *it)
                changed.insert(path, root + it.key() + "|" + QString::number(it->size()));
            QVERIFY(i % 3 == 2 || writeTestFile(path, copy));
        }
        settingsStore()->setValue("Path/" + name, local.filePath(name));
        Served served(files, {"--max-read", cap});
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        QHash<QString, QString> pending;
        UpdateChecker checker(&pending);
        checker.Checking_Updates_On_Server();
        QCOMPARE(pending, changed);
        QVERIFY2(!logText().contains("Error"), qPrintable(logText()));

        // In the list's order: a reset per entry; for a ticked one every step with its share, then its line.
        QHash<QString, bool> ticked;
        QStringList expected;
        i = 0;
        for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
            expected << "progress 0";
            ticked[it.key()] = i++ % 5 != 3;
            if (!ticked[it.key()])
                continue;
            const qint64 size = it->section('|', -1).toLongLong();
            double progress = 0;
            for (qint64 n : steps(size)) {
                progress += double(n) / (double(size) / 100.0);
                expected << "chunk " + QString::number(n) << "progress " + QString::number(int(progress));
            }
            expected << "log 1 " + it.key();
        }
        Downloader downloader(ticked, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false, 120000));
        QCOMPARE(run.events, expected << "finish update");
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = local.path() + "/" + it.key();
            QVERIFY2(readTestFile(path) == (ticked.value(path, true) ? *it : installed[path]),
                     qPrintable(path));
        }
        QCOMPARE(downloader.failedFileCount(), 0);
    }

    // An install cut short while later files are fetched ahead on other sessions: nothing recorded, no
    // step reported after a cancel, and every installed file its old self or the whole new one.
    void interruptedInstallKeepsInstalledFiles_data() {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<int>("cancelAt");
        QTest::newRow("cancelled at the fifth step")
            << QStringList{"--max-read", "4096", "--open-delay-ms", "20"} << 5;
        QTest::newRow("every session drops")
            << QStringList{"--drop-after", "300000", "--max-read", "32768"} << 0;
        // The modules together stay below the drop, so the run's own session can only drop in its own
        // read of the large file, never in fetch-ahead work it took on while waiting for a helper.
        QTest::newRow("the run's own session drops")
            << QStringList{"--drop-after", "4900000", "--faults-once", "--max-read", "65536"} << 0;
    }
    void interruptedInstallKeepsInstalledFiles() {
        QFETCH(QStringList, switches);
        QFETCH(int, cancelAt);
        const QString name = "Brightfen Bridge";
        Files files{{name + "/large.bin", randomTestBytes(5 * 1024 * 1024)}};
        for (int i = 0; i < 12; ++i)
            files[name + QString("/module%1.bin").arg(i, 2, 10, QChar('0'))] = randomTestBytes(400000 + i);
        Served served(files, switches);
        QVERIFY2(served.server.isRunning(), qPrintable(served.server.errorText()));
        QTemporaryDir target;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(target.path() + "/LoRa/" + it.key(), "installed"));
        auto context = newInstallContext(target.path());
        context->selectedLoRa[name] = true;
        Downloader downloader(context.get());
        // Cancelled from the worker thread, in the middle of the second file.
        int stepsSeen = 0;
        connect(
            &downloader, &Downloader::Counter_Data, &downloader,
            [&] {
                if (++stepsSeen == cancelAt)
                    downloader.requestCancel();
            },
            Qt::DirectConnection);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, 120000));

        QCOMPARE(run.events.last(), QString(cancelAt ? "finished install" : "error connection"));
        QVERIFY(run.matching("path ").isEmpty());
        const QString folder = target.path() + "/LoRa/" + name;
        QStringList left = filesBelow(folder);
        int replaced = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = target.path() + "/LoRa/" + it.key();
            // What arrived of a file cut short may stay beside it for the next run: its beginning.
            for (const QString &partial : partialsOf(path)) {
                QVERIFY(it->startsWith(readFileOrEmpty(partial)));
                left.removeOne(QFileInfo(partial).fileName());
            }
            const QByteArray now = readFileOrEmpty(path);
            QVERIFY2(now == *it || now == "installed", qPrintable(it.key()));
            replaced += now == *it;
            QCOMPARE(run.events.contains("log 1 " + path), now == *it);
        }
        QCOMPARE(left.size(), files.size()); // nothing else left behind
        QCOMPARE(run.matching("log 1 ").size(), replaced);
        QVERIFY(replaced < files.size());
        if (cancelAt)
            QCOMPARE(run.matching("chunk ").size(), cancelAt);
        if (!switches.contains("--faults-once"))
            QCOMPARE(replaced, cancelAt ? 1 : 0); // no file fits below the drop on any session
        QCOMPARE(logText().contains("] - Error read sftp file - "), cancelAt == 0);
    }
};

QTEST_MAIN(SftpTest)
#include "tst_sftp.moc"
