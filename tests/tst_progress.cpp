// The progress window: its time label, log rows and recorded folders, and real install runs
// through the whole wizard against the asyncssh test server.

#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/InstallContext.h"
#include "ui/StacketWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <memory>

namespace {

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}
bool russian() {
    return System_Language() == "ru";
}

// Answers every modal message box with OK and remembers what it said.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer() {
        connect(&poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles << box->windowTitle();
            texts << box->text();
            box->accept();
        });
        poll.start(20);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer poll;
};

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
    if (russian())
        return QString(
                   "Прошло: %1 мин %2 сек\nОсталось примерно: %3 мин %4 сек\nCкорость загрузки: %5 Мбит/сек")
            .arg(two(elapsedMin), two(elapsedSec), two(leftMin), two(leftSec), speed);
    return QString("Elapsed: %1 min %2 sec\nRemaining approximately: %3 min %4 sec\nDownload speed: %5 Mbps")
        .arg(two(elapsedMin), two(elapsedSec), two(leftMin), two(leftSec), speed);
}

QTreeWidgetItem *row(QTreeWidget *tree, const QString &text) {
    const QList<QTreeWidgetItem *> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive, 0);
    return found.isEmpty() ? nullptr : found.first();
}

QPushButton *button(QWidget *page, const QString &english, const QString &russianText) {
    for (QPushButton *b : page->findChildren<QPushButton *>())
        if (b->text() == english || b->text() == russianText)
            return b;
    return nullptr;
}

void tickRow(QTreeWidget *tree, const QString &text) {
    QTreeWidgetItem *item = row(tree, text);
    QVERIFY2(item, qPrintable(text));
    item->parent()->setExpanded(true);
    tree->scrollToItem(item);
    const QRect rect = tree->visualItemRect(item);
    // The press before the double-click is what a real double-click delivers first.
    const QPoint at(rect.left() + 80, rect.center().y());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(item->checkState(0), Qt::Checked);
}

void typeFolder(QLineEdit *field, const QString &folder) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, folder);
}

const QString remoteRoot = "/upload/Softwares/For Download/";

bool writeExecutable(const QString &path, const QByteArray &script) {
    return writeTestFile(path, script) &&
           QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup);
}

} // namespace

class ProgressTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { useTestSettings(); }
    void init() { connectFailures = 0; }

    void timeLabelFollowsByteCounts();
    void logRowsAndRecordedFolders();
    void installThroughWizardRecordsFoldersAndRunsDriverInstallers();
    void cancelStopsRunningDownload();
    void closingWizardDuringRunReleasesThread();
    void thirdFailedConnectionGivesUp();
    void russianLocaleShowsRussianTexts();
};

void ProgressTest::timeLabelFollowsByteCounts() {
    qInfo("language: %s", qPrintable(System_Language()));
    InstallContext context;
    ProgressBarWindow window(&context);
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(labelText(&window, "statusLabel"),
             russian() ? QString("Присоединение к серверу...") : QString("Joining the server..."));
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
             russian() ? (QStringList{"Компонент readme.txt загружен", "Downloading Brightfen Console",
                                      "Компонент plain.txt загружен"})
                       : (QStringList{"Component readme.txt loaded", "Downloading Brightfen Console",
                                      "Component plain.txt loaded"}));

    settings()->setValue("Path/Brightfen Alerter", QString());
    settings()->setValue("Path/Brightfen Clocksync", QString());
    for (const char *key : {"Brightfen Alerter", "Brightfen Clocksync", "Brightfen Console"})
        QVERIFY(QMetaObject::invokeMethod(&window, "Write_Path_in_Settings", Q_ARG(QString, key),
                                          Q_ARG(QString, QString("/opt/LoRa/") + key)));
    QCOMPARE(settings()->value("Path/Brightfen Alerter").toString(), QString());
    QCOMPARE(settings()->value("Path/Brightfen Clocksync").toString(), QString());
    QCOMPARE(settings()->value("Path/Brightfen Console").toString(), QString("/opt/LoRa/Brightfen Console"));
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
        settings()->setValue(key, QString());
    settings()->setValue("MSVC/Inst", false);

    auto context = std::make_unique<InstallContext>();
    const QString driversFolder = local.filePath("program/Drivers");
    context->groupFolders["Drivers"] = driversFolder;
    InstallWizard wizard = buildInstallWizard(context.get());
    QSignalSpy teardown(wizard.progressPage, &ProgressBarWindow::Delete_Install_Window);
    wizard.container->show();

    auto *componentTree = wizard.softPage->findChild<QTreeWidget *>();
    tickRow(componentTree, "Brightfen Console");
    tickRow(componentTree, russian() ? "Brightfen Clocksync(Архив zip)" : "Brightfen Clocksync(Zip archive)");
    tickRow(componentTree, "Brightfen Cell Setup");
    tickRow(componentTree, russian() ? "CP210x(Драйвер для COM-порта)" : "CP210x(COM port driver)");
    QTest::mouseClick(button(wizard.softPage, "Next", "Далее"), Qt::LeftButton);

    const QList<QLineEdit *> fields = wizard.pathPage->findChildren<QLineEdit *>();
    typeFolder(fields[0], local.filePath("LoRa"));
    typeFolder(fields[1], local.filePath("NB IoT"));
    QVERIFY(!fields[2]->isEnabled());

    BoxAnswerer boxes;
    QTest::mouseClick(button(wizard.pathPage, "Install", "Установить"), Qt::LeftButton);
    QVERIFY(wizard.progressPage->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 60000);

    QCOMPARE(boxes.titles, QStringList{"Complete!"});
    QCOMPARE(boxes.texts.value(0), russian() ? QString("Процесс установки завершен!")
                                             : QString("The updates have been successfully installed!"));

    // Files fetched into the folders typed on the folder page.
    QFile console(local.filePath("LoRa/Brightfen Console/console.bin"));
    QVERIFY(console.open(QIODevice::ReadOnly));
    QCOMPARE(console.readAll(), QByteArray(300000, 'c'));
    QVERIFY(QFile::exists(local.filePath("LoRa/Brightfen Console/help/Console.html")));
    QVERIFY(QFile::exists(local.filePath("LoRa/Brightfen Clocksync/clocksync.zip")));
    QVERIFY(QFile::exists(local.filePath("NB IoT/Brightfen Cell Setup/cell.bin")));

    // Recorded folders, but not the archive.
    QCOMPARE(settings()->value("Path/Brightfen Console").toString(),
             local.filePath("LoRa/Brightfen Console"));
    QCOMPARE(settings()->value("Path/Brightfen Cell Setup").toString(),
             local.filePath("NB IoT/Brightfen Cell Setup"));
    QCOMPARE(settings()->value("Path/Brightfen Clocksync").toString(), QString());
    QCOMPARE(settings()->value("MSVC/Inst").toBool(), true);

    // Both installers ran (the runtime was added since it was not installed), each with its row,
    // and the drivers folder is gone.
    QVERIFY(QFile::exists(marks + "/cp210x"));
    QVERIFY(QFile::exists(marks + "/msvc"));
    const QString installed = russian() ? " установлен" : " installed";
    const QStringList rows = logRows(wizard.progressPage);
    QVERIFY2(rows.contains(driversFolder + "/CP210x/x64/cp210x-setup.exe" + installed),
             qPrintable(rows.join('\n')));
    QVERIFY2(rows.contains(driversFolder + "/MSVC/vc_redist.exe" + installed), qPrintable(rows.join('\n')));
    QVERIFY(rows.contains((russian() ? "Компонент " : "Component ") + QString("console.bin") +
                          (russian() ? " загружен" : " loaded")));
    QVERIFY(!QDir(driversFolder).exists());
    QCOMPARE(wizard.progressPage->findChild<QProgressBar *>("progressBar")->value(), 100);

    // The finished run's thread was let go (it ends and deletes itself).
    QVERIFY(wizard.progressPage->runThread() == nullptr);
    destroyInstallWizard(wizard);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ProgressTest::cancelStopsRunningDownload() {
    QTemporaryDir tree;
    QTemporaryDir local;
    QVERIFY(writeTestFile(tree.path() + remoteRoot + "Brightfen Meter/big.bin", QByteArray(40 << 20, 'm')));
    AsyncsshServer server(tree.path(), {"--max-read", "1024"});
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    settings()->setValue("MSVC/Inst", true);
    settings()->setValue("Path/Brightfen Meter", QString());

    InstallContext context;
    context.selectedLoRa.insert("Brightfen Meter", true);
    context.groupFolders["LoRa"] = local.path();
    auto *window = new ProgressBarWindow(&context);
    QSignalSpy teardown(window, &ProgressBarWindow::Delete_Install_Window);
    BoxAnswerer boxes;
    window->Show();
    QPointer<QThread> thread = window->runThread();
    QVERIFY(thread);
    const QString downloading = russian() ? "Загрузка..." : "Downloading...";
    QTRY_VERIFY_WITH_TIMEOUT(labelText(window, "statusLabel").startsWith(downloading), 20000);

    QTest::mousePress(window->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);
    QCOMPARE(teardown.count(), 1);
    QCOMPARE(labelText(window, "statusLabel"),
             russian() ? QString("Остановка загрузки...") : QString("Stopping the download..."));
    // The worker stopped between chunks, so the thread had ended before the wizard was told to close.
    QVERIFY(thread);
    QVERIFY(thread->isFinished());
    QTest::mouseRelease(window->findChild<QPushButton *>("cancelButton"), Qt::LeftButton);

    delete window;
    QTRY_VERIFY(thread.isNull());
    QTest::qWait(100);
    QVERIFY(boxes.titles.isEmpty());
    // Nothing of the cancelled file was installed or recorded.
    QVERIFY(!QFile::exists(local.filePath("Brightfen Meter/big.bin")));
    QCOMPARE(settings()->value("Path/Brightfen Meter").toString(), QString());
}

void ProgressTest::closingWizardDuringRunReleasesThread() {
    QTemporaryDir tree;
    QTemporaryDir local;
    QVERIFY(writeTestFile(tree.path() + remoteRoot + "Brightfen Bridge/big.bin", QByteArray(40 << 20, 'b')));
    AsyncsshServer server(tree.path(), {"--max-read", "1024"});
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    settings()->setValue("MSVC/Inst", true);

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
    QTRY_VERIFY_WITH_TIMEOUT(labelText(wizard.progressPage, "statusLabel")
                                 .startsWith(russian() ? "Загрузка..." : "Downloading..."),
                             20000);

    // The title-bar close does not wait for the run.
    wizard.container->close();
    QCOMPARE(teardowns, 1);
    QVERIFY(thread && thread->isRunning());
    QTRY_VERIFY(progress.isNull());
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QTest::qWait(100);
    QVERIFY(boxes.titles.isEmpty());
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
    BoxAnswerer boxes;
    window->Show();
    QTRY_COMPARE_WITH_TIMEOUT(teardown.count(), 1, 30000);
    QCOMPARE(boxes.titles, QStringList{"Error!"});
    QCOMPARE(boxes.texts.value(0),
             russian() ? QString("Не удалось подключится к серверу!\nПопрбуйте установить ПО позже или "
                                 "воспользуйтесь офлайн установщиком")
                       : QString("Failed to connect to the server!\nTry installing the software later or use "
                                 "the offline installer."));
    QCOMPARE(labelText(window, "statusLabel"), russian() ? QString("Попытка присоединение к серверу...")
                                                         : QString("Attempting to join the server..."));
    QVERIFY(window->runThread() == nullptr);
    // A later wizard starts counting afresh.
    QCOMPARE(int(connectFailures), 0);
    delete window;
}

// The texts above follow the language of the process; this runs the text checks again in Russian.
void ProgressTest::russianLocaleShowsRussianTexts() {
    if (russian())
        QSKIP("already running in a Russian locale");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "ru_RU.UTF-8");
    env.insert("LANG", "ru_RU.UTF-8");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"timeLabelFollowsByteCounts", "logRowsAndRecordedFolders", "thirdFailedConnectionGivesUp"});
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    QVERIFY2(output.contains("language: ru"), qPrintable(output));
    QVERIFY2(output.contains("Totals: 5 passed, 0 failed"), qPrintable(output));
}

QTEST_MAIN(ProgressTest)
#include "tst_progress.moc"
