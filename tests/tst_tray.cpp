// The tray controller: menu texts, day count, check flow against a real SFTP server, windows, exit, restart.

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "platform/Platform.h"
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
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {
CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool russian() {
    return System_Language() == QLatin1String("ru");
}

// Answers the message boxes that come up, one answer per box, in order; remembers their texts.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers) : answers(answers) {
        connect(&poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            // A box at the address of an answered one is new; the mark is what tells them apart.
            if (!box || box->property("answered").toBool() || this->answers.isEmpty())
                return;
            box->setProperty("answered", true);
            texts << box->text();
            buttonTexts << box->button(this->answers.first())->text();
            box->button(this->answers.takeFirst())->click();
        });
        poll.start(20);
    }
    QStringList texts;
    QStringList buttonTexts;

private:
    QList<QMessageBox::StandardButton> answers;
    QTimer poll;
};

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
} // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void menuAndBalloonTextsFollowLanguage();
    void dayCountForPeriodsZeroOneAndSeven();
    void newTimeoutRestartsCount();
    void tickWhileBusyWaitsForNextTick();
    void connectionFailureRestoresIdleState();
    void noUpdatesRestoresIdleState();
    void updatesFoundKeepEntriesDisabledUntilListCloses();
    void secondInstallRequestRaisesOpenWizard();
    void settingsAndAboutEntriesFollowTheirWindows();
    void exitAnsweredNoKeepsRunning();
    void exitWithSettingsOpenSavesThenEnds();
    void closingUpdateListWithoutOldFileOnlyRestoresTray();
    void closingUpdateListAfterSelfUpdateWritesScriptAndRestarts();

private:
    void tick(MainTrayIcon &tray, int *checksStarted);
    QTemporaryDir work;
    QTemporaryDir serverTree;
    int closedPort = 0;
};

void TrayTest::initTestCase() {
    // The process really runs in the language it was started for.
    QCOMPARE(System_Language(), qEnvironmentVariable("QUILLON_TEST_LOCALE").startsWith("ru") ? "ru" : "en");
    QVERIFY(work.isValid());
    QDir::setCurrent(work.path()); // "LogFile.log" of failed checks goes here
    useTestSettings();
    settings()->setValue("SFTP/IP", "127.0.0.1");
    {
        // A port that was just served and is closed now: connections are refused at once.
        AsyncsshServer server(serverTree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        closedPort = server.port();
    }
    settings()->setValue("SFTP/port", closedPort);
    // The four tray pictures must be told apart for the picture checks to mean anything.
    QVERIFY(pictureOf(":/TrayIcon.ico") != pictureOf(":/SearchUpdate.ico"));
    QVERIFY(pictureOf(":/TrayIcon.ico") != pictureOf(":/Upload.ico"));
    QVERIFY(!QPixmap(":/TrayIcon.ico").isNull());
}

void TrayTest::menuAndBalloonTextsFollowLanguage() {
    MainTrayIcon tray;
    QStringList texts;
    for (QAction *action : tray.trayMenu()->actions())
        texts << action->text();
    if (russian())
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
             russian() ? QString("Щелкните правой кнопкой мыши для вызова контекстного меню.")
                       : QString("Right-click the mouse to open the context menu."));

    // A check that cannot connect: the balloons on the way, in this language.
    tray.checkAction()->trigger();
    QCOMPARE(tray.lastBalloonText(),
             russian() ? QString("Проверка обновлений...") : QString("Check updates..."));
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    QCOMPARE(tray.lastBalloonText(), russian() ? QString("Не удалось присоединиться к серверу")
                                               : QString("Failed to join the server"));
    // The tooltip is the same in every language and stays after a failed check.
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));
}

// One timer tick; when it starts a check, waits for the check to end so the next tick is not skipped.
void TrayTest::tick(MainTrayIcon &tray, int *checksStarted) {
    QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
    if (tray.checkRunning()) {
        ++*checksStarted;
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    }
}

void TrayTest::dayCountForPeriodsZeroOneAndSeven() {
    settings()->setValue("Timer/Timeout", QString());
    {
        MainTrayIcon tray; // absent: one check a day
        QCOMPARE(tray.checkPeriod(), 0);
        int checks = 0;
        for (int day = 1; day <= 3; ++day) {
            tick(tray, &checks);
            QCOMPARE(checks, day);
        }
    }
    settings()->setValue("Timer/Timeout", 1);
    {
        MainTrayIcon tray;
        QCOMPARE(tray.daysLeft(), 1);
        int checks = 0;
        for (int day = 1; day <= 3; ++day) {
            tick(tray, &checks);
            QCOMPARE(checks, day);
            QCOMPARE(tray.daysLeft(), 1);
        }
    }
    settings()->setValue("Timer/Timeout", 7);
    {
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
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        QCOMPARE(tray.daysLeft(), 1);

        tick(tray, &checks);
        QCOMPARE(checks, 1);
        QCOMPARE(tray.daysLeft(), 7);
        for (int day = 1; day <= 6; ++day)
            tick(tray, &checks);
        QCOMPARE(checks, 1);
        tick(tray, &checks);
        QCOMPARE(checks, 2);
    }
}

void TrayTest::newTimeoutRestartsCount() {
    settings()->setValue("Timer/Timeout", 7);
    MainTrayIcon tray;
    int checks = 0;
    for (int day = 1; day <= 5; ++day)
        tick(tray, &checks);
    QCOMPARE(tray.daysLeft(), 2);
    QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 3)));
    QCOMPARE(tray.checkPeriod(), 3);
    QCOMPARE(tray.daysLeft(), 3);
    tick(tray, &checks);
    tick(tray, &checks);
    QCOMPARE(checks, 0);
    tick(tray, &checks);
    QCOMPARE(checks, 1);
    QCOMPARE(tray.daysLeft(), 3);
}

void TrayTest::tickWhileBusyWaitsForNextTick() {
    settings()->setValue("Timer/Timeout", 1);
    MainTrayIcon tray;
    int checks = 0;
    tray.Install_Software();
    QVERIFY(tray.installWindow());
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!tray.checkAction()->isEnabled());
    tick(tray, &checks); // due, but the wizard is open
    QCOMPARE(checks, 0);
    QCOMPARE(tray.daysLeft(), 0);
    tick(tray, &checks);
    QCOMPARE(checks, 0);

    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
    QVERIFY(!tray.installWindow());
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
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    tick(tray, &checks);
    QCOMPARE(checks, 2);
}

void TrayTest::connectionFailureRestoresIdleState() {
    settings()->setValue("SFTP/port", closedPort);
    MainTrayIcon tray;
    tray.checkAction()->trigger();
    QVERIFY(tray.checkRunning());
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!tray.checkAction()->isEnabled());
    QCOMPARE(tray.pictureName(), QString(":/SearchUpdate.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/SearchUpdate.ico"));
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));

    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QCOMPARE(pictureOf(tray.trayIcon()->icon()), pictureOf(":/TrayIcon.ico"));
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    QVERIFY(!tray.updateListWindow());
    QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));

    // Nothing of the failure is kept: the next check starts from an empty map and fails the same way.
    tray.checkAction()->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    QVERIFY(!tray.updateListWindow());
    QVERIFY(tray.checkAction()->isEnabled());
}

void TrayTest::noUpdatesRestoresIdleState() {
    QTemporaryDir tree;
    QTemporaryDir installed;
    const QByteArray content = "meter build 5";
    QVERIFY(writeTestFile(tree.path() + "/upload/Softwares/For Download/Brightfen Meter/meter.bin", content));
    QVERIFY(writeTestFile(installed.path() + "/meter.bin", content));
    AsyncsshServer server(tree.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    settings()->setValue("Path/Brightfen Meter", installed.path());

    MainTrayIcon tray;
    tray.checkAction()->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    QCOMPARE(tray.lastBalloonText(),
             russian() ? QString("Обновления не найдены") : QString("Updates not found"));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QVERIFY(!tray.updateListWindow());
    QVERIFY(tray.installAction()->isEnabled());
    QVERIFY(tray.checkAction()->isEnabled());
    settings()->setValue("Path/Brightfen Meter", QString());
}

void TrayTest::updatesFoundKeepEntriesDisabledUntilListCloses() {
    QTemporaryDir tree;
    QTemporaryDir installed;
    QVERIFY(
        writeTestFile(tree.path() + "/upload/Softwares/For Download/Brightfen Meter/meter.bin", "build 6"));
    QVERIFY(writeTestFile(installed.path() + "/meter.bin", "build 5"));
    AsyncsshServer server(tree.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    settings()->setValue("Path/Brightfen Meter", installed.path());

    MainTrayIcon tray;
    tray.checkAction()->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
    QCOMPARE(tray.lastBalloonText(),
             russian() ? QString("Доступны обновления") : QString("Updates are available"));
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
    settings()->setValue("Path/Brightfen Meter", QString());
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
    QVERIFY(tray.installWindow() != nullptr && !tray.installAction()->isEnabled());
    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
    QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish")); // asking twice is harmless
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

void TrayTest::exitAnsweredNoKeepsRunning() {
    MainTrayIcon tray;
    BoxAnswerer answerer({QMessageBox::No});
    const int result = runEventLoopAfter([&tray] { tray.exitAction()->trigger(); }, 1500, 42);
    QCOMPARE(result, 42); // ended by the test, not by the controller
    QCOMPARE(answerer.texts.size(), 1);
    QCOMPARE(answerer.texts.first(), russian() ? QString("Вы действительно хотите выйти?")
                                               : QString("Do you really want to get out?"));
    QCOMPARE(answerer.buttonTexts.first(), russian() ? QString("Нет") : QString("&No"));
}

void TrayTest::exitWithSettingsOpenSavesThenEnds() {
    settings()->setValue("Timer/Timeout", 1);
    MainTrayIcon tray;
    tray.settingsAction()->trigger();
    QVERIFY(tray.settingsWindow());
    auto *periodBox = tray.settingsWindow()->findChild<QComboBox *>("periodBox");
    periodBox->setCurrentText(russian() ? "1 раз в неделю" : "Once a week");

    // Exit? Yes. Save the settings? Yes. The applied-settings notice: OK.
    BoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok});
    const int result = runEventLoopAfter([&tray] { tray.exitAction()->trigger(); }, 10000, 42);
    QCOMPARE(result, 0);
    QCOMPARE(answerer.texts.size(), 3);
    QCOMPARE(answerer.texts.at(1), QString("Сохранить настройки перед выходом?"));
    QCOMPARE(answerer.buttonTexts.at(1), QString("Да"));
    QCOMPARE(settings()->value("Timer/Timeout").toInt(), 7);
    QCOMPARE(tray.checkPeriod(), 7);
}

void TrayTest::closingUpdateListWithoutOldFileOnlyRestoresTray() {
    QTemporaryDir program;
    const QString programPath = program.filePath(Platform::programFileName());
    QVERIFY(writeTestFile(programPath, "#!/bin/sh\n"));
    MainTrayIcon tray;
    tray.setProgramFilePath(programPath);
    const int result =
        runEventLoopAfter([&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); }, 500, 42);
    QCOMPARE(result, 42);
    QVERIFY(!QFile::exists(program.filePath(Platform::cleanupScriptName())));
    QCOMPARE(tray.pictureName(), QString(":/TrayIcon.ico"));
    QVERIFY(tray.installAction()->isEnabled());
}

void TrayTest::closingUpdateListAfterSelfUpdateWritesScriptAndRestarts() {
    QTemporaryDir base;
    // A program folder whose path holds spaces works the same.
    const QString folder = base.path() + "/Program Files/Quillon app";
    QVERIFY(QDir().mkpath(folder));
    const QString programPath = folder + "/" + Platform::programFileName();
    const QString oldPath = folder + "/" + Platform::oldProgramFileName();
    const QString marker = folder + "/restarted";
    // The "new program": it only leaves a mark that it was started.
    QVERIFY(writeTestFile(programPath, QString("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8()));
    QVERIFY(QFile::setPermissions(programPath, QFile::permissions(programPath) | QFile::ExeOwner));
    QVERIFY(writeTestFile(oldPath, "old build"));

    MainTrayIcon tray;
    tray.setProgramFilePath(programPath);
    const int result =
        runEventLoopAfter([&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); }, 5000, 42);
    QCOMPARE(result, 0);

    QFile script(folder + "/" + Platform::cleanupScriptName());
    QVERIFY(script.open(QIODevice::ReadOnly));
    QCOMPARE(script.readAll(), Platform::cleanupScriptText(QDir::toNativeSeparators(oldPath)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);

#ifndef Q_OS_WIN
    // The script does what the next start relies on: the old file goes, then the script itself.
    QStringList arguments;
    const QString interpreter = Platform::cleanupScriptProgram(script.fileName(), &arguments);
    QCOMPARE(QProcess::execute(interpreter, arguments), 0);
    QVERIFY(!QFile::exists(oldPath));
    QVERIFY(!QFile::exists(script.fileName()));
#endif
}

static int runTests(int argc, char **argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TrayTest test;
    return QTest::qExec(&test, argc, argv);
}

// The language comes from the system locale, read once per process: this process runs in English and
// runs the language checks again in a child process under a Russian locale.
int main(int argc, char **argv) {
    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath(); // tests change folder
    const QByteArray locale = qgetenv("QUILLON_TEST_LOCALE");
    qputenv("LC_ALL", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    qputenv("LANG", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    int result = runTests(argc, argv);
    if (locale.isEmpty() && argc == 1) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QUILLON_TEST_LOCALE", "ru_RU.UTF-8");
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(self,
                    {"menuAndBalloonTextsFollowLanguage", "exitAnsweredNoKeepsRunning",
                     "exitWithSettingsOpenSavesThenEnds", "updatesFoundKeepEntriesDisabledUntilListCloses"});
        if (!child.waitForFinished(300000) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0)
            result = result ? result : 1;
    }
    return result;
}

#include "tst_tray.moc"
