// The tray controller: menu texts, day count, check flow against a real SFTP server, windows, exit, restart.

#include "support/TestMain.h"
#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "ui/AboutWindow.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
// Runs the application's own event loop as the program does; the result is what ended it.
int runEventLoopAfter(const std::function<void()> &action, int giveUpMsec, int giveUpCode) {
    QTimer::singleShot(0, action);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [giveUpCode] { QCoreApplication::exit(giveUpCode); });
    giveUp.start(giveUpMsec);
    return QApplication::exec();
}

QImage pictureOf(const QIcon &icon) {
    return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
}
QImage pictureOf(const QString &resource) {
    return pictureOf(QIcon(QPixmap(resource)));
}

// Waits for a check started from the menu to end.
void finishCheck(MainTrayIcon &tray) {
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
}
} // namespace

class TrayTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void initTestCase();
    void init();
    void menuTextsFollowLanguage();
    void connectionFailureBalloonsAndRestoresIdleState();
    void languageChecksUnderRussianLocale();
    void dayCountForPeriodsZeroOneAndSevenAndANewPeriod();
    void tickWhileBusyWaitsForNextTick();
    void noUpdatesRestoresIdleState();
    void updatesFoundKeepEntriesDisabledUntilListCloses();
    void secondInstallRequestRaisesOpenWizard();
    void settingsAndAboutEntriesFollowTheirWindows();
    void laterStartRaisesOpenWindowOrShowsBalloon();
    void exitAnsweredNoKeepsRunning();
    void exitWithSettingsOpenSavesThenEnds();
    void closingUpdateListRestartsOnlyAfterSelfUpdate();

private:
    void tick(MainTrayIcon &tray, int *checksStarted);
    // Serves one file of "Brightfen Meter" and records a local copy with the given bytes as installed.
    std::unique_ptr<AsyncsshServer> serveMeter(const QByteArray &onServer, const QByteArray &installed);

    QTemporaryDir work;
    QTemporaryDir serverTree;
    QTemporaryDir installedFolder;
    int closedPort = 0;
};

void TrayTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(work.isValid());
    QDir::setCurrent(work.path()); // "LogFile.log" of failed checks goes here
    useTestSettings();
    settingsStore()->setValue("SFTP/IP", "127.0.0.1");
    {
        // A port that was just served and is closed now: connections are refused at once.
        AsyncsshServer server(serverTree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        closedPort = server.port();
    }
    // The tray pictures must be told apart for the picture checks to mean anything.
    QVERIFY(!QPixmap(":/TrayIcon.ico").isNull());
    QVERIFY(pictureOf(":/TrayIcon.ico") != pictureOf(":/SearchUpdate.ico"));
    QVERIFY(pictureOf(":/TrayIcon.ico") != pictureOf(":/Upload.ico"));
}

void TrayTest::init() {
    settingsStore()->setValue("SFTP/port", closedPort);
    settingsStore()->setValue("Path/Brightfen Meter", QString());
}

std::unique_ptr<AsyncsshServer> TrayTest::serveMeter(const QByteArray &onServer,
                                                     const QByteArray &installed) {
    writeTestFile(serverTree.path() + "/upload/Softwares/For Download/Brightfen Meter/meter.bin", onServer);
    writeTestFile(installedFolder.filePath("meter.bin"), installed);
    auto server = std::make_unique<AsyncsshServer>(serverTree.path());
    if (server->isRunning()) {
        pointSettingsAt(*server);
        settingsStore()->setValue("Path/Brightfen Meter", installedFolder.path());
    }
    return server;
}

void TrayTest::menuTextsFollowLanguage() {
    MainTrayIcon tray;
    QStringList texts;
    for (QAction *action : tray.trayMenu()->actions())
        texts << action->text();
    if (inRussian())
        QCOMPARE(texts,
                 QStringList({"Установить ПО", "Проверить обновления", "Настройки", "О программе", "Выход"}));
    else
        QCOMPARE(texts, QStringList({"Install Software", "Check updates", "Settings", "About", "Exit"}));
    QCOMPARE(tray.trayIcon()->contextMenu(), tray.trayMenu());
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon"));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/TrayIcon.ico"));
    QVERIFY(tray.trayIcon()->isVisible());
    QCOMPARE(tray.checkTimer()->interval(), 86400000);
    QVERIFY(tray.checkTimer()->isActive());
    QVERIFY(!tray.checkTimer()->isSingleShot());

    tray.Show_Start_Notice();
    QCOMPARE(tray.lastBalloonText(),
             inLanguage("Right-click the mouse to open the context menu.",
                        "Щелкните правой кнопкой мыши для вызова контекстного меню."));
}

void TrayTest::connectionFailureBalloonsAndRestoresIdleState() {
    MainTrayIcon tray;
    tray.checkAction()->trigger();
    QVERIFY(tray.checkRunning());
    QCOMPARE(tray.lastBalloonText(), inLanguage("Check updates...", "Проверка обновлений..."));
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!tray.checkAction()->isEnabled());
    QCOMPARE(tray.pictureName(), QString(":/SearchUpdate.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/SearchUpdate.ico"));
    // The tooltip is the same in every language and stays after a failed check.
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));

    finishCheck(tray);
    QCOMPARE(tray.lastBalloonText(),
             inLanguage("Failed to join the server", "Не удалось присоединиться к серверу"));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/TrayIcon.ico"));
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    QVERIFY(!tray.updateListWindow());
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));

    // Nothing of the failure is kept: the next check starts from an empty map and fails the same way.
    tray.checkAction()->trigger();
    finishCheck(tray);
    QVERIFY(!tray.updateListWindow());
    QVERIFY(tray.checkAction()->isEnabled());
}

void TrayTest::languageChecksUnderRussianLocale() {
    QVERIFY(passesUnderLocale(
        "ru_RU.UTF-8", {"menuTextsFollowLanguage", "connectionFailureBalloonsAndRestoresIdleState",
                        "updatesFoundKeepEntriesDisabledUntilListCloses", "exitAnsweredNoKeepsRunning",
                        "exitWithSettingsOpenSavesThenEnds", "laterStartRaisesOpenWindowOrShowsBalloon"}));
}

// One timer tick; when it starts a check, waits for the check to end so the next tick is not skipped.
void TrayTest::tick(MainTrayIcon &tray, int *checksStarted) {
    QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
    if (tray.checkRunning()) {
        ++*checksStarted;
        finishCheck(tray);
    }
}

void TrayTest::dayCountForPeriodsZeroOneAndSevenAndANewPeriod() {
    // Absent or one day: a check every tick.
    for (const QVariant &period : {QVariant(QString()), QVariant(1)}) {
        settingsStore()->setValue("Timer/Timeout", period);
        MainTrayIcon tray;
        QCOMPARE(tray.checkPeriod(), period.toInt());
        int checks = 0;
        for (int day = 1; day <= 3; ++day) {
            tick(tray, &checks);
            QCOMPARE(checks, day);
            if (period == 1)
                QCOMPARE(tray.daysLeft(), 1);
        }
    }
    settingsStore()->setValue("Timer/Timeout", 7);
    MainTrayIcon tray;
    QCOMPARE(tray.checkPeriod(), 7);
    QCOMPARE(tray.daysLeft(), 7);
    int checks = 0;
    for (int day = 1; day <= 6; ++day)
        tick(tray, &checks);
    QCOMPARE(checks, 0);
    QCOMPARE(tray.daysLeft(), 1);

    // A check from the menu in between leaves the count alone.
    tray.checkAction()->trigger();
    QVERIFY(tray.checkRunning());
    finishCheck(tray);
    QCOMPARE(tray.daysLeft(), 1);

    tick(tray, &checks);
    QCOMPARE(checks, 1);
    QCOMPARE(tray.daysLeft(), 7);
    for (int day = 1; day <= 6; ++day)
        tick(tray, &checks);
    QCOMPARE(checks, 1);
    tick(tray, &checks);
    QCOMPARE(checks, 2);

    // A new period from the settings window starts the count afresh.
    for (int day = 1; day <= 5; ++day)
        tick(tray, &checks);
    QCOMPARE(tray.daysLeft(), 2);
    QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 3)));
    QCOMPARE(tray.checkPeriod(), 3);
    QCOMPARE(tray.daysLeft(), 3);
    tick(tray, &checks);
    tick(tray, &checks);
    QCOMPARE(checks, 2);
    tick(tray, &checks);
    QCOMPARE(checks, 3);
    QCOMPARE(tray.daysLeft(), 3);
}

void TrayTest::tickWhileBusyWaitsForNextTick() {
    settingsStore()->setValue("Timer/Timeout", 1);
    MainTrayIcon tray;
    int checks = 0;
    tray.Install_Software();
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!tray.checkAction()->isEnabled());
    tick(tray, &checks); // due, but the wizard is open
    QCOMPARE(tray.daysLeft(), 0);
    tick(tray, &checks);
    QCOMPARE(checks, 0);

    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    tick(tray, &checks); // still due: the check comes now
    QCOMPARE(checks, 1);
    QCOMPARE(tray.daysLeft(), 1);

    // A tick while a check runs starts no second checker on the same map.
    tray.checkAction()->trigger();
    QVERIFY(tray.checkRunning());
    QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
    QCOMPARE(tray.daysLeft(), 0);
    finishCheck(tray);
    tick(tray, &checks);
    QCOMPARE(checks, 2);
}

void TrayTest::noUpdatesRestoresIdleState() {
    const auto server = serveMeter("meter build 5", "meter build 5");
    QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
    MainTrayIcon tray;
    tray.checkAction()->trigger();
    finishCheck(tray);
    QCOMPARE(tray.lastBalloonText(), inLanguage("Updates not found", "Обновления не найдены"));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QVERIFY(!tray.updateListWindow());
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
}

void TrayTest::updatesFoundKeepEntriesDisabledUntilListCloses() {
    const auto server = serveMeter("build 6", "build 5");
    QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
    MainTrayIcon tray;
    tray.checkAction()->trigger();
    finishCheck(tray);
    QCOMPARE(tray.lastBalloonText(), inLanguage("Updates are available", "Доступны обновления"));
    QCOMPARE(tray.pictureName(), QString(":/Upload.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/Upload.ico"));
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nДоступны обновления"));
    ListAvailableUpdater *list = tray.updateListWindow();
    QVERIFY(list);
    QTRY_VERIFY(list->isVisible());
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!tray.checkAction()->isEnabled());
    // While the list holds the map, neither the menu nor the timer starts another check.
    QVERIFY(QMetaObject::invokeMethod(&tray, "Start_Check_Update_Soft"));
    QVERIFY(!tray.checkRunning());

    // A double-click brings a hidden list back; other activations do nothing.
    list->hide();
    emit tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!list->isVisible());
    emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(list->isVisible());

    QPointer<ListAvailableUpdater> watched(list);
    QVERIFY(QMetaObject::invokeMethod(list, "Finish_Update"));
    QVERIFY(!tray.updateListWindow());
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QTRY_VERIFY(watched.isNull());
    // After the list is gone a double-click does nothing.
    emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!tray.updateListWindow());
}

void TrayTest::secondInstallRequestRaisesOpenWizard() {
    MainTrayIcon tray;
    tray.installAction()->trigger();
    StacketWidget *wizard = tray.installWindow();
    QVERIFY(wizard);
    QVERIFY(wizard->isVisible());
    wizard->hide();
    tray.Install_Software(); // as the welcome window's start button would
    QCOMPARE(tray.installWindow(), wizard);
    QVERIFY(wizard->isVisible());

    QPointer<StacketWidget> watched(wizard);
    wizard->close(); // the title-bar button
    QVERIFY(!tray.installWindow());
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    QTRY_VERIFY(watched.isNull());

    tray.Install_Software();
    QVERIFY(tray.installWindow());
    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish")); // asking twice is harmless
    QVERIFY(!tray.installWindow());
    QVERIFY(tray.installAction()->isEnabled());
}

void TrayTest::settingsAndAboutEntriesFollowTheirWindows() {
    MainTrayIcon tray;
    tray.settingsAction()->trigger();
    QPointer<SettingsWindow> settingsWindow(tray.settingsWindow());
    QVERIFY(settingsWindow);
    QVERIFY(settingsWindow->isVisible());
    QVERIFY(!tray.settingsAction()->isEnabled());
    settingsWindow->close();
    QVERIFY(tray.settingsAction()->isEnabled());
    QVERIFY(!tray.settingsWindow());
    QTRY_VERIFY(settingsWindow.isNull());

    tray.aboutAction()->trigger();
    QPointer<AboutWindow> about(tray.aboutWindow());
    QVERIFY(about);
    QVERIFY(about->isVisible());
    QVERIFY(!tray.aboutAction()->isEnabled());
    QTest::mousePress(about->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
    QVERIFY(tray.aboutAction()->isEnabled());
    QVERIFY(!tray.aboutWindow());
    QTRY_VERIFY(about.isNull());
    QVERIFY(tray.exitAction()->isEnabled());
}

void TrayTest::laterStartRaisesOpenWindowOrShowsBalloon() {
    MainTrayIcon tray;
    tray.Show_Already_Running();
    QCOMPARE(tray.lastBalloonText(),
             inLanguage("Quillon is already running. Right-click the mouse to open the context menu.",
                        "Quillon уже запущен. Щелкните правой кнопкой мыши для вызова контекстного меню."));

    // With a window open, that window comes to the front instead, even from the minimised state.
    tray.Show_Start_Notice();
    const QString startNotice = tray.lastBalloonText();
    tray.aboutAction()->trigger();
    QWidget *about = tray.aboutWindow();
    about->showMinimized();
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);
    tray.Show_Already_Running();
    QVERIFY(!(about->windowState() & Qt::WindowMinimized));
    QTRY_COMPARE(QApplication::activeWindow(), about);
    QCOMPARE(tray.lastBalloonText(), startNotice);
}

void TrayTest::exitAnsweredNoKeepsRunning() {
    MainTrayIcon tray;
    BoxAnswerer answerer({QMessageBox::No});
    const int result = runEventLoopAfter([&tray] { tray.exitAction()->trigger(); }, 1500, 42);
    QCOMPARE(result, 42); // ended by the test, not by the controller
    QCOMPARE(answerer.texts(),
             QStringList{inLanguage("Do you really want to get out?", "Вы действительно хотите выйти?")});
    QCOMPARE(answerer.seen.first().pressed, inLanguage("&No", "Нет"));
}

void TrayTest::exitWithSettingsOpenSavesThenEnds() {
    settingsStore()->setValue("Timer/Timeout", 1);
    MainTrayIcon tray;
    tray.settingsAction()->trigger();
    QVERIFY(tray.settingsWindow());
    auto *periodBox = tray.settingsWindow()->findChild<QComboBox *>("periodBox");
    periodBox->setCurrentText(inLanguage("Once a week", "1 раз в неделю"));

    // Exit? Yes. Save the settings? Yes. The applied-settings notice: OK.
    BoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok});
    const int result = runEventLoopAfter([&tray] { tray.exitAction()->trigger(); }, 10000, 42);
    QCOMPARE(result, 0);
    QCOMPARE(answerer.seen.size(), 3);
    QCOMPARE(answerer.seen.at(1).text, QString("Сохранить настройки перед выходом?"));
    QCOMPARE(answerer.seen.at(1).pressed, QString("Да"));
    QCOMPARE(settingsStore()->value("Timer/Timeout").toInt(), 7);
    QCOMPARE(tray.checkPeriod(), 7);
}

void TrayTest::closingUpdateListRestartsOnlyAfterSelfUpdate() {
    QTemporaryDir base;
    // A program folder whose path holds spaces works the same.
    const QString folder = base.path() + "/Program Files/Quillon app";
    const QString programPath = folder + "/" + Platform::programFileName();
    const QString oldPath = folder + "/" + Platform::oldProgramFileName();
    const QString script = folder + "/" + Platform::cleanupScriptName();
    const QString marker = folder + "/restarted";
    // The "new program": it only leaves a mark that it was started and found the folder free.
    QVERIFY(writeTestFile(
        programPath,
        QString("#!/bin/sh\nflock -n '%1/Quillon.lock' touch '%2'\n").arg(folder, marker).toUtf8()));
    QVERIFY(QFile::setPermissions(programPath, QFile::permissions(programPath) | QFile::ExeOwner));
    MainTrayIcon tray;
    tray.setProgramFilePath(programPath);
    auto closeList = [&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); };

    // No old program beside it: the tray only returns to its idle state.
    QCOMPARE(runEventLoopAfter(closeList, 500, 42), 42);
    QVERIFY(!QFile::exists(script));
    QVERIFY(!QFile::exists(marker));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QVERIFY(tray.installAction()->isEnabled());

    // After a self-update: the clean-up script is written, the folder let go, the new program started, and
    // the tray quits.
    QVERIFY(writeTestFile(oldPath, "old build"));
    QVERIFY(Platform::claimProgramFolder(folder));
    QCOMPARE(runEventLoopAfter(closeList, 5000, 42), 0);
    QCOMPARE(readTestFile(script), Platform::cleanupScriptText(QDir::toNativeSeparators(oldPath)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);

#ifndef Q_OS_WIN
    // The script does what the next start relies on: the old file goes, then the script itself.
    QStringList arguments;
    const QString interpreter = Platform::cleanupScriptProgram(script, &arguments);
    QCOMPARE(QProcess::execute(interpreter, arguments), 0);
    QVERIFY(!QFile::exists(oldPath));
    QVERIFY(!QFile::exists(script));
#endif
}

QUILLON_TEST_MAIN(TrayTest)
#include "tst_tray.moc"
