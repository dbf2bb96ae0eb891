// The tray controller against a real SFTP server, and its windows: progress, about, welcome. What the
// windows say in each language is tst_windows' language run.

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/PublisherKeys.h"
#include "support/Scenario.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "ui/AboutWindow.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"
#include "ui/WelcomeWindow.h"

#include <QtTest>
#include <QtWidgets>

namespace {
QStringList logRows(QWidget *window) {
    return qobject_cast<QStringListModel *>(window->findChild<QListView *>("logView")->model())->stringList();
}
// Runs the application's own event loop as the program does; the result is what ended it (42: the test).
int runEventLoopAfter(const std::function<void()> &action, int giveUpMsec) {
    QObject timers; // nothing of this run fires in a later one
    QTimer::singleShot(0, &timers, action);
    QTimer::singleShot(giveUpMsec, &timers, [] { QCoreApplication::exit(42); });
    return QApplication::exec();
}
QImage imageOf(const QIcon &icon) {
    return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
}
// The tray's picture; and whether its Install and Check entries are enabled.
bool shows(const MainTrayIcon &tray, const QString &picture, bool entriesEnabled) {
    return tray.pictureName() == picture &&
           imageOf(tray.trayIcon()->icon()) == imageOf(QIcon(QPixmap(picture))) &&
           tray.installAction()->isEnabled() == entriesEnabled &&
           tray.checkAction()->isEnabled() == entriesEnabled;
}
// Timer ticks; returns how many started a check, each waited for so that the next tick is not skipped.
int ticks(MainTrayIcon &tray, int count) {
    int started = 0;
    for (int i = 0; i < count; ++i) {
        QMetaObject::invokeMethod(&tray, "Timer_Counting");
        started += tray.checkRunning();
        (void)QTest::qWaitFor([&tray] { return !tray.checkRunning(); }, 20000);
    }
    return started;
}
QList<WelcomeWindow *> handedBack;
void selfDestroy(WelcomeWindow *window) { // as start-up does: destroyed later, from the event loop
    handedBack << window;
    window->deleteLater();
}
} // namespace

class TrayTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private:
    QTemporaryDir work;
    int closedPort = 0;
private slots:
    void initTestCase() {
        QApplication::setQuitOnLastWindowClosed(false);
        QDir::setCurrent(work.path()); // "LogFile.log" of failed checks goes here
        useTestSettings();
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        AsyncsshServer server(work.path()); // stopped below: its port then refuses connections at once
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        closedPort = server.port();
        server.stop();
        QVERIFY(imageOf(QIcon(":/TrayIcon.ico")) != imageOf(QIcon(":/SearchUpdate.ico"))); // tells them apart
    }
    void init() {
        settingsStore()->setValue("SFTP/port", closedPort);
        settingsStore()->setValue("Timer/Timeout", 1);
    }
    // A refused login is the check's own test (tst_updatechecker); here what the tray makes of the answers.
    void checkFromMenu_data() {
        QTest::addColumn<QByteArray>("installed"); // beside "build 6" on the server
        QTest::newRow("current") << QByteArray("build 6");
        QTest::newRow("newer") << QByteArray("build 5");
    }
    void checkFromMenu() {
        QFETCH(QByteArray, installed);
        QTemporaryDir serverTree, installedFolder;
        QVERIFY(installComponent("Brightfen Meter", installedFolder.path(), {{"meter.bin", installed}}));
        const auto server = serveFiles(serverTree, {{"Brightfen Meter/meter.bin", "build 6"}});
        QVERIFY(server);
        MainTrayIcon tray;
        QVERIFY(tray.trayIcon()->contextMenu() == tray.trayMenu() && tray.trayIcon()->isVisible());
        QVERIFY(tray.checkTimer()->interval() == 86400000 && tray.checkTimer()->isActive() &&
                !tray.checkTimer()->isSingleShot() && shows(tray, ":/TrayIcon.ico", true));
        // A failed check before leaves nothing behind for this one.
        settingsStore()->setValue("SFTP/port", closedPort);
        QCOMPARE(ticks(tray, 1), 1);
        const QString failed = tray.lastBalloonText();
        pointSettingsAt(*server);
        tray.checkAction()->trigger();
        QVERIFY(tray.checkRunning() && shows(tray, ":/SearchUpdate.ico", false));
        const QString checking = tray.lastBalloonText();
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        // Each outcome says its own: neither "checking" nor what the refused check said.
        QVERIFY(tray.lastBalloonText() != checking && tray.lastBalloonText() != failed && failed != checking);
        ListAvailableUpdater *list = tray.updateListWindow();
        QCOMPARE(!list, installed != "build 5");
        QVERIFY(shows(tray, list ? ":/Upload.ico" : ":/TrayIcon.ico", !list));
        if (!list)
            return;
        QTRY_VERIFY(list->isVisible());
        // While the list holds the map the menu starts no other check (ticks: tst_safety).
        QVERIFY(QMetaObject::invokeMethod(&tray, "Start_Check_Update_Soft") && !tray.checkRunning());
        // A double-click brings a hidden list back; other activations do nothing.
        list->hide();
        emit tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!list->isVisible());
        emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(list->isVisible());
        QPointer<ListAvailableUpdater> watched(list);
        QVERIFY(QMetaObject::invokeMethod(list, "Finish_Update"));
        QVERIFY(!tray.updateListWindow() && shows(tray, ":/TrayIcon.ico", true));
        QTRY_VERIFY(watched.isNull());
        emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!tray.updateListWindow());
    }

    void dayCountAndBusyTicks() {
        for (const QVariant &period : {QVariant(QString()), QVariant(1)}) { // absent or a day: every tick
            settingsStore()->setValue("Timer/Timeout", period);
            MainTrayIcon tray;
            QVERIFY(ticks(tray, 3) == 3 && tray.checkPeriod() == period.toInt() &&
                    tray.daysLeft() == period.toInt());
        }
        settingsStore()->setValue("Timer/Timeout", 7);
        MainTrayIcon tray;
        QVERIFY(tray.checkPeriod() == 7 && tray.daysLeft() == 7);
        QCOMPARE(ticks(tray, 6), 0);
        QCOMPARE(tray.daysLeft(), 1);
        tray.checkAction()->trigger(); // a check from the menu leaves the count alone
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        // {ticks, checks they start, days left after them}; a new period (3) starts the count afresh.
        for (const auto &[count, checks, left] : std::initializer_list<std::tuple<int, int, int>>{
                 {0, 0, 1}, {1, 1, 7}, {6, 0, 1}, {1, 1, 7}, {5, 0, 2}, {-3, 0, 3}, {2, 0, 1}, {1, 1, 3}}) {
            if (count < 0)
                QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, -count)));
            QCOMPARE(ticks(tray, count), checks);
            QCOMPARE(tray.daysLeft(), left);
        }
        // Due while the wizard is open: the check comes at the first tick after it closed.
        QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 1)));
        tray.Install_Software();
        QVERIFY(shows(tray, ":/TrayIcon.ico", false) && ticks(tray, 2) == 0 && tray.daysLeft() == -1);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish") &&
                shows(tray, ":/TrayIcon.ico", true));
        QVERIFY(ticks(tray, 1) == 1 && tray.daysLeft() == 1);
        // A tick while a check runs: tst_safety's ticksDuringASlowCheckStartNoSecondChecker.
    }

    void windowsAndExit() {
        MainTrayIcon tray;
        tray.installAction()->trigger();
        QPointer<StacketWidget> wizard = tray.installWindow();
        QVERIFY(wizard && wizard->isVisible());
        wizard->hide();
        tray.Install_Software(); // as the welcome window's start button would
        QVERIFY(tray.installWindow() == wizard && wizard->isVisible());
        wizard->close(); // the title-bar button
        QVERIFY(!tray.installWindow() && shows(tray, ":/TrayIcon.ico", true));
        QTRY_VERIFY(wizard.isNull());
        tray.Install_Software();
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish")); // asking twice is harmless
        QVERIFY(!tray.installWindow() && shows(tray, ":/TrayIcon.ico", true));
        tray.Show_Already_Running(); // with no window open: a balloon says so
        const QString running = tray.lastBalloonText();
        tray.Show_Start_Notice();
        const QString notice = tray.lastBalloonText();
        QVERIFY(!running.isEmpty() && !notice.isEmpty() && running != notice);
        // With a window open, a later start brings it to the front instead, even from the minimised state.
        // The about window's close button acts on its press, the title bar's closes it too.
        for (bool titleBar : {false, true}) {
            tray.aboutAction()->trigger();
            QPointer<AboutWindow> about(tray.aboutWindow());
            QVERIFY(about && about->isVisible() && !tray.aboutAction()->isEnabled());
            about->showMinimized();
            QWidget other;
            other.show();
            other.activateWindow();
            QTRY_COMPARE(QApplication::activeWindow(), &other);
            tray.Show_Already_Running();
            QVERIFY(!(about->windowState() & Qt::WindowMinimized) &&
                    tray.lastBalloonText() == notice); // none
            QTRY_COMPARE(QApplication::activeWindow(), about.data());
            if (titleBar)
                about->close();
            else
                QTest::mousePress(about->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
            QVERIFY(tray.aboutAction()->isEnabled() && !tray.aboutWindow() && tray.exitAction()->isEnabled());
            QTRY_VERIFY(about.isNull());
        }
        tray.settingsAction()->trigger();
        QPointer<SettingsWindow> settings(tray.settingsWindow());
        QVERIFY(settings && settings->isVisible() && !tray.settingsAction()->isEnabled());
        settings->close();
        QVERIFY(tray.settingsAction()->isEnabled() && !tray.settingsWindow());
        QTRY_VERIFY(settings.isNull());
        tray.settingsAction()->trigger(); // left open until the exit
        auto *period = tray.settingsWindow()->findChild<QComboBox *>("periodBox");
        period->setCurrentIndex(1); // another period than the stored one
        const auto askExit = [&tray] { tray.exitAction()->trigger(); };
        BoxAnswerer answerer({QMessageBox::No});
        QCOMPARE(runEventLoopAfter(askExit, 1000), 42); // ended by the test, not by the controller
        // Exit? Yes. Save the settings? Yes. The applied-settings notice: OK.
        for (auto answer : {QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok})
            answerer.queue(answer);
        QCOMPARE(runEventLoopAfter(askExit, 10000), 0);
        QCOMPARE(answerer.seen.size(), 4);
        const int saved = settingsStore()->value("Timer/Timeout").toInt();
        QVERIFY(saved > 1 && tray.checkPeriod() == saved);
    }

    // The restart itself is tst_selfupdate's. Here: without an old program file beside the program, closing
    // the list only goes back to idle; after a self-update the restarted program finds the folder free at
    // once.
    void closingUpdateListRestartsOnlyAfterSelfUpdate() {
        QTemporaryDir base;
        const QString folder = base.path() + "/Program Files/Quillon app"; // spaces in the path
        const QString program = folder + "/" + Platform::programFileName(), marker = folder + "/restarted";
        const QString body =
            QString("#!/bin/sh\nflock -n '%1/Quillon.lock' touch '%2'\n").arg(folder, marker);
        QVERIFY(writeTestFile(program, body.toUtf8()));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        MainTrayIcon tray;
        tray.setProgramFilePath(program);
        const auto closeList = [&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); };
        QCOMPARE(runEventLoopAfter(closeList, 500), 42);
        QVERIFY(!QFile::exists(folder + "/" + Platform::cleanupScriptName()) && !QFile::exists(marker) &&
                shows(tray, ":/TrayIcon.ico", true));
        QVERIFY(writeTestFile(folder + "/" + Platform::oldProgramFileName(), "old build") &&
                Platform::claimProgramFolder(folder));
        QCOMPARE(runEventLoopAfter(closeList, 5000), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    }

    void titleWindows() {
        // The about window's links are reached with Tab and followed with Enter, in the text's order, each
        // once.
        AboutWindow about;
        auto *aboutText = about.findChild<QLabel *>("aboutText");
        UrlCatcher catcher;
        for (const char *scheme : {"mailto", "https"})
            QDesktopServices::setUrlHandler(scheme, &catcher, "open");
        about.show();
        QApplication::setActiveWindow(&about);
        QVERIFY(QTest::qWaitForWindowActive(&about));
        QVERIFY(aboutText->textInteractionFlags() & Qt::LinksAccessibleByMouse);
        aboutText->setFocus();
        for (int link = 0; link < 4; ++link) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        }
        for (const char *scheme : {"mailto", "https"})
            QDesktopServices::unsetUrlHandler(scheme);
        QStringList links;
        for (const QRegularExpressionMatch &href :
             QRegularExpression("href=\"([^\"]+)\"").globalMatch(aboutText->text()))
            links << href.captured(1);
        QVERIFY(links.size() == 4 && links.removeDuplicates() == 0);
        QCOMPARE(catcher.opened, QUrl::fromStringList(links));

        // The welcome window starts on a click, not a press; Later (a press) and the title bar leave without
        // starting; it is handed back once, whatever still arrives before its deletion.
        for (const QString way : {"start", "later", "title bar"}) {
            handedBack.clear();
            QPointer<WelcomeWindow> window = new WelcomeWindow(&selfDestroy);
            window->show();
            QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
            auto *start = window->findChild<QPushButton *>("startButton");
            if (way == "start") {
                QTest::mousePress(start, Qt::LeftButton);
                QCOMPARE(started.count(), 0);
                QTest::mouseRelease(start, Qt::LeftButton);
            } else if (way == "later") {
                QTest::mousePress(window->findChild<QPushButton *>("laterButton"), Qt::LeftButton);
            } else {
                QVERIFY(!window->close());
            }
            QVERIFY2(!window->isVisible() && handedBack == QList<WelcomeWindow *>{window}, qPrintable(way));
            QMetaObject::invokeMethod(window, "Push_Ok_Button");
            window->close();
            QVERIFY(started.count() == int(way == "start") && handedBack.size() == 1);
            QTRY_VERIFY(window.isNull());
        }
    }

    // The two archives are only unpacked by hand: no folder is recorded for them.
    void archivesRecordNoFolder() {
        InstallContext context;
        ProgressBarWindow window(&context);
        for (const QString key : {"Brightfen Alerter", "Brightfen Clocksync", "Brightfen Console"}) {
            settingsStore()->setValue("Path/" + key, QString());
            QVERIFY(QMetaObject::invokeMethod(&window, "Write_Path_in_Settings", Q_ARG(QString, key),
                                              Q_ARG(QString, "/opt/" + key)));
            QCOMPARE(settingsStore()->value("Path/" + key).toString(),
                     key.endsWith("Console") ? "/opt/" + key : "");
        }
    }

    // Cancel and closing the wizard mid-run are tst_safety's
    // (progressPageEndsWithAWholeFileOrTheInstalledOne).
    void runEndings_data() {
        QTest::addColumn<bool>("complete");
        QTest::addColumn<bool>("keySet"); // a publisher key, and no signed manifest on the server
        QTest::newRow("complete") << true << false;
        QTest::newRow("refused three times") << false << false;
        QTest::newRow("not signed: refused at once") << false << true;
    }
    // A complete run runs the installers in turn, the one that cannot start too; a refused one gives up after
    // its attempts. Either way the wizard goes once the run has ended, after one box.
    void runEndings() {
        QFETCH(bool, complete);
        QFETCH(bool, keySet);
        QTemporaryDir tree, local;
        const QString download = tree.path() + componentsRoot, marks = local.filePath("marks");
        const QString drivers = local.filePath("program/Drivers");
        // Installers: scripts named like Windows ones that note their start and their end; one cannot start.
        for (const QString installer : {"CP210x/x64/cp210x-setup.exe", "MSVC/vc_redist.exe"}) {
            const QByteArray note = "echo " + installer.toUtf8() + " >> '" + marks.toUtf8() + "'\n";
            QVERIFY(writeTestFile(download + installer, "#!/bin/sh\n" + note + "sleep 0.5\n" + note));
            QVERIFY(QFile::setPermissions(download + installer, QFile::ReadOwner | QFile::ExeOwner));
        }
        auto server = serveFiles(
            tree, {{"Brightfen Meter/big.bin", QByteArray(300000, 'b')}, {"MCP2200/setup.exe", "-"}});
        QVERIFY(server);
        if (!complete && !keySet)
            server.reset(); // its port now refuses connections
        if (keySet)
            settingsStore()->setValue(PublisherTrust::keySetting, unusedPublisherKey);
        auto removeKey = qScopeGuard([] { settingsStore()->remove(PublisherTrust::keySetting); });
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Meter", true);
        for (const char *driver : {"CP210x", "MCP2200", "MSVC"})
            context.selectedDrivers.insert(driver, complete);
        context.groupFolders = {{"LoRa", local.filePath("LoRa")}, {"Drivers", drivers}};
        QDir::setCurrent(local.path()); // its "LogFile.log"
        // The controller's part: tears the wizard down as the tray does, noting whether the run had ended.
        WizardHarness wizard(&context);
        QPointer<ProgressBarWindow> progress = wizard.parts.progressPage;
        QPointer<QThread> thread;
        bool threadEndedFirst = false;
        wizard.beforeTeardown = [&] { threadEndedFirst = !thread || thread->isFinished(); };
        // The box comes once everything before it is done: every row, and the drivers folder gone.
        BoxAnswerer boxes({QMessageBox::Ok}, [&progress, &drivers] {
            return logRows(progress) << (QDir(drivers).exists() ? "folder left" : "folder gone");
        });
        wizard.parts.container->show(); // then Install, as the folder page's button does
        QVERIFY(QMetaObject::invokeMethod(wizard.parts.pathPage, "Push_Next_Button"));
        thread = progress->runThread();
        QVERIFY(progress->isVisible() && thread);
        if (complete) { // the first installer is seen running alone, the event loop going on
            QTRY_COMPARE_WITH_TIMEOUT(readTestFile(marks).count('\n'), 1, 30000);
            QVERIFY(!progress->findChild<QPushButton *>("cancelButton")->isEnabled());
        }
        QTRY_COMPARE_WITH_TIMEOUT(wizard.teardowns, 1, 30000);
        const QStringList logLines = logFileLines();
        QDir::setCurrent(work.path());
        QVERIFY(threadEndedFirst);
        QCOMPARE(int(connectFailures), 0); // a later wizard gets its own three attempts
        if (keySet)
            QVERIFY(!QFileInfo::exists(local.filePath("LoRa")) && logLines.size() == 1);
        QTRY_VERIFY(progress.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000); // let go: it ended and deleted itself
        QTest::qWait(100);
        // What lands and what is recorded is tst_safety's; here, the order of the ending.
        QVERIFY(wizard.teardowns == 1 && boxes.seen.size() == 1);
        QCOMPARE(boxes.seen[0].icon, complete ? QMessageBox::Information : QMessageBox::Critical);
        if (!complete)
            return;
        const QStringList notes = QString(readTestFile(marks)).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(notes.size() == 4 && notes[0] == notes[1] && notes[2] == notes[3] && notes[0] != notes[2],
                 qPrintable(notes.join(", "))); // one after the other
        QCOMPARE(context.driverInstallers.size(), 3);
        QVERIFY(context.driverInstallers.first().startsWith(drivers + "/"));
        // The installers' rows, each naming its installer, come last, and the folder is gone by the box.
        const QStringList state = boxes.seen.first().state;
        QCOMPARE(state.last(), QString("folder gone"));
        for (int i = 0; i < 3; ++i)
            QVERIFY2(state.at(state.size() - 4 + i).startsWith(context.driverInstallers.at(i) + " "),
                     qPrintable(state.join('|')));
        QVERIFY(!state.filter(" big.bin ").isEmpty());
        QVERIFY2(logLines.filter(drivers + "/MCP2200/setup.exe").size() == 1,
                 qPrintable(logLines.join('\n')));
    }
};

QUILLON_TEST_MAIN(TrayTest)
#include "tst_tray.moc"
