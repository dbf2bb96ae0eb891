// The progress window: its time label, log rows and recorded folders, and real install runs
// through the whole wizard against the asyncssh test server.

#include "support/TestMain.h"
#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "support/TestWidgets.h"
#include "transfer/InstallContext.h"
#include "ui/StacketWidget.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

#include <memory>

namespace {

const QString remoteRoot = "/upload/Softwares/For Download/";

QString labelText(QWidget *window, const char *name) {
    return window->findChild<QLabel *>(name)->text();
}

QStringList logRows(QWidget *window) {
    auto *model = qobject_cast<QStringListModel *>(window->findChild<QListView *>("logView")->model());
    return model->stringList();
}

void call(QObject *object, const char *slot, int value) {
    QVERIFY(QMetaObject::invokeMethod(object, slot, Qt::DirectConnection, Q_ARG(int, value)));
}

void tick(QObject *window) {
    QVERIFY(QMetaObject::invokeMethod(window, "Update_Timer_Label"));
}

QString timeText(int elapsedMin, int elapsedSec, int leftMin, int leftSec, const QString &speed) {
    const auto two = [](int n) { return QString("%1").arg(n, 2, 10, QChar('0')); };
    return inLanguage(
               "Elapsed: %1 min %2 sec\nRemaining approximately: %3 min %4 sec\nDownload speed: %5 Mbps",
               "Прошло: %1 мин %2 сек\nОсталось примерно: %3 мин %4 сек\nCкорость загрузки: %5 Мбит/сек")
        .arg(two(elapsedMin), two(elapsedSec), two(leftMin), two(leftSec), speed);
}

void typeFolder(QLineEdit *field, const QString &folder) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, folder);
}

bool writeExecutable(const QString &path, const QByteArray &script) {
    return writeTestFile(path, script) &&
           QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup);
}

// A 40 MB component served 1 KB per read, so a run is still fetching it when the test stops it.
std::unique_ptr<AsyncsshServer> serveSlowComponent(const QString &root, const QString &component) {
    writeTestFile(root + remoteRoot + component + "/big.bin", QByteArray(40 << 20, 'b'));
    auto server = std::make_unique<AsyncsshServer>(root, QStringList{"--max-read", "1024"});
    if (server->isRunning())
        pointSettingsAt(*server);
    settingsStore()->setValue("MSVC/Inst", true);
    settingsStore()->setValue("Path/" + component, QString());
    return server;
}

bool isDownloading(QWidget *window) {
    return labelText(window, "statusLabel").startsWith(inLanguage("Downloading...", "Загрузка..."));
}

} // namespace

class ProgressTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void initTestCase() { useTestSettings(); }
    void init() { connectFailures = 0; }

    void timeLabelFollowsByteCounts();
    void logRowsAndRecordedFolders();
    void installThroughWizardRecordsFoldersAndRunsDriverInstallers();
    void driverInstallersRunInOrderWhileTheEventLoopGoesOn();
    void cancelStopsRunningDownload();
    void closingWizardDuringRunReleasesThread();
    void thirdFailedConnectionGivesUp();
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"timeLabelFollowsByteCounts", "logRowsAndRecordedFolders",
                                                  "thirdFailedConnectionGivesUp"}));
    }
};

void ProgressTest::timeLabelFollowsByteCounts() {
    InstallContext context;
    ProgressBarWindow window(&context);
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(labelText(&window, "statusLabel"),
             inLanguage("Joining the server...", "Присоединение к серверу..."));
    QVERIFY(labelText(&window, "timeLabel").isEmpty());

    // The first size is the total; later ones are subtracted.
    call(&window, "Set_Size_All_Soft", 61000000 + 500);
    call(&window, "Set_Size_All_Soft", 500);
    // 1000000 bytes in one tick: 8 Mbps, 61000000 bytes left at that rate: 61 seconds.
    call(&window, "Counter", 400000);
    call(&window, "Counter", 600000);
    tick(&window);
    QCOMPARE(labelText(&window, "timeLabel"), timeText(0, 1, 1, 1, "8.000"));

    // A tick without bytes: nothing left to estimate and no speed.
    tick(&window);
    QCOMPARE(labelText(&window, "timeLabel"), timeText(0, 2, 0, 0, "0.000"));

    // 90 seconds elapsed.
    for (int i = 0; i < 87; ++i)
        tick(&window);
    call(&window, "Counter", 1000000);
    tick(&window);
    QCOMPARE(labelText(&window, "timeLabel"), timeText(1, 30, 1, 1, "8.000"));

    // More than 3600 seconds left shows as zero; exactly 3600 is still shown.
    call(&window, "Counter", 16000);
    tick(&window);
    QCOMPARE(labelText(&window, "timeLabel"), timeText(1, 31, 0, 0, "0.128"));
    call(&window, "Counter", 61000000 / 3600 + 1); // 3599.8 s, truncated
    tick(&window);
    QCOMPARE(labelText(&window, "timeLabel"), timeText(1, 32, 59, 59, "0.136"));
}

void ProgressTest::logRowsAndRecordedFolders() {
    InstallContext context;
    ProgressBarWindow window(&context);
    QVERIFY(QMetaObject::invokeMethod(&window, "Update_Log", Q_ARG(QString, "C:/Apps/LoRa/Tool/readme.txt"),
                                      Q_ARG(int, 1)));
    QVERIFY(QMetaObject::invokeMethod(&window, "Update_Log", Q_ARG(QString, "Downloading Brightfen Console"),
                                      Q_ARG(int, 0)));
    QVERIFY(QMetaObject::invokeMethod(&window, "Update_Log", Q_ARG(QString, "plain.txt"), Q_ARG(int, 1)));
    QCOMPARE(logRows(&window),
             (QStringList{inLanguage("Component readme.txt loaded", "Компонент readme.txt загружен"),
                          "Downloading Brightfen Console",
                          inLanguage("Component plain.txt loaded", "Компонент plain.txt загружен")}));

    // Archives are not recorded.
    settingsStore()->setValue("Path/Brightfen Alerter", QString());
    settingsStore()->setValue("Path/Brightfen Clocksync", QString());
    for (const char *key : {"Brightfen Alerter", "Brightfen Clocksync", "Brightfen Console"})
        QVERIFY(QMetaObject::invokeMethod(&window, "Write_Path_in_Settings", Q_ARG(QString, key),
                                          Q_ARG(QString, QString("/opt/LoRa/") + key)));
    QCOMPARE(settingsStore()->value("Path/Brightfen Alerter").toString(), QString());
    QCOMPARE(settingsStore()->value("Path/Brightfen Clocksync").toString(), QString());
    QCOMPARE(settingsStore()->value("Path/Brightfen Console").toString(),
             QString("/opt/LoRa/Brightfen Console"));
}

void ProgressTest::installThroughWizardRecordsFoldersAndRunsDriverInstallers() {
    QTemporaryDir tree;
    QTemporaryDir local;
    const QString marks = local.filePath("marks");
    QVERIFY(QDir().mkpath(marks));
    const QString download = tree.path() + remoteRoot;
    QVERIFY(writeTestFile(download + "Brightfen Console/console.bin", QByteArray(300000, 'c')));
    QVERIFY(writeTestFile(download + "Brightfen Console/help/Console.html", "<html></html>"));
    QVERIFY(writeTestFile(download + "Brightfen Clocksync/clocksync.zip", "PK zip"));
    QVERIFY(writeTestFile(download + "Brightfen Cell Setup/cell.bin", "cell"));
    // Driver installers: harmless scripts named like Windows installers, executable on the server.
    QVERIFY(writeExecutable(download + "CP210x/x64/cp210x-setup.exe",
                            "#!/bin/sh\necho cp210x > '" + marks.toUtf8() + "/cp210x'\n"));
    QVERIFY(writeExecutable(download + "MSVC/vc_redist.exe",
                            "#!/bin/sh\necho msvc > '" + marks.toUtf8() + "/msvc'\n"));

    AsyncsshServer server(tree.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    for (const char *key :
         {"Path/Brightfen Console", "Path/Brightfen Cell Setup", "Path/Brightfen Clocksync"})
        settingsStore()->setValue(key, QString());
    settingsStore()->setValue("MSVC/Inst", false);

    auto context = std::make_unique<InstallContext>();
    const QString driversFolder = local.filePath("program/Drivers");
    context->groupFolders["Drivers"] = driversFolder;
    InstallWizard wizard = buildInstallWizard(context.get());
    QSignalSpy teardown(wizard.progressPage, &ProgressBarWindow::Delete_Install_Window);
    wizard.container->show();

    auto *componentTree = wizard.softPage->findChild<QTreeWidget *>();
    for (const QString &row :
         {QString("Brightfen Console"),
          inLanguage("Brightfen Clocksync(Zip archive)", "Brightfen Clocksync(Архив zip)"),
          QString("Brightfen Cell Setup"),
          inLanguage("CP210x(COM port driver)", "CP210x(Драйвер для COM-порта)")}) {
        QTreeWidgetItem *item = findRow(componentTree, row);
        QVERIFY2(item, qPrintable(row));
        doubleClickRow(componentTree, item);
        QCOMPARE(item->checkState(0), Qt::Checked);
    }
    QTest::mouseClick(buttonLabelled(wizard.softPage, inLanguage("Next", "Далее")), Qt::LeftButton);

    const QList<QLineEdit *> fields = wizard.pathPage->findChildren<QLineEdit *>();
    typeFolder(fields[0], local.filePath("LoRa"));
    typeFolder(fields[1], local.filePath("NB IoT"));
    QVERIFY(!fields[2]->isEnabled());

    BoxAnswerer boxes({QMessageBox::Ok});
    QTest::mouseClick(buttonLabelled(wizard.pathPage, inLanguage("Install", "Установить")), Qt::LeftButton);
    QVERIFY(wizard.progressPage->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 60000);

    QCOMPARE(boxes.titles(), QStringList{"Complete!"});
    QCOMPARE(boxes.texts(), QStringList{inLanguage("The updates have been successfully installed!",
                                                   "Процесс установки завершен!")});

    // Files fetched into the folders typed on the folder page.
    QCOMPARE(readTestFile(local.filePath("LoRa/Brightfen Console/console.bin")), QByteArray(300000, 'c'));
    QVERIFY(QFile::exists(local.filePath("LoRa/Brightfen Console/help/Console.html")));
    QVERIFY(QFile::exists(local.filePath("LoRa/Brightfen Clocksync/clocksync.zip")));
    QVERIFY(QFile::exists(local.filePath("NB IoT/Brightfen Cell Setup/cell.bin")));

    // Recorded folders, but not the archive.
    QCOMPARE(settingsStore()->value("Path/Brightfen Console").toString(),
             local.filePath("LoRa/Brightfen Console"));
    QCOMPARE(settingsStore()->value("Path/Brightfen Cell Setup").toString(),
             local.filePath("NB IoT/Brightfen Cell Setup"));
    QCOMPARE(settingsStore()->value("Path/Brightfen Clocksync").toString(), QString());
    QCOMPARE(settingsStore()->value("MSVC/Inst").toBool(), true);

    // Both installers ran (the runtime was added since it was not installed), each with its row,
    // and the drivers folder is gone.
    QVERIFY(QFile::exists(marks + "/cp210x"));
    QVERIFY(QFile::exists(marks + "/msvc"));
    const QString installed = inLanguage(" installed", " установлен");
    const QStringList rows = logRows(wizard.progressPage);
    QVERIFY2(rows.contains(driversFolder + "/CP210x/x64/cp210x-setup.exe" + installed),
             qPrintable(rows.join('\n')));
    QVERIFY2(rows.contains(driversFolder + "/MSVC/vc_redist.exe" + installed), qPrintable(rows.join('\n')));
    QVERIFY(rows.contains(inLanguage("Component console.bin loaded", "Компонент console.bin загружен")));
    QVERIFY(!QDir(driversFolder).exists());
    QCOMPARE(wizard.progressPage->findChild<QProgressBar *>("progressBar")->value(), 100);

    // The finished run's thread was let go (it ends and deletes itself).
    QVERIFY(wizard.progressPage->runThread() == nullptr);
    destroyInstallWizard(wizard);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ProgressTest::driverInstallersRunInOrderWhileTheEventLoopGoesOn() {
    QTemporaryDir local;
    const QString marks = local.filePath("marks");
    const QString driversFolder = local.filePath("program/Drivers");
    // Each installer notes its start and its end; the first one takes a while.
    const auto installer = [&](const QString &name, const char *pause) {
        const QString path = driversFolder + "/" + name + "/setup.exe";
        const QByteArray note = "echo " + name.toUtf8() + " >> '" + marks.toUtf8() + "'\n";
        return writeExecutable(path, "#!/bin/sh\n" + note + "sleep " + pause + "\n" + note) ? path
                                                                                            : QString();
    };
    InstallContext context;
    context.groupFolders["Drivers"] = driversFolder;
    // One that cannot start sits between them: it is logged, gets its row, and the next one follows.
    const QString missing = driversFolder + "/Missing/setup.exe";
    context.driverInstallers = QStringList{installer("First", "2"), missing, installer("Second", "0.1")};
    QVERIFY(!context.driverInstallers.contains(QString()));
    const QString previousFolder = QDir::currentPath();
    QDir::setCurrent(local.path()); // its "LogFile.log"

    MainTrayIcon tray;
    ProgressBarWindow window(&context);
    QSignalSpy teardown(&window, &ProgressBarWindow::Delete_Install_Window);
    window.show();
    // The box is shown once everything before it is done: both rows, and the drivers folder gone.
    BoxAnswerer boxes({QMessageBox::Ok}, [&] {
        return logRows(&window) << (QDir(driversFolder).exists() ? "folder left" : "folder gone");
    });
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
    QVERIFY(!window.findChild<QPushButton *>("cancelButton")->isEnabled());
    // While the first installer runs, the timer keeps firing and the tray menu opens and closes.
    QTRY_COMPARE(readTestFile(marks), QByteArray("First\n"));
    const int ticksBefore = ticks;
    tray.trayMenu()->popup(QPoint(10, 10));
    QTRY_VERIFY(tray.trayMenu()->isVisible());
    tray.trayMenu()->close();
    QTRY_VERIFY(ticks > ticksBefore + 2);
    QCOMPARE(readTestFile(marks), QByteArray("First\n"));
    QVERIFY(logRows(&window).isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 20000);
    QCOMPARE(readTestFile(marks), QByteArray("First\nFirst\nSecond\nSecond\n"));
    const QString installed = inLanguage(" installed", " установлен");
    QStringList rows;
    for (const QString &path : context.driverInstallers)
        rows << path + installed;
    QCOMPARE(logRows(&window), rows);
    QCOMPARE(boxes.titles(), QStringList{"Complete!"});
    QCOMPARE(boxes.seen.first().state, QStringList(rows) << "folder gone");
    const QStringList logLines = logFileLines();
    QDir::setCurrent(previousFolder);
    QCOMPARE(logLines.size(), 1);
    QVERIFY2(logLines.first().contains("] - Error start installer - " + missing + ": "),
             qPrintable(logLines.first()));
}

void ProgressTest::cancelStopsRunningDownload() {
    QTemporaryDir tree;
    QTemporaryDir local;
    const auto server = serveSlowComponent(tree.path(), "Brightfen Meter");
    QVERIFY2(server->isRunning(), qPrintable(server->errorText()));

    InstallContext context;
    context.selectedLoRa.insert("Brightfen Meter", true);
    context.groupFolders["LoRa"] = local.path();
    auto *window = new ProgressBarWindow(&context);
    QSignalSpy teardown(window, &ProgressBarWindow::Delete_Install_Window);
    BoxAnswerer boxes;
    window->Show();
    QPointer<QThread> thread = window->runThread();
    QVERIFY(thread);
    QTRY_VERIFY_WITH_TIMEOUT(isDownloading(window), 20000);

    bool endedBeforeTeardown = false;
    connect(window, &ProgressBarWindow::Delete_Install_Window, this,
            [&] { endedBeforeTeardown = thread && thread->isFinished(); });
    QTest::mousePress(window->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);
    QCOMPARE(labelText(window, "statusLabel"),
             inLanguage("Stopping the download...", "Остановка загрузки..."));
    // The window waits for the run's end with the event loop going on.
    QTRY_COMPARE(teardown.count(), 1);
    // The worker stopped between chunks, so the thread had ended before the wizard was told to close.
    QVERIFY(endedBeforeTeardown);
    QTest::mouseRelease(window->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);
    QTest::qWait(50);
    QCOMPARE(teardown.count(), 1);

    delete window;
    QTRY_VERIFY(thread.isNull());
    QTest::qWait(100);
    QVERIFY(boxes.seen.isEmpty());
    // Nothing of the cancelled file was installed or recorded.
    QVERIFY(!QFile::exists(local.filePath("Brightfen Meter/big.bin")));
    QCOMPARE(settingsStore()->value("Path/Brightfen Meter").toString(), QString());
}

void ProgressTest::closingWizardDuringRunReleasesThread() {
    QTemporaryDir tree;
    QTemporaryDir local;
    const auto server = serveSlowComponent(tree.path(), "Brightfen Bridge");
    QVERIFY2(server->isRunning(), qPrintable(server->errorText()));

    auto context = std::make_unique<InstallContext>();
    context->selectedLoRa.insert("Brightfen Bridge", true);
    context->groupFolders["LoRa"] = local.path();
    InstallWizard wizard = buildInstallWizard(context.get());
    int teardowns = 0;
    struct Receiver : QObject {
        InstallWizard parts;
        int *count = nullptr;
        void finish() {
            ++*count;
            destroyInstallWizard(parts);
        }
    } controller;
    controller.parts = wizard;
    controller.count = &teardowns;
    connectInstallWizardTeardown(wizard, &controller, &Receiver::finish);
    BoxAnswerer boxes;
    wizard.container->show();
    wizard.progressPage->Show();
    QPointer<QThread> thread = wizard.progressPage->runThread();
    QPointer<QWidget> progress = wizard.progressPage;
    QTRY_VERIFY_WITH_TIMEOUT(isDownloading(wizard.progressPage), 20000);

    // The title-bar close does not wait for the run.
    wizard.container->close();
    QCOMPARE(teardowns, 1);
    QVERIFY(thread && thread->isRunning());
    QTRY_VERIFY(progress.isNull());
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QTest::qWait(100);
    QVERIFY(boxes.seen.isEmpty());
    QVERIFY(!QFile::exists(local.filePath("Brightfen Bridge/big.bin")));
}

void ProgressTest::thirdFailedConnectionGivesUp() {
    QTemporaryDir tree;
    {
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
    } // stopped: its port now refuses connections

    InstallContext context;
    auto *window = new ProgressBarWindow(&context);
    QSignalSpy teardown(window, &ProgressBarWindow::Delete_Install_Window);
    BoxAnswerer boxes({QMessageBox::Ok});
    window->Show();
    QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 30000);
    QCOMPARE(boxes.titles(), QStringList{"Error!"});
    QCOMPARE(boxes.texts(), QStringList{inLanguage(
                                "Failed to connect to the server!\nTry installing the software later or use "
                                "the offline installer.",
                                "Не удалось подключится к серверу!\nПопрбуйте установить ПО позже или "
                                "воспользуйтесь офлайн установщиком")});
    QCOMPARE(labelText(window, "statusLabel"),
             inLanguage("Attempting to join the server...", "Попытка присоединение к серверу..."));
    QVERIFY(window->runThread() == nullptr);
    // A later wizard starts counting afresh.
    QCOMPARE(int(connectFailures), 0);
    delete window;
}

QUILLON_TEST_MAIN(ProgressTest)
#include "tst_progress.moc"
