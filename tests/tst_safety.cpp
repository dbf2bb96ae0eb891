// A hostile or failing server against the whole program: changed host keys, hostile names, a full
// disk, Cancel and close in the middle of a file, stalls, and timer ticks during a slow check.

#include "support/TestMain.h"
#include "support/DownloaderRun.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"
#include "transfer/UpdateChecker.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/ProgressBarWindow.h"
#include "ui/StacketWidget.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <memory>

namespace {

const QString serverRoot = "/upload/Softwares/For Download/";

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool russian() {
    return System_Language() == "ru";
}

// Client connections to this port that are open right now, from the kernel's socket table.
int openConnectionsTo(int port) {
    QFile table("/proc/net/tcp");
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QString remote = QString(":%1").arg(port, 4, 16, QChar('0')).toUpper();
    int count = 0;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QStringList fields = QString::fromLatin1(line).simplified().split(' ');
        if (fields.size() > 3 && fields.at(2).endsWith(remote) && fields.at(3) == "01")
            ++count;
    }
    return count;
}

// Bytes written so far to a file this process holds open in `folder` (an unnamed temporary file
// counts: it shows up under /proc/self/fd); -1 when none is open there.
qint64 openFileSizeIn(const QString &folder) {
#ifndef Q_OS_UNIX
    // Windows cannot rename a file that is open without delete sharing, as Qt opens files.
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files)) {
        const QString probe = file.filePath() + ".probe";
        if (!QFile::rename(file.filePath(), probe))
            return file.size();
        QFile::rename(probe, file.filePath());
    }
    return -1;
#else
    const QDir descriptors("/proc/self/fd");
    for (const QString &entry :
         descriptors.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::AllEntries)) {
        char target[4096];
        const QByteArray link = descriptors.filePath(entry).toLocal8Bit();
        const ssize_t length = readlink(link.constData(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        if (QString::fromLocal8Bit(target, int(length)).startsWith(folder + "/"))
            return QFileInfo(descriptors.filePath(entry)).size();
    }
    return -1;
#endif
}

// Answers every modal message box with OK and remembers its title.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer() {
        connect(&poll, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                titles << box->windowTitle();
                box->accept();
            }
        });
        poll.start(20);
    }
    QStringList titles;

private:
    QTimer poll;
};

// Runs one downloader on a worker thread, as the windows do, and records how it ended.
struct RunResult {
    QStringList ends; // "finished install", "finish update", "error connection", in order
    QStringList recorded;
    bool ended = false;
};

RunResult runDownloader(Downloader &downloader, bool install, int timeoutMs = 60000) {
    DownloaderRun run(&downloader);
    RunResult result;
    result.ended = run.start(install, timeoutMs);
    result.ends = run.ends();
    result.recorded = run.recorded;
    return result;
}

// Names a server may list that must never become part of a local path. Each is refused by the
// name check itself, not by the rule that skips names with a dot first or second.
const QList<QByteArray> hostileNames{
    "x/../../evil.exe", "sub/../../x", "sub\\..\\x", "evil:stream", "C:x", "CON",
    "com1.log",         "ab.",         "ab ",        "bell\x07"};
// The form a name takes in a log line.
QString logged(const QByteArray &name) {
    return QString::fromUtf8(name).replace("\x07", "\\x07");
}

} // namespace

class SafetyTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work; // working folder: the log file lands here
    QString logText() const { return QString::fromUtf8(readFileOrEmpty(work.filePath("LogFile.log"))); }

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
        QVERIFY(QDir::setCurrent(work.path()));
        useTestSettings();
        // The progress window would otherwise add the runtime component to every run.
        settings()->setValue("MSVC/Inst", true);
    }
    void init() {
        QFile::remove(work.filePath("LogFile.log"));
        setSessionTimeoutsForTesting(0, 0);
        for (const QString &name : updatableComponents())
            settings()->setValue("Path/" + name, "");
    }

    // A server with another key than the pinned one is refused before the password is sent: the
    // check reports "Error Connect", the install run its connection failure, nothing arrives.
    void changedHostKeyStopsCheckAndInstallBeforeAnything() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Meter/meter.exe", "from the impostor"));
        AsyncsshServer impostor(tree.path());
        QVERIFY2(impostor.isRunning(), qPrintable(impostor.errorText()));
        pointSettingsAt(impostor);
        const QString pinned = "SHA256:pinnedkeyofthemakerpinnedkeyofthemaker000";
        settings()->setValue("SFTP/HostKey", pinned);
        // A wrong password would add an authentication line if the password were ever tried.
        settings()->setValue("SFTP/Pswd", "wrong");

        QTemporaryDir installed;
        settings()->setValue("Path/Brightfen Meter", installed.path());
        QVERIFY(writeTestFile(installed.filePath("meter.exe"), "installed"));
        QHash<QString, QString> found;
        UpdateChecker checker(&found);
        checker.Checking_Updates_On_Server();
        QCOMPARE(found, (QHash<QString, QString>{{"Error Connect", "Error"}}));

        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Meter"] = true;
        Downloader downloader(context.get());
        const RunResult run = runDownloader(downloader, true);
        QVERIFY(run.ended);
        QCOMPARE(run.ends, QStringList{"error connection"});
        QVERIFY(filesBelow(target.path()).isEmpty());

        const QStringList lines = logText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2); // one per connection attempt, nothing else
        for (const QString &line : lines) {
            QVERIFY2(line.contains("Error host key - "), qPrintable(line));
            QVERIFY(line.contains(pinned) && line.contains(impostor.fingerprint()));
        }
        QCOMPARE(settings()->value("SFTP/HostKey").toString(), pinned);
        QCOMPARE(readFileOrEmpty(installed.filePath("meter.exe")), QByteArray("installed"));
    }

    // The machine's ssh configuration cannot redirect or break the connection: the client runs
    // in a mount namespace whose /etc/ssh/ssh_config sends every host elsewhere, through a failing
    // proxy, with a key exchange the server does not offer.
    void machineSshConfigurationIsIgnored() {
#ifndef Q_OS_UNIX
        QSKIP("replacing the system ssh configuration needs a Linux mount namespace");
#else
        const QString cli = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");
        if (geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
            QSKIP(
                "replacing the system ssh configuration in a private mount namespace needs root and unshare");
        if (!QFile::exists(cli))
            QSKIP("build the quillon-cli target first");
        QTemporaryDir tree;
        QTemporaryDir installed;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Meter/meter.exe", "same"));
        QVERIFY(writeTestFile(installed.filePath("meter.exe"), "same"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settings()->setValue("Path/Brightfen Meter", installed.path());
        QTemporaryDir own;
        const QString config = own.filePath("ssh_config");
        QVERIFY(writeTestFile(config, "Host *\n    Hostname 192.0.2.1\n    ProxyCommand /bin/false\n"
                                      "    KexAlgorithms diffie-hellman-group1-sha1\n"));

        QProcess child;
        child.setWorkingDirectory(work.path());
        child.start("unshare",
                    {"--mount", "--propagation", "private", "/bin/sh", "-c",
                     "mount --bind \"$1\" /etc/ssh/ssh_config && exec \"$2\" --settings \"$3\" check", "sh",
                     config, cli, useTestSettings()});
        QVERIFY(child.waitForFinished(60000));
        const QString errors = QString::fromUtf8(child.readAllStandardError());
        if (errors.contains("mount:") || errors.contains("unshare:"))
            QSKIP(qPrintable("no private mount namespace here: " + errors));
        QCOMPARE(child.exitCode(), 0); // reached the server: nothing to update
        QVERIFY2(!logText().contains("Error ssh conect - "), qPrintable(logText()));
#endif
    }

    // Names that the skip rule lets through but that could reach outside their folder, open a
    // device or an alternate stream on Windows, are refused by the check and by both runs, one
    // log line each; a server file reached through "x/../../evil.exe" never lands anywhere.
    void hostileNamesAreRefusedByCheckerAndDownloader() {
        QTemporaryDir tree;
        const QString folder = serverRoot + "Brightfen Radio Setup";
        QVERIFY(writeTestFile(tree.path() + folder + "/good.bin", "good"));
        // What the traversal names resolve to on the server, so an unchecked client would get data.
        QVERIFY(writeTestFile(tree.path() + serverRoot + "evil.exe", "payload"));
        QVERIFY(writeTestFile(tree.path() + "/upload/Softwares/x", "payload"));
        QStringList switches;
        for (const QByteArray &name : hostileNames)
            switches << "--extra-entry" << folder + "|" + QString::fromUtf8(name) + "|7";
        // Caught by the skip rule before any name check: listed, but never fetched or compared.
        for (const char *name : {"../evil.exe", "a."})
            switches << "--extra-entry" << folder + "|" + name + "|7";
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        // The check: only the real file is an update; every hostile name gets its own line.
        QTemporaryDir installed;
        const QString local = installed.filePath("base/Brightfen Radio Setup");
        QVERIFY(QDir().mkpath(local));
        QVERIFY(writeTestFile(local + "/readme.txt", "local only"));
        settings()->setValue("Path/Brightfen Radio Setup", local);
        QHash<QString, QString> found;
        UpdateChecker checker(&found);
        checker.Checking_Updates_On_Server();
        QCOMPARE(found, (QHash<QString, QString>{{local + "/good.bin", folder + "/good.bin|4"}}));
        QString log = logText();
        QCOMPARE(log.count("Unsafe name refused - "), hostileNames.size());
        for (const QByteArray &name : hostileNames)
            QVERIFY2(log.contains("Unsafe name refused - " + folder + "/" + logged(name) + " ("), name);
        QFile::remove(work.filePath("LogFile.log"));

        // The install run: only good.bin arrives, nothing lands beside or above the install folder.
        QTemporaryDir target;
        auto context = newInstallContext(target.filePath("base"));
        context->selectedLoRa["Brightfen Radio Setup"] = true;
        Downloader downloader(context.get());
        const RunResult run = runDownloader(downloader, true);
        QVERIFY(run.ended);
        QCOMPARE(run.ends, QStringList{"finished install"});
        QCOMPARE(filesBelow(target.path()), QStringList{"base/LoRa/Brightfen Radio Setup/good.bin"});
        log = logText();
        QCOMPARE(log.count("Refused file name from the server - "), hostileNames.size());
        for (const QByteArray &name : hostileNames)
            QVERIFY2(
                log.contains("Refused file name from the server - " + folder + "/" + logged(name) + " ("),
                name);
        QCOMPARE(downloader.failedFileCount(), hostileNames.size());
    }

    // A full disk in the middle of a file leaves the installed file as it was and no temporary
    // file; one log line says so and the run goes on to its end (install and update runs alike).
    void fullDiskKeepsThePreviousFile() {
#ifndef Q_OS_UNIX
        QSKIP("a size-limited disk is made with a Linux tmpfs");
#else
        if (geteuid() != 0)
            QSKIP("a size-limited tmpfs needs root");
        QTemporaryDir tree;
        const QByteArray big = randomTestBytes(3 << 20);
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Bridge/bridge.exe", big));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Bridge/small.txt", "fits"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir disk;
        if (mount("tmpfs", qPrintable(disk.path()), "tmpfs", 0, "size=1m") != 0)
            QSKIP("cannot mount a tmpfs here");
        auto unmount = qScopeGuard([&disk] { umount2(qPrintable(disk.path()), MNT_DETACH); });
        const QString folder = disk.path() + "/LoRa/Brightfen Bridge";
        const QByteArray previous = "the installed bridge, which must survive";
        QVERIFY(writeTestFile(folder + "/bridge.exe", previous));

        auto context = newInstallContext(disk.path());
        context->selectedLoRa["Brightfen Bridge"] = true;
        Downloader installer(context.get());
        const RunResult install = runDownloader(installer, true);
        QVERIFY(install.ended);
        QCOMPARE(install.ends, QStringList{"finished install"});
        QCOMPARE(readFileOrEmpty(folder + "/bridge.exe"), previous);
        QCOMPARE(readFileOrEmpty(folder + "/small.txt"), QByteArray("fits"));
        QCOMPARE(filesBelow(disk.path()),
                 QStringList({"LoRa/Brightfen Bridge/bridge.exe", "LoRa/Brightfen Bridge/small.txt"}));
        QCOMPARE(logText().count('\n'), 1);
        QVERIFY2(logText().contains("Error write remote file - "), qPrintable(logText()));
        QCOMPARE(installer.failedFileCount(), 1);

        QFile::remove(work.filePath("LogFile.log"));
        settings()->setValue("Path/Brightfen Bridge", folder);
        const QString key = folder + "/bridge.exe";
        QHash<QString, QString> pending{
            {key, serverRoot + "Brightfen Bridge/bridge.exe|" + QString::number(big.size())}};
        Downloader updater({{key, true}}, &pending);
        const RunResult update = runDownloader(updater, false);
        QVERIFY(update.ended);
        QCOMPARE(update.ends, QStringList{"finish update"});
        QCOMPARE(readFileOrEmpty(key), previous);
        QCOMPARE(filesBelow(folder), QStringList({"bridge.exe", "small.txt"}));
        QCOMPARE(logText().count('\n'), 1);
        QVERIFY(logText().contains("Error write remote file - "));
#endif
    }

    // A server that stops answering in the middle of a file: the install run ends as a
    // connection failure (so the window retries), the old file stays, nothing is recorded,
    // and one log line names the time-out.
    void stalledServerEndsTheInstallRunAsAConnectionFailure() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/sniffer.exe",
                              randomTestBytes(1000000)));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Meter/meter.exe", "not reached"));
        AsyncsshServer server(tree.path(), {"--stall-after", "300000"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 700);

        QTemporaryDir target;
        const QString folder = target.path() + "/LoRa/Brightfen Sniffer";
        QVERIFY(writeTestFile(folder + "/sniffer.exe", "installed sniffer"));
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Sniffer"] = true;
        context->selectedNbIot["Brightfen Meter"] = true;
        Downloader downloader(context.get());
        const RunResult run = runDownloader(downloader, true, 30000);
        QVERIFY(run.ended);
        QCOMPARE(run.ends, QStringList{"error connection"});
        QVERIFY(run.recorded.isEmpty());
        QCOMPARE(readFileOrEmpty(folder + "/sniffer.exe"), QByteArray("installed sniffer"));
        QCOMPARE(filesBelow(target.path()), QStringList{"LoRa/Brightfen Sniffer/sniffer.exe"});
        QCOMPARE(logText().count("Error server timeout - "), 1);
    }

    // A server that stops answering while a component's folder is listed ends the run the same way.
    void stalledListingEndsTheInstallRunAsAConnectionFailure() {
        QTemporaryDir tree;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/sub/sniffer.exe", "new"));
        AsyncsshServer server(tree.path(), {"--stall-listing", "Brightfen Sniffer/sub$"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 700);

        QTemporaryDir target;
        auto context = newInstallContext(target.path());
        context->selectedLoRa["Brightfen Sniffer"] = true;
        Downloader downloader(context.get());
        const RunResult run = runDownloader(downloader, true, 30000);
        QVERIFY(run.ended);
        QCOMPARE(run.ends, QStringList{"error connection"});
        QVERIFY(run.recorded.isEmpty());
        QCOMPARE(logText().count("Error server timeout - "), 1);
    }

    // The same stall under the progress window: its retry gets a server that answers, and the
    // run then installs the new file.
    void stalledInstallIsRetriedByTheProgressWindow() {
        QTemporaryDir tree;
        const QByteArray fresh = randomTestBytes(1000000);
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/sniffer.exe", fresh));
        AsyncsshServer server(tree.path(), {"--stall-after", "300000", "--faults-once"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 700);
        settings()->setValue("Path/Brightfen Sniffer", QString());

        QTemporaryDir local;
        QVERIFY(writeTestFile(local.filePath("Brightfen Sniffer/sniffer.exe"), "installed sniffer"));
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Sniffer", true);
        context.groupFolders["LoRa"] = local.path();
        auto *window = new ProgressBarWindow(&context);
        QSignalSpy teardown(window, &ProgressBarWindow::Delete_Install_Window);
        BoxAnswerer boxes;
        window->Show();
        QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 30000);
        QCOMPARE(boxes.titles, QStringList{"Complete!"});
        QCOMPARE(readFileOrEmpty(local.filePath("Brightfen Sniffer/sniffer.exe")), fresh);
        QCOMPARE(filesBelow(local.path()), QStringList{"Brightfen Sniffer/sniffer.exe"});
        QCOMPARE(settings()->value("Path/Brightfen Sniffer").toString(), local.filePath("Brightfen Sniffer"));
        QCOMPARE(logText().count("Error server timeout - "), 1);
        delete window;
    }

    // A server that drops every connection after half of a file: each retry of the progress window
    // goes on from where the last one stopped, so a later attempt completes the file (starting
    // again from zero, every attempt would fail and the window would give up).
    void progressWindowRetriesGoOnFromWhereTheCutLeftOff() {
        QTemporaryDir tree;
        const QByteArray fresh = randomTestBytes(6 * 1024 * 1024);
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/sniffer.bin", fresh));
        AsyncsshServer server(tree.path(), {"--drop-after", QString::number(fresh.size() / 2)});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        QTemporaryDir local;
        QVERIFY(writeTestFile(local.filePath("Brightfen Sniffer/sniffer.bin"), "installed sniffer"));
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Sniffer", true);
        context.groupFolders["LoRa"] = local.path();
        auto *window = new ProgressBarWindow(&context);
        QSignalSpy teardown(window, &ProgressBarWindow::Delete_Install_Window);
        BoxAnswerer boxes;
        window->Show();
        QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 60000);
        QCOMPARE(boxes.titles, QStringList{"Complete!"});
        QCOMPARE(QCryptographicHash::hash(readFileOrEmpty(local.filePath("Brightfen Sniffer/sniffer.bin")),
                                          QCryptographicHash::Md5),
                 QCryptographicHash::hash(fresh, QCryptographicHash::Md5));
        QCOMPARE(filesBelow(local.path()), QStringList{"Brightfen Sniffer/sniffer.bin"});
        delete window;
    }

    // Cancel in the progress window, or closing the wizard, while a large file is half fetched
    // over an installed one: the run stops, the installed file keeps its bytes, and the
    // temporary file is gone.
    void cancelOrCloseMidFileKeepsTheInstalledFile_data() {
        QTest::addColumn<bool>("closeWizard");
        QTest::newRow("cancel") << false;
        QTest::newRow("close") << true;
    }
    void cancelOrCloseMidFileKeepsTheInstalledFile() {
        QFETCH(bool, closeWizard);
        QTemporaryDir tree;
        QVERIFY(
            writeTestFile(tree.path() + serverRoot + "Brightfen Sniffer/big.bin", QByteArray(40 << 20, 's')));
        AsyncsshServer server(tree.path(), {"--max-read", "4096"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settings()->setValue("Path/Brightfen Sniffer", QString());

        QTemporaryDir local;
        const QString folder = local.filePath("Brightfen Sniffer");
        const QByteArray previous = randomTestBytes(100000);
        QVERIFY(writeTestFile(folder + "/big.bin", previous));
        auto context = std::make_unique<InstallContext>();
        context->selectedLoRa.insert("Brightfen Sniffer", true);
        context->groupFolders["LoRa"] = local.path();
        InstallWizard wizard = buildInstallWizard(context.get());
        int teardowns = 0;
        struct Controller : QObject {
            InstallWizard parts;
            int *count = nullptr;
            void finish() {
                if (++*count == 1)
                    destroyInstallWizard(parts);
            }
        } controller;
        controller.parts = wizard;
        controller.count = &teardowns;
        connectInstallWizardTeardown(wizard, &controller, &Controller::finish);
        BoxAnswerer boxes;
        wizard.container->show();
        wizard.progressPage->Show();
        QPointer<QThread> thread = wizard.progressPage->runThread();
        QPointer<QWidget> page = wizard.progressPage;
        QVERIFY(thread);
        // Mid-file: the temporary file beside the target is open and has data in it.
        QTRY_VERIFY_WITH_TIMEOUT(openFileSizeIn(folder) > 0, 20000);
        QVERIFY(openFileSizeIn(folder) < (40 << 20));

        if (closeWizard)
            wizard.container->close();
        else
            QTest::mousePress(wizard.progressPage->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);
        // Cancel closes the wizard once the run has stopped, with the event loop going on meanwhile.
        QTRY_COMPARE(teardowns, 1);
        QTRY_VERIFY(page.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
        QTest::qWait(100);
        QVERIFY(boxes.titles.isEmpty());
        QCOMPARE(readFileOrEmpty(folder + "/big.bin"), previous);
        // What arrived stays beside the installed file for a later run: the beginning of the server's file.
        const QStringList kept = partialsOf(folder + "/big.bin");
        QCOMPARE(kept.size(), 1);
        QVERIFY(QByteArray(40 << 20, 's').startsWith(readFileOrEmpty(kept.first())));
        QCOMPARE(filesBelow(folder), QStringList({"big.bin", QFileInfo(kept.first()).fileName()}));
        QCOMPARE(openFileSizeIn(folder), qint64(-1));
        QCOMPARE(settings()->value("Path/Brightfen Sniffer").toString(), QString());
    }

    // Ticks of the check timer during a slow check start no second checker: never more connections
    // than one check opens, one update list; ticks while the list exists wait, and the next tick after it
    // closed checks at once.
    void ticksDuringASlowCheckStartNoSecondChecker() {
        QTemporaryDir tree;
        QTemporaryDir installed;
        const QString remote = serverRoot + "Brightfen Meter/";
        for (const char *name : {"one.dll", "two.dll", "three.dll", "four.dll"}) {
            QVERIFY(writeTestFile(tree.path() + remote + name, name));
            QVERIFY(writeTestFile(installed.filePath(name), name));
        }
        QVERIFY(writeTestFile(tree.path() + remote + "fresh.dll", "new on the server"));
        AsyncsshServer server(tree.path(), {"--open-delay-ms", "300"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settings()->setValue("Path/Brightfen Meter", installed.path());
        settings()->setValue("Timer/Timeout", 1);

        MainTrayIcon tray;
        auto updateLists = [] {
            int count = 0;
            for (QWidget *widget : QApplication::topLevelWidgets())
                count += qobject_cast<ListAvailableUpdater *>(widget) ? 1 : 0;
            return count;
        };
        QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
        QVERIFY(tray.checkRunning());
        int ticks = 0;
        int mostConnections = 0;
        while (tray.checkRunning()) {
            QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
            ++ticks;
            mostConnections = qMax(mostConnections, openConnectionsTo(server.port()));
            QTest::qWait(20);
            QVERIFY(ticks < 2000);
        }
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks))); // many ticks fell inside the one check
        // One check holds at most four sessions; a checker per tick would hold dozens.
        QVERIFY2(mostConnections >= 1 && mostConnections <= 4, qPrintable(QString::number(mostConnections)));
        QTRY_COMPARE(openConnectionsTo(server.port()), 0);
        QVERIFY(tray.updateListWindow());
        QCOMPARE(updateLists(), 1);
        QCOMPARE(tray.lastBalloonText(),
                 russian() ? QString("Доступны обновления") : QString("Updates are available"));
        QVERIFY(tray.daysLeft() <= 0); // the skipped ticks leave the check due

        for (int i = 0; i < 5; ++i)
            QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
        QVERIFY(!tray.checkRunning());
        QCOMPARE(openConnectionsTo(server.port()), 0);

        QVERIFY(QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
        QVERIFY(tray.checkRunning());
        QCOMPARE(tray.daysLeft(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        QCOMPARE(updateLists(), 1);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // A check whose server stops answering mid-file ends as a failed connection in the tray.
    void stalledCheckReportsFailedToJoinTheServer() {
        QTemporaryDir tree;
        QTemporaryDir installed;
        const QByteArray content = randomTestBytes(500000);
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Decoder/decoder.exe", content));
        QVERIFY(writeTestFile(installed.filePath("decoder.exe"), content));
        AsyncsshServer server(tree.path(), {"--stall-after", "200000"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settings()->setValue("Path/Brightfen Decoder", installed.path());
        setSessionTimeoutsForTesting(5000, 700);

        MainTrayIcon tray;
        tray.checkAction()->trigger();
        QVERIFY(tray.checkRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        QCOMPARE(tray.lastBalloonText(), russian() ? QString("Не удалось присоединиться к серверу")
                                                   : QString("Failed to join the server"));
        QVERIFY(!tray.updateListWindow());
        QVERIFY(tray.checkAction()->isEnabled());
        QCOMPARE(logText().count("Error server timeout - "), 1);
    }
};

QUILLON_TEST_MAIN(SafetyTest)
#include "tst_safety.moc"
