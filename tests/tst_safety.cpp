// A failing server, a full disk and a busy user against the whole program: refused and stalled connections,
// retries and Cancel in the progress window, timer ticks during a slow check, the machine's ssh
// configuration.

#include "support/BoxAnswerer.h"
#include "support/DownloaderRun.h"
#include "support/TestMain.h"

#include "app/MainTrayIcon.h"
#include "transfer/sftp/SftpSession.h"
#include "ui/ListAvailableUpdater.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

// Client connections to this port open now, from the kernel's socket table. The table is read in pieces
// while sockets come and go, which can list one socket twice: each counts once, by its inode.
int openConnectionsTo(int port) {
    QFile table("/proc/net/tcp");
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QString remote = QString(":%1").arg(port, 4, 16, QChar('0')).toUpper();
    QSet<QString> sockets;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QStringList fields = QString::fromLatin1(line).simplified().split(' ');
        if (fields.size() > 9 && fields.at(2).endsWith(remote) && fields.at(3) == "01")
            sockets.insert(fields.at(9));
    }
    return int(sockets.size());
}

// Whether this process holds a file in the folder open: its descriptors say so on Linux (an unnamed file
// counts); Windows refuses to rename a file that is open.
bool holdsFileOpenIn(const QString &folder) {
#ifdef Q_OS_UNIX
    for (const QFileInfo &descriptor : QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System))
        if (descriptor.symLinkTarget().startsWith(folder + "/"))
            return true;
#else
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files)) {
        if (!QFile::rename(file.filePath(), file.filePath() + "~"))
            return true;
        QFile::rename(file.filePath() + "~", file.filePath());
    }
#endif
    return false;
}

} // namespace

class SafetyTest : public QObject {
    Q_OBJECT
    QTemporaryDir work; // working folder: the log file lands here

private slots:
    void initTestCase() {
        QVERIFY(QDir::setCurrent(work.path()));
        useTestSettings();
        // The progress window would otherwise add the runtime component to every run.
        settingsStore()->setValue("MSVC/Inst", true);
    }
    void init() {
        QFile::remove("LogFile.log");
        setSessionTimeoutsForTesting(0, 0);
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, "");
    }

    // A run that cannot open its session (nothing listens, the login is refused, or the server shows another
    // key than the pinned one, refused before the password is sent) says so and nothing else; a server that
    // stops answering mid-file or mid-listing ends it the same way; a full disk ends the file, not the run.
    // The installed file keeps its bytes, nothing is recorded, and one log line says why. A check meets them
    // alike.
    void failureKeepsTheInstalledFile_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<bool>("update");
        QTest::newRow("unreachable, install") << "unreachable" << QStringList() << false;
        QTest::newRow("unreachable, update") << "unreachable" << QStringList() << true;
        QTest::newRow("changed host key") << "changed key" << QStringList() << false;
        QTest::newRow("refused login") << "refused login" << QStringList() << false;
        QTest::newRow("stalled mid-file") << "" << QStringList{"--stall-after", "300000"} << false;
        QTest::newRow("stalled listing")
            << "" << QStringList{"--stall-listing", "Brightfen Meter/sub$"} << false;
        QTest::newRow("full disk, install") << "full disk" << QStringList() << false;
        QTest::newRow("full disk, update") << "full disk" << QStringList() << true;
    }
    void failureKeepsTheInstalledFile() {
        const QString pinnedKey = "SHA256:pinnedkeyofthemakerpinnedkeyofthemaker000";
        QFETCH(QString, fault);
        QFETCH(QStringList, switches);
        QFETCH(bool, update);
        QString end = "error connection";
        if (fault == "full disk")
            end = update ? "finish update" : "finished install";
        QTemporaryDir tree, target;
#ifdef Q_OS_UNIX
        const bool mounted = fault == "full disk" && geteuid() == 0 &&
                             mount("tmpfs", qPrintable(target.path()), "tmpfs", 0, "size=512k") == 0;
        auto unmount = qScopeGuard([&] {
            if (mounted)
                umount2(qPrintable(target.path()), MNT_DETACH);
        });
#else
        const bool mounted = false;
#endif
        if (fault == "full disk" && !mounted)
            QSKIP("a size-limited disk is a Linux tmpfs, which needs root");
        const auto server = serveFiles(tree,
                                       {{"Brightfen Sniffer/sniffer.exe", randomTestBytes(1000000)},
                                        {"Brightfen Meter/sub/meter.exe", "fits"}},
                                       switches);
        QVERIFY(server);
        setSessionTimeoutsForTesting(5000, 1500); // a silent server is given up after 1.5 s
        if (fault == "unreachable")
            settingsStore()->setValue("SFTP/port", 1);
        if (fault == "changed key")
            settingsStore()->setValue("SFTP/HostKey", pinnedKey);
        if (fault == "changed key" || fault == "refused login")
            settingsStore()->setValue("SFTP/Pswd", "wrong"); // with a changed key: a line if it were sent
        const QString sniffer = target.filePath("LoRa/Brightfen Sniffer/sniffer.exe");
        QVERIFY(installComponent("Brightfen Sniffer", QFileInfo(sniffer).path(),
                                 {{"sniffer.exe", "the installed sniffer"}}));
        QHash<QString, QString> pending{{sniffer, componentsRoot + "Brightfen Sniffer/sniffer.exe|1000000"}};
        const RunResult run =
            update ? updateRun(&pending, {}, 30000)
                   : installRun(target.path(), {"Brightfen Sniffer", "NB-IoT:Brightfen Meter"}, 30000);
        QCOMPARE(run.events.last(), end);
        if (fault == "unreachable" || fault == "changed key" || fault == "refused login")
            QCOMPARE(run.events, QStringList{end});
        if (end == "error connection")
            QVERIFY(run.matching("path ").isEmpty());
        QCOMPARE(readTestFile(sniffer), QByteArray("the installed sniffer"));
        QStringList landed{"LoRa/Brightfen Sniffer/sniffer.exe"};
        if (end == "finished install")
            landed << "NB-IoT/Brightfen Meter/sub/meter.exe"; // the run goes on after a file that failed
        QCOMPARE(filesBelow(target.path()), landed);
        const int lines = logFileLines().size();
        QCOMPARE(lines, switches.contains("--stall-after") ? 2 : 1);
        if (fault == "full disk")
            QCOMPARE(run.failed, 1);
        if (update || fault == "full disk" || switches.contains("--stall-listing"))
            return;
        // The check meets the same server the same way: it compares nothing and logs as much again.
        QCOMPARE(checkFound(), (QHash<QString, QString>{{"Error Connect", "Error"}}));
        QCOMPARE(logFileLines().size(), 2 * lines);
        if (fault == "changed key") {
            for (const QString &line : logFileLines())
                QVERIFY(line.contains(pinnedKey) && line.contains(server->fingerprint()));
            QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), pinnedKey);
        }
    }

    // The progress page in its wizard over an installed file. It retries a run that lost its server: after a
    // stall, once, the retry finds a server that answers; a cut in every connection after 45 % of the file is
    // taken up where it stopped each time, so the third attempt completes it (from zero, each would fail).
    // Cancel, or closing the wizard, mid-file stops the run: the installed file keeps its bytes, and what
    // arrived stays beside it, closed, for a later run.
    void progressPageEndsWithAWholeFileOrTheInstalledOne_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<QString>("stop"); // how the user stops the run mid-file, if at all
        QTest::addColumn<int>("logged");   // lines of failed attempts
        const QStringList stall{"--stall-after", "300000", "--faults-once"}, slow{"--max-read", "4096"};
        const QString cutAt = QString::number((6 << 20) * 45 / 100);
        QTest::newRow("stalled once") << 1000000 << stall << "" << 2;
        QTest::newRow("cut every time") << (6 << 20) << QStringList{"--drop-after", cutAt} << "" << 2;
        QTest::newRow("cancel") << (40 << 20) << slow + QStringList{"--open-delay-ms", "3"} << "cancel" << 0;
        QTest::newRow("close") << (40 << 20) << slow << "close" << 0;
    }
    void progressPageEndsWithAWholeFileOrTheInstalledOne() {
        QFETCH(int, size);
        QFETCH(QStringList, switches);
        QFETCH(QString, stop);
        QFETCH(int, logged);
        QTemporaryDir tree, local;
        const QByteArray served = stop.isEmpty() ? randomTestBytes(size) : QByteArray(size, 's');
        // One driver comes after it: its installer (which cannot start) is run all the same.
        const auto server =
            serveFiles(tree, {{"Brightfen Sniffer/big.bin", served}, {"CP210x/setup.exe", "n"}}, switches);
        QVERIFY(server);
        if (switches.contains("--stall-after"))
            setSessionTimeoutsForTesting(5000, 1500);
        const QString folder = local.filePath("LoRa/Brightfen Sniffer"), target = folder + "/big.bin";
        const QByteArray previous = randomTestBytes(100000);
        QVERIFY(writeTestFile(target, previous));
        auto context = newInstallContext(local.path());
        context->selectedLoRa.insert("Brightfen Sniffer", true);
        context->selectedDrivers.insert("CP210x", true);
        WizardHarness wizard(context.get());
        BoxAnswerer boxes({QMessageBox::Ok});
        wizard.parts.container->show();
        wizard.parts.progressPage->Show();
        QPointer<QThread> thread = wizard.parts.progressPage->runThread();
        QPointer<QWidget> page = wizard.parts.progressPage;
        QVERIFY(thread);
        if (!stop.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partialsOf(target).value(0)).size() > 0, 20000);
            if (stop == "close")
                wizard.parts.container->close();
            else
                QTest::mousePress(page->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);
        }
        // Cancel closes the wizard once the run has stopped, with the event loop going on meanwhile.
        QTRY_COMPARE_WITH_TIMEOUT(wizard.teardowns, 1, 60000);
        QTRY_VERIFY(page.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
        QTest::qWait(100);
        QCOMPARE(boxes.seen.size(), stop.isEmpty() ? 1 : 0); // the completion box
        QVERIFY(readTestFile(target) == (stop.isEmpty() ? served : previous));
        QCOMPARE(settingsStore()->value("Path/Brightfen Sniffer").toString(),
                 stop.isEmpty() ? folder : QString());
        // And one for the installer that cannot start, run after a complete download.
        QVERIFY2(logFileLines().size() == logged + stop.isEmpty(), qPrintable(logFileLines().join('\n')));
        QVERIFY(!holdsFileOpenIn(folder) && !QFileInfo::exists(local.filePath("Drivers")));
        const QStringList kept = partialsOf(target);
        QCOMPARE(kept.size(), stop.isEmpty() ? 0 : 1);
        QVERIFY(kept.isEmpty() || served.startsWith(readTestFile(kept[0])));
        QCOMPARE(filesBelow(folder).size(), 1 + kept.size()); // the file and what arrived, nothing else
    }

    // Ticks of the check timer during a slow check start no second checker: never more connections than one
    // check opens, one update list; ticks while the list exists wait, the check due, and the next tick after
    // it closed checks at once.
    void ticksDuringASlowCheckStartNoSecondChecker() {
        QTemporaryDir tree, installed;
        QMap<QString, QByteArray> files{{"Brightfen Meter/fresh.dll", "new on the server"}};
        for (const char *name : {"one.dll", "two.dll", "three.dll", "four.dll"}) {
            files.insert("Brightfen Meter/" + QString(name), name);
            QVERIFY(writeTestFile(installed.filePath(name), name));
        }
        const auto server = serveFiles(tree, files, {"--open-delay-ms", "300"});
        QVERIFY(server);
        settingsStore()->setValue("Path/Brightfen Meter", installed.path());
        settingsStore()->setValue("Timer/Timeout", 1);
        MainTrayIcon tray;
        const auto tick = [&tray] { return QMetaObject::invokeMethod(&tray, "Timer_Counting"); };
        const auto closeList = [&tray] {
            QVERIFY(QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        };
        const auto updateLists = [] {
            int lists = 0;
            for (QWidget *window : QApplication::topLevelWidgets())
                lists += qobject_cast<ListAvailableUpdater *>(window) != nullptr;
            return lists;
        };
        QVERIFY(tick() && tray.checkRunning());
        int ticks = 0, mostConnections = 0;
        for (; tray.checkRunning() && ticks < 2000; ++ticks) {
            QVERIFY(tick());
            mostConnections = qMax(mostConnections, openConnectionsTo(server->port()));
            QTest::qWait(20);
        }
        QVERIFY2(ticks >= 5 && ticks < 2000,
                 qPrintable(QString::number(ticks))); // many fell inside the check
        // One check holds at most four sessions; a checker per tick would hold dozens.
        QVERIFY2(mostConnections >= 1 && mostConnections <= 4, qPrintable(QString::number(mostConnections)));
        QTRY_COMPARE(openConnectionsTo(server->port()), 0);
        QVERIFY(tray.updateListWindow());
        QCOMPARE(updateLists(), 1);
        QVERIFY(tray.daysLeft() <= 0); // the skipped ticks leave the check due

        for (int i = 0; i < 5; ++i)
            QVERIFY(tick());
        QVERIFY(!tray.checkRunning() && tray.daysLeft() <= 0); // while the list is open: still due
        closeList();
        QVERIFY(tick() && tray.checkRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        closeList();
    }

    // The machine's ssh configuration cannot redirect or break the connection: the client runs in a mount
    // namespace whose /etc/ssh/ssh_config sends every host elsewhere, through a failing proxy, with a key
    // exchange the server does not offer.
    void machineSshConfigurationIsIgnored() {
#ifndef Q_OS_UNIX
        QSKIP("replacing the system ssh configuration needs a Linux mount namespace");
#else
        const QString cli = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");
        if (geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty() || !QFile::exists(cli))
            QSKIP("needs root, unshare and the quillon-cli target");
        QTemporaryDir tree, installed;
        const auto server = serveFiles(tree, {{"Brightfen Meter/meter.exe", "same"}});
        QVERIFY(server && writeTestFile(installed.filePath("meter.exe"), "same"));
        settingsStore()->setValue("Path/Brightfen Meter", installed.path());
        const QString config = installed.filePath("ssh_config");
        QVERIFY(writeTestFile(config, "Host *\n    Hostname 192.0.2.1\n    ProxyCommand /bin/false\n"
                                      "    KexAlgorithms diffie-hellman-group1-sha1\n"));
        QProcess child;
        child.start("unshare",
                    {"--mount", "--propagation", "private", "/bin/sh", "-c",
                     "mount --bind \"$1\" /etc/ssh/ssh_config && exec \"$2\" --settings \"$3\" check", "sh",
                     config, cli, useTestSettings()});
        QVERIFY(child.waitForFinished(60000));
        const QString errors = QString::fromUtf8(child.readAllStandardError());
        if (errors.contains("mount:") || errors.contains("unshare:"))
            QSKIP(qPrintable("no private mount namespace here: " + errors));
        QCOMPARE(child.exitCode(), 0); // reached the server: nothing to update
        QVERIFY2(logFileLines().filter("Error ssh conect - ").isEmpty(),
                 qPrintable(logFileLines().join('\n')));
#endif
    }
};

QUILLON_TEST_MAIN(SafetyTest)
#include "tst_safety.moc"
