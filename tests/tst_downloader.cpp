// Install and update runs of the downloader against the asyncssh test server.

#include "support/TestMain.h"
#include "support/DownloaderRun.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <numeric>

namespace {

const QString serverRoot = "/upload/Softwares/For Download/";

bool ru() {
    return System_Language() == "ru";
}

// A program name no other process on the machine carries, since the running test is by substring.
QString uniqueToolName() {
    return QString("Tool%1.exe").arg(QCoreApplication::applicationPid());
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

} // namespace

class DownloaderTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work; // working folder (log file) and install folders
    QString logText() const { return QString::fromUtf8(readFileOrEmpty(work.filePath("LogFile.log"))); }
    void clearLog() { QFile::remove(work.filePath("LogFile.log")); }

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
        QDir::setCurrent(work.path());
        useTestSettings();
        // The Russian run below starts this program again under a Russian locale.
        if (qEnvironmentVariableIsSet("QUILLON_TEST_LANGUAGE"))
            QCOMPARE(System_Language(), qEnvironmentVariable("QUILLON_TEST_LANGUAGE"));
    }
    void init() { clearLog(); }

    void installRunReportsEverySignalInOrder() {
        QTemporaryDir tree;
        const QString console = tree.path() + serverRoot + "Brightfen Console";
        QVERIFY(writeTestFile(console + "/app.exe", randomTestBytes(1000)));
        QVERIFY(writeTestFile(console + "/manual.pdf", randomTestBytes(3000)));
        QVERIFY(writeTestFile(console + "/.git/config", "x"));
        QVERIFY(writeTestFile(console + "/a.txt", "skipped by the second-character rule"));
        QVERIFY(
            writeTestFile(tree.path() + serverRoot + "Brightfen Meter/not-chosen.bin", randomTestBytes(500)));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Console"] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));

        const QString folder = target.path() + "/LoRa/Brightfen Console";
        const QStringList &e = run.events;
        QVERIFY(e.size() > 6);
        QCOMPARE(
            e.mid(0, 4),
            QStringList({QString("text ") + (ru() ? "Расчет времени..." : "Time calculation..."), "size 4000",
                         "timer 1000",
                         QString("log 0 ") + (ru() ? "Загрузка " : "Downloading ") + "Brightfen Console"}));
        QCOMPARE(e.last(), QString("finished install"));
        QCOMPARE(e.at(e.size() - 3), "path Brightfen Console = " + folder);
        QCOMPARE(e.at(e.size() - 2),
                 QString("log 0 Brightfen Console ") + (ru() ? "установлен" : "is installed"));

        // One status text per directory entry, skipped ones included ("." and ".." too).
        const QString statusPrefix =
            QString("text ") + (ru() ? "Загрузка..." : "Downloading...") + folder.section('/', 0, 2) + ".../";
        QStringList announced;
        for (const QString &text : run.matching(statusPrefix))
            announced << text.mid(statusPrefix.size());
        announced.sort();
        QCOMPARE(announced, QStringList({".", "..", ".git", "a.txt", "app.exe", "manual.pdf"}));

        // Only the two files arrive; each file's completion is followed by its size and the
        // cumulative percentage of the 4000-byte total.
        QCOMPARE(filesBelow(folder), QStringList({"app.exe", "manual.pdf"}));
        QCOMPARE(readFileOrEmpty(folder + "/app.exe").size(), 1000);
        int cumulative = 0;
        int completions = 0;
        for (int i = 0; i < e.size(); ++i) {
            if (!e[i].startsWith("log 1 "))
                continue;
            ++completions;
            const int size = QFileInfo(e[i].mid(6)).size();
            cumulative += size;
            QCOMPARE(e.value(i + 1), "size " + QString::number(size));
            QCOMPARE(e.value(i + 2), "progress " + QString::number(int(cumulative / (4000 / 100.0))));
        }
        QCOMPARE(completions, 2);
        QCOMPARE(cumulative, 4000);
        QCOMPARE(run.matching("path ").size(), 1);
        QCOMPARE(downloader.failedFileCount(), 0);
    }

    void installRunWithNothingTickedOnlyCounts() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Console/app.exe", "x"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));
        QCOMPARE(run.events,
                 QStringList({QString("text ") + (ru() ? "Расчет времени..." : "Time calculation..."),
                              "size 0", "timer 1000", "finished install"}));
        QVERIFY(QDir(target.path()).isEmpty());
    }

    void installRunReadsInChunksOf131070Bytes() {
        QTemporaryDir tree;
        const QString meter = tree.path() + serverRoot + "Brightfen Meter";
        const QByteArray exact = randomTestBytes(131070), longer = randomTestBytes(131071),
                         big = randomTestBytes(400000);
        QVERIFY(writeTestFile(meter + "/exact.bin", exact));
        QVERIFY(writeTestFile(meter + "/longer.bin", longer));
        QVERIFY(writeTestFile(meter + "/big.bin", big));
        QVERIFY(writeTestFile(meter + "/empty.bin", ""));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Meter"] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));

        // The chunks of each file are the "chunk" events just before its completion line.
        const QString folder = target.path() + "/LoRa/Brightfen Meter";
        QHash<QString, QList<int>> chunksOf;
        QList<int> pending;
        for (const QString &event : run.events) {
            if (event.startsWith("chunk "))
                pending << event.mid(6).toInt();
            else if (event.startsWith("log 1 ")) {
                chunksOf[QFileInfo(event.mid(6)).fileName()] = pending;
                pending.clear();
            }
        }
        QCOMPARE(chunksOf.value("exact.bin"), QList<int>({131070}));
        QCOMPARE(chunksOf.value("longer.bin"), QList<int>({131070, 1}));
        QCOMPARE(chunksOf.value("big.bin"), QList<int>({131070, 131070, 131070, 6790}));
        QVERIFY(chunksOf.contains("empty.bin"));
        QCOMPARE(chunksOf.value("empty.bin"), QList<int>());
        QCOMPARE(readFileOrEmpty(folder + "/exact.bin"), exact);
        QCOMPARE(readFileOrEmpty(folder + "/longer.bin"), longer);
        QCOMPARE(readFileOrEmpty(folder + "/big.bin"), big);
        QVERIFY(QFileInfo::exists(folder + "/empty.bin"));
    }

    void driversAreFetchedButNotRecorded() {
        QTemporaryDir tree;
        const QString cp = tree.path() + serverRoot + "CP210x";
#ifndef Q_OS_WIN
        QVERIFY(writeTestFile(cp + "/SETUP.EXE", "upper")); // one file with setup.exe on Windows
#endif
        QVERIFY(writeTestFile(cp + "/setup.exe", "lower"));
        QVERIFY(
            QFile::setPermissions(cp + "/setup.exe", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeTestFile(cp + "/x64/inner.exe", "inner"));
        QVERIFY(writeTestFile(cp + "/readme.html", "doc"));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "MSVC/vc_redist.exe", "runtime"));
        AsyncsshServer server(tree.path(), {"--fail-open", "MSVC/"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settings()->setValue("MSVC/Inst", false);

        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedDrivers["CP210x"] = true;
        context->selectedDrivers["MSVC"] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));

        const QString folder = target.path() + "/Drivers/CP210x";
#ifndef Q_OS_WIN
        QCOMPARE(filesBelow(folder), QStringList({"SETUP.EXE", "readme.html", "setup.exe", "x64/inner.exe"}));
#else
        QCOMPARE(filesBelow(folder), QStringList({"readme.html", "setup.exe", "x64/inner.exe"}));
#endif
        // Fetched files keep the server's mode: only the installer marked executable there runs here.
        QVERIFY(QFileInfo(folder + "/setup.exe").isExecutable());
        QVERIFY(!QFileInfo(folder + "/readme.html").isExecutable());
        QStringList installers = context->driverInstallers;
        installers.sort();
        QCOMPARE(installers, QStringList({folder + "/setup.exe", folder + "/x64/inner.exe"}));
        // Both driver components are announced, neither is recorded as installed.
        const QString downloading = ru() ? "log 0 Загрузка " : "log 0 Downloading ";
        QVERIFY(run.events.contains(downloading + "CP210x"));
        QVERIFY(run.events.contains(downloading + "MSVC"));
        QVERIFY(run.matching("path ").isEmpty());
        QVERIFY(run.matching("log 0 CP210x ").isEmpty());
        QVERIFY(run.matching("log 0 MSVC ").isEmpty());
        // The runtime is marked as installed before its download, which failed here.
        QCOMPARE(settings()->value("MSVC/Inst").toBool(), true);
        QVERIFY(!QFileInfo::exists(target.path() + "/Drivers/MSVC/vc_redist.exe"));
        QCOMPARE(downloader.failedFileCount(), 1);
        QVERIFY(logText().contains("Error read sftp file - "));
        QCOMPARE(run.events.last(), QString("finished install"));
    }

    void droppedConnectionKeepsThePreviousFile() {
        QTemporaryDir tree;
        const QByteArray fresh = randomTestBytes(1000000);
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Bridge/bridge.exe", fresh));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Bridge/later.txt", "after the drop"));
        AsyncsshServer server(tree.path(), {"--drop-after", "300000"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/Brightfen Bridge";
        const QByteArray previous = "the installed version, which must survive";
        QVERIFY(writeTestFile(folder + "/bridge.exe", previous));
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Bridge"] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));

        QCOMPARE(readFileOrEmpty(folder + "/bridge.exe"), previous);
        QCOMPARE(filesBelow(folder), QStringList({"bridge.exe"})); // no temporary file left
        QVERIFY(run.matching("log 1 ").isEmpty());
        QVERIFY(downloader.failedFileCount() >= 1);
        QVERIFY(logText().contains("Error read sftp file - "));
        // A lost server is a connection failure, which the progress window retries.
        QCOMPARE(run.events.last(), QString("error connection"));
        QVERIFY(run.matching("path ").isEmpty());
    }

    void cancelMidFileKeepsThePreviousFileAndEndsTheRun() {
        QTemporaryDir tree;
        QVERIFY(
            writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/big.bin", randomTestBytes(3000000)));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Fieldlink/other.bin", "not reached"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/Brightfen Sniffer";
        QVERIFY(writeTestFile(folder + "/big.bin", "old"));
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Sniffer"] = true;
        context->selectedNbIot["Brightfen Fieldlink"] = true;
        Downloader downloader(context.get());
        // Cancel from the worker thread right after the first chunk: the next read must not happen.
        connect(
            &downloader, &Downloader::Counter_Data, &downloader,
            [&downloader] { downloader.requestCancel(); }, Qt::DirectConnection);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true));

        QCOMPARE(run.chunks.size(), 1);
        QCOMPARE(readFileOrEmpty(folder + "/big.bin"), QByteArray("old"));
        QCOMPARE(filesBelow(target.path()), QStringList({"LoRa/Brightfen Sniffer/big.bin"}));
        QVERIFY(run.matching("path ").isEmpty());
        QCOMPARE(run.events.last(), QString("finished install"));
    }

    // A connection lost mid-file keeps the bytes fetched so far beside the installed file; the next
    // run (a new downloader, as after the program was closed; install or update) goes on from there
    // when the server file is the same one, starts again when its size or time changed, and drops
    // them when the server no longer has the file.
    void interruptedFileResumesOnlyFromTheSameServerFile_data() {
        QTest::addColumn<bool>("update");
        QTest::addColumn<QString>("change");
        QTest::newRow("next install run") << false << "";
        QTest::newRow("next update run") << true << "";
        QTest::newRow("server file has a new time") << false << "time";
        QTest::newRow("server file has a new size") << true << "size";
        QTest::newRow("server file is gone") << false << "gone";
    }
    void interruptedFileResumesOnlyFromTheSameServerFile() {
        QFETCH(bool, update);
        QFETCH(QString, change);
        const qint64 size = 6 * 1024 * 1024; // above what is fetched ahead into memory
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Bridge/bridge.bin";
        const QString served = tree.path() + remote;
        QVERIFY(writeTestFile(served, randomTestBytes(int(size))));
        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/Brightfen Bridge";
        const QString local = folder + "/bridge.bin";
        QVERIFY(writeTestFile(local, "installed"));
        settings()->setValue("Path/Brightfen Bridge", folder);
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Bridge"] = true;
        QHash<QString, QString> pending{{local, remote + "|" + QString::number(size)}};
        auto runOnce = [&](const QStringList &faults) {
            AsyncsshServer server(tree.path(), faults);
            pointSettingsAt(server);
            auto downloader =
                update ? std::make_unique<Downloader>(QHash<QString, bool>{{local, true}}, &pending)
                       : std::make_unique<Downloader>(context.get());
            DownloaderRun run(downloader.get());
            run.start(!update);
            return std::make_pair(run.events, run.chunks);
        };

        // Bytes reach the partial file in file order, so a cut that lands before the first slice is
        // written leaves it empty (seen under Wine); cut again until there is something to resume from.
        QStringList kept;
        QByteArray before;
        for (int attempt = 0; attempt < 10 && before.isEmpty(); ++attempt) {
            const auto cut = runOnce({"--drop-after", "2000000"}).first;
            QCOMPARE(cut.last(), QString("error connection"));
            QCOMPARE(readFileOrEmpty(local), QByteArray("installed"));
            kept = partialsOf(local);
            QCOMPARE(kept.size(), 1);
            before = readFileOrEmpty(kept.first());
        }
        QVERIFY(before.size() > 0 && before.size() < size);
        QVERIFY(readFileOrEmpty(served).startsWith(before));

        QFile file(served);
        if (change == "gone")
            QVERIFY(file.remove());
        else
            QVERIFY(file.open(QIODevice::ReadWrite));
        if (change == "size")
            QVERIFY(file.resize(size + 1));
        if (change == "time" || change == "size") {
            QVERIFY(file.write("changed") == 7 && file.flush());
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                     QFileDevice::FileModificationTime));
        }
        file.close();
        const auto [next, nextChunks] = runOnce({});
        QCOMPARE(next.last(), QString(update ? "finish update" : "finished install"));
        const QByteArray expected = change == "gone" ? QByteArray("installed") : readFileOrEmpty(served);
        QCOMPARE(QCryptographicHash::hash(readFileOrEmpty(local), QCryptographicHash::Md5),
                 QCryptographicHash::hash(expected, QCryptographicHash::Md5));
        const qint64 fetched = std::accumulate(nextChunks.cbegin(), nextChunks.cend(), qint64(0));
        QCOMPARE(fetched, change.isEmpty() ? size - before.size() : QFileInfo(served).size());
        QCOMPARE(filesBelow(folder), QStringList{"bridge.bin"});
    }

    void hostileNamesAreRefused() {
        QTemporaryDir tree;
        const QString folderOnServer = serverRoot + "Brightfen Radio Setup";
        const QString radio = tree.path() + folderOnServer;
        QVERIFY(writeTestFile(radio + "/good.bin", "fine"));
        QVERIFY(writeTestFile(tree.path() + "/secret.txt", "outside the component"));
#ifndef Q_OS_WIN // QFile::link makes shortcut files there
        QVERIFY(QFile::link("/", radio + "/root"));
        QVERIFY(QFile::link(radio, radio + "/loop"));
        QVERIFY(QFile::link(radio + "/good.bin", radio + "/alias.bin")); // stays inside: allowed
        const QStringList landed{"base/LoRa/Brightfen Radio Setup/alias.bin",
                                 "base/LoRa/Brightfen Radio Setup/good.bin"};
#else
        const QStringList landed{"base/LoRa/Brightfen Radio Setup/good.bin"};
#endif
        QStringList switches;
        for (const char *name : {"../evil.exe", "CON", "nul.txt", "ab.", "C:x", "sub/../../x", "tab\there"})
            switches << "--extra-entry" << folderOnServer + "|" + name + "|5";
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir target;
        auto context = newInstallContext(target.path() + "/base");
        context->selectedLoRa["Brightfen Radio Setup"] = true;
        Downloader downloader(context.get());
        DownloaderRun run(&downloader);
        QVERIFY(run.start(true, 30000));

        QCOMPARE(filesBelow(target.path()), landed);
        const QString log = logText();
        for (const char *name : {"CON", "nul.txt", "ab.", "C:x", "sub/../../x", "tab\\x09here"})
            QVERIFY2(log.contains("Refused file name from the server - " + folderOnServer + "/" + name),
                     name);
        QCOMPARE(log.count("Refused file name from the server - "), 6);
#ifndef Q_OS_WIN
        QVERIFY(log.contains("Refused link out of the component folder - " + folderOnServer + "/root"));
        QVERIFY(log.contains("Refused folder that loops back - " + folderOnServer + "/loop"));
#endif
        // "../evil.exe" never gets that far: the dot rule skips it, but it is still announced.
        QVERIFY(!run.matching("text ").filter("../evil.exe").isEmpty());
        QCOMPARE(run.events.last(), QString("finished install"));
    }

    void updateRunReportsProgressPerRead() {
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Console";
        const QByteArray newApp = randomTestBytes(300000);
        QVERIFY(writeTestFile(tree.path() + remote + "/app.dll", newApp));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Console", installed.path());
        const QString app = installed.filePath("app.dll");
        QVERIFY(writeTestFile(app, "old app"));
        QHash<QString, QString> pending{{app, remote + "/app.dll|300000"}};
        Downloader downloader({{app, true}}, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false));

        QCOMPARE(run.events,
                 QStringList({"progress 0", "chunk 131070", "progress 43", "chunk 131070", "progress 87",
                              "chunk 37860", "progress 100", "log 1 " + app, "finish update"}));
        QCOMPARE(readFileOrEmpty(app), newApp);
    }

    void updateRunFetchesOnlyTickedEntries() {
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Console";
        QVERIFY(writeTestFile(tree.path() + remote + "/app.dll", "new app"));
        QVERIFY(writeTestFile(tree.path() + remote + "/lib/help.html", "new help"));
        QVERIFY(writeTestFile(tree.path() + remote + "/notes.txt", "new notes"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Console", installed.path());
        QVERIFY(writeTestFile(installed.filePath("app.dll"), "old app"));
        QVERIFY(writeTestFile(installed.filePath("notes.txt"), "old notes"));
        QHash<QString, QString> pending;
        pending[installed.filePath("app.dll")] = remote + "/app.dll|7";
        pending[installed.filePath("lib/help.html")] = remote + "/lib/help.html"; // no "|": size reads as 0
        pending[installed.filePath("notes.txt")] = remote + "/notes.txt|9";       // not ticked
        QHash<QString, bool> ticked{{installed.filePath("app.dll"), true},
                                    {installed.filePath("lib/help.html"), true},
                                    {installed.filePath("notes.txt"), false}};
        Downloader downloader(ticked, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false));

        QCOMPARE(readFileOrEmpty(installed.filePath("app.dll")), QByteArray("new app"));
        QCOMPARE(readFileOrEmpty(installed.filePath("lib/help.html")), QByteArray("new help"));
        QCOMPARE(readFileOrEmpty(installed.filePath("notes.txt")), QByteArray("old notes"));
        QStringList completed = run.matching("log 1 ");
        completed.sort();
        QCOMPARE(completed, QStringList({"log 1 " + installed.filePath("app.dll"),
                                         "log 1 " + installed.filePath("lib/help.html")}));
        // Every entry starts at 0; the one without a size stays there; the other ends at 100.
        const QStringList values = run.matching("progress ");
        const QString full =
            "progress " + QString::number(int(7 / (7 / 100.0))); // the percentage arithmetic as is
        QCOMPARE(QSet<QString>(values.begin(), values.end()), QSet<QString>({"progress 0", full}));
        QCOMPARE(run.events.count("progress 0"), 3 + 1);
        QCOMPARE(run.events.last(), QString("finish update"));
        QCOMPARE(pending.size(), 3); // the map is only read
    }

    void updateRunWithNothingTickedFetchesNothing() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Console/app.dll", "new"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Console", installed.path());
        QHash<QString, QString> pending{
            {installed.filePath("a.dll"), serverRoot + "Brightfen Console/app.dll|3"},
            {installed.filePath("b.dll"), serverRoot + "Brightfen Console/app.dll|3"}};
        Downloader downloader({}, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false));
        QCOMPARE(run.events, QStringList({"progress 0", "progress 0", "finish update"}));
        QVERIFY(QDir(installed.path()).isEmpty());
    }

    void updateRunRefusesEntriesOutsideInstalledFolders() {
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Console";
        QVERIFY(writeTestFile(tree.path() + remote + "/app.dll", "payload"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir installed;
        const QString folder = installed.filePath("console");
        QVERIFY(QDir().mkpath(folder));
        settings()->setValue("Path/Brightfen Console", folder);
        const QStringList keys{folder + "/../evil.exe", installed.filePath("elsewhere.dll"), folder + "/CON",
                               folder + "/ok.dll"};
        QHash<QString, QString> pending;
        QHash<QString, bool> ticked;
        for (const QString &key : keys) {
            pending[key] = remote + "/app.dll|7";
            ticked[key] = true;
        }
        pending[folder + "/escape.dll"] = serverRoot + "Brightfen Console/../../../../etc/passwd|7";
        ticked[folder + "/escape.dll"] = true;
        Downloader downloader(ticked, &pending);
        DownloaderRun run(&downloader);
        QVERIFY(run.start(false));

        QCOMPARE(filesBelow(installed.path()), QStringList({"console/ok.dll"}));
        QCOMPARE(logText().count("Refused update entry - "), 4);
        QCOMPARE(downloader.failedFileCount(), 4);
    }

    void runningProgramIsAskedAboutThenSkipped() {
#ifdef Q_OS_WIN
        QSKIP("the running program is a copy of /bin/sleep; Windows process lookup is tested in "
              "tst_winplatform");
#endif
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Meter";
        QVERIFY(writeTestFile(tree.path() + remote + "/Tool.exe", "new tool"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        // A real process stands in for the running program: a copy of sleep named like it.
        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Meter", installed.path());
        const QString tool = installed.filePath(uniqueToolName());
        QVERIFY(QFile::copy("/bin/sleep", tool));
        QProcess running;
        running.start(tool, {"60"});
        QVERIFY(running.waitForStarted());
        const QByteArray before = readFileOrEmpty(tool);

        QHash<QString, QString> pending{{tool, remote + "/Tool.exe|8"}};
        Downloader downloader({{tool, true}}, &pending);
        DownloaderRun run(&downloader);
        // OK without closing it: asked again; then skip.
        run.answerQuestion = [&run](const QString &) { return run.questions == 1 ? 0 : 2; };
        QVERIFY(run.start(false));
        running.kill();
        running.waitForFinished();

        QCOMPARE(run.questions, 2);
        QCOMPARE(run.matching("question "), QStringList({"question " + tool, "question " + tool}));
        QCOMPARE(readFileOrEmpty(tool), before);
        QVERIFY(run.matching("log 1 ").isEmpty());
        QCOMPARE(run.events.last(), QString("finish update"));
    }

    void closedProgramIsReplaced() {
#ifdef Q_OS_WIN
        QSKIP("the running program is a copy of /bin/sleep; Windows process lookup is tested in "
              "tst_winplatform");
#endif
        QTemporaryDir tree;
        const QString remote = serverRoot + "Brightfen Meter";
        QVERIFY(writeTestFile(tree.path() + remote + "/Tool.exe", "new tool"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Meter", installed.path());
        const QString tool = installed.filePath(uniqueToolName());
        const QString idle = installed.filePath("Idle.exe");
        QVERIFY(QFile::copy("/bin/sleep", tool));
        QVERIFY(writeTestFile(idle, "not running"));
        QProcess running;
        running.start(tool, {"60"});
        QVERIFY(running.waitForStarted());

        QHash<QString, QString> pending{{tool, remote + "/Tool.exe|8"}, {idle, remote + "/Tool.exe|8"}};
        Downloader downloader({{tool, true}, {idle, true}}, &pending);
        DownloaderRun run(&downloader);
        // The user closes the program, then says OK.
        run.answerQuestion = [&running](const QString &) {
            running.kill();
            running.waitForFinished();
            return 0;
        };
        QVERIFY(run.start(false));

        QCOMPARE(run.questions, 1); // a program that is not running is not asked about
        QCOMPARE(readFileOrEmpty(tool), QByteArray("new tool"));
        QCOMPARE(readFileOrEmpty(idle), QByteArray("new tool"));
    }

    void installTextsFollowTheRussianLocale() {
#ifdef Q_OS_WIN
        QSKIP("Windows takes the language from the user's UI language, not from the locale variables");
#endif
        if (qEnvironmentVariableIsSet("QUILLON_TEST_LANGUAGE"))
            QSKIP("this is the Russian run itself");
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LC_ALL", "ru_RU.UTF-8");
        environment.insert("LANG", "ru_RU.UTF-8");
        environment.insert("QUILLON_TEST_LANGUAGE", "ru");
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"installRunReportsEverySignalInOrder", "installRunWithNothingTickedOnlyCounts",
                     "driversAreFetchedButNotRecorded"});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("Totals: 5 passed, 0 failed"), output.constData());
    }

    void unreachableServerReportsConnectionError() {
        settings()->setValue("SFTP/IP", "127.0.0.1");
        settings()->setValue("SFTP/port", 1); // nothing listens there
        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Console"] = true;
        Downloader installer(context.get());
        DownloaderRun install(&installer);
        QVERIFY(install.start(true));
        QCOMPARE(install.events, QStringList({"error connection"}));

        QHash<QString, QString> pending{{target.filePath("x"), "y|1"}};
        Downloader updater({{target.filePath("x"), true}}, &pending);
        DownloaderRun update(&updater);
        QVERIFY(update.start(false));
        QCOMPARE(update.events, QStringList({"error connection"}));
    }
};

QUILLON_GUILESS_TEST_MAIN(DownloaderTest)
#include "tst_downloader.moc"
