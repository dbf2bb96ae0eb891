// The progress window: its time label and log rows, and real install runs against the asyncssh test server.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "ui/StacketWidget.h"

#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>
#include <QtTest>

namespace {
const QString remoteRoot = "/upload/Softwares/For Download/";

QString textOf(QWidget *window, const char *label) {
    return window->findChild<QLabel *>(label)->text();
}

QStringList logRows(QWidget *window) {
    return qobject_cast<QStringListModel *>(window->findChild<QListView *>("logView")->model())->stringList();
}
} // namespace

class ProgressTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private:
    // The controller's part: counts teardown requests and tears the wizard down as the tray does.
    void tearDown() {
        ++teardowns;
        threadEndedFirst = !runThread || runThread->isFinished();
        statusAtTeardown = textOf(wizard.progressPage, "statusLabel");
        destroyInstallWizard(wizard);
    }
    InstallWizard wizard;
    int teardowns = 0;
    QPointer<QThread> runThread;
    bool threadEndedFirst = false;
    QString statusAtTeardown;

    // Builds the wizard for this context and starts its run as the folder page's Install button does.
    void startRun(InstallContext *context) {
        teardowns = 0;
        wizard = buildInstallWizard(context);
        connectInstallWizardTeardown(wizard, this, &ProgressTest::tearDown);
        wizard.container->show();
        QVERIFY(QMetaObject::invokeMethod(wizard.pathPage, "Push_Next_Button"));
        QVERIFY(wizard.progressPage->isVisible());
        runThread = wizard.progressPage->runThread();
        QVERIFY(runThread);
    }

private slots:
    void initTestCase() { useTestSettings(); }
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"timeLabelAndLogRows", "runEndings:refused three times"}));
    }

    void timeLabelAndLogRows() {
        InstallContext context;
        ProgressBarWindow window(&context);
        QCOMPARE(window.size(), QSize(615, 467));
        QCOMPARE(textOf(&window, "statusLabel"),
                 inLanguage("Joining the server...", "Присоединение к серверу..."));
        QCOMPARE(window.findChild<QPushButton *>("cancelButton")->text(), inLanguage("Cancel", "Отмена"));
        QVERIFY(textOf(&window, "timeLabel").isEmpty());
        const auto call = [&window](const char *slot, int value) {
            return QMetaObject::invokeMethod(&window, slot, Q_ARG(int, value));
        };
        QVERIFY(call("Set_Size_All_Soft", 61000500) &&
                call("Set_Size_All_Soft", 500)); // a total, then a file
        // 1000000 bytes in a tick are 8 Mbps, at which 61000000 bytes take 61 s; over 3600 s shows as none.
        // {bytes counted, then ticks, and the label: elapsed min and sec, remaining min and sec, speed}
        for (const auto &[bytes, ticks, time, speed] :
             std::initializer_list<std::tuple<QList<int>, int, QList<int>, const char *>>{
                 {{400000, 600000}, 1, {0, 1, 1, 1}, "8.000"},
                 {{}, 1, {0, 2, 0, 0}, "0.000"},
                 {{}, 87, {1, 29, 0, 0}, "0.000"},
                 {{1000000}, 1, {1, 30, 1, 1}, "8.000"},
                 {{16000}, 1, {1, 31, 0, 0}, "0.128"},
                 {{61000000 / 3600 + 1}, 1, {1, 32, 59, 59}, "0.136"}}) { // 3599.8 s, truncated
            for (int size : bytes)
                QVERIFY(call("Counter", size));
            for (int i = 0; i < ticks; ++i)
                QVERIFY(QMetaObject::invokeMethod(&window, "Update_Timer_Label"));
            const auto two = [](int n) { return QString("%1").arg(n, 2, 10, QChar('0')); };
            QCOMPARE(textOf(&window, "timeLabel"),
                     inLanguage("Elapsed: %1 min %2 sec\nRemaining approximately: %3 min %4 sec\n"
                                "Download speed: %5 Mbps",
                                "Прошло: %1 мин %2 сек\nОсталось примерно: %3 мин %4 сек\n"
                                "Cкорость загрузки: %5 Мбит/сек")
                         .arg(two(time[0]), two(time[1]), two(time[2]), two(time[3]), speed));
        }

        for (const auto &[name, state] : std::initializer_list<std::pair<QString, int>>{
                 {"C:/Apps/LoRa/Tool/readme.txt", 1}, {"Downloading Brightfen Console", 0}, {"plain.txt", 1}})
            QVERIFY(
                QMetaObject::invokeMethod(&window, "Update_Log", Q_ARG(QString, name), Q_ARG(int, state)));
        QCOMPARE(logRows(&window),
                 (QStringList{inLanguage("Component readme.txt loaded", "Компонент readme.txt загружен"),
                              "Downloading Brightfen Console",
                              inLanguage("Component plain.txt loaded", "Компонент plain.txt загружен")}));
        // The two archives are only unpacked by hand: no folder is recorded for them.
        for (const QString key : {"Brightfen Alerter", "Brightfen Clocksync", "Brightfen Console"}) {
            settingsStore()->setValue("Path/" + key, QString());
            QVERIFY(QMetaObject::invokeMethod(&window, "Write_Path_in_Settings", Q_ARG(QString, key),
                                              Q_ARG(QString, "/opt/" + key)));
            QCOMPARE(settingsStore()->value("Path/" + key).toString(),
                     key.endsWith("Console") ? "/opt/" + key : QString());
        }
    }

    void completeRunRecordsFoldersThenRunsInstallersInTurn() {
        QTemporaryDir tree, local;
        const QString download = tree.path() + remoteRoot, marks = local.filePath("marks");
        const QString drivers = local.filePath("program/Drivers");
        QVERIFY(writeTestFile(download + "Brightfen Console/console.bin", QByteArray(300000, 'c')));
        // Installers: scripts named like Windows ones that note their start and their end; one cannot start.
        for (const QString installer : {"CP210x/x64/cp210x-setup.exe", "MSVC/vc_redist.exe"}) {
            const QByteArray note = "echo " + installer.toUtf8() + " >> '" + marks.toUtf8() + "'\n";
            QVERIFY(writeTestFile(download + installer, "#!/bin/sh\n" + note + "sleep 0.5\n" + note));
            QVERIFY(QFile::setPermissions(download + installer, QFile::ReadOwner | QFile::ExeOwner));
        }
        QVERIFY(writeTestFile(download + "MCP2200/setup.exe", "not a program"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settingsStore()->setValue("Path/Brightfen Console", QString());
        settingsStore()->setValue("MSVC/Inst", false);
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Console", true);
        for (const char *driver : {"CP210x", "MCP2200", "MSVC"})
            context.selectedDrivers.insert(driver, true);
        context.groupFolders = {{"LoRa", local.filePath("LoRa")}, {"Drivers", drivers}};
        const QString previousFolder = QDir::currentPath();
        QDir::setCurrent(local.path()); // its "LogFile.log"
        QPointer<ProgressBarWindow> progress;
        // The box comes once everything before it is done: every row, and the drivers folder gone.
        BoxAnswerer boxes({QMessageBox::Ok}, [&progress, &drivers] {
            return logRows(progress) << (QDir(drivers).exists() ? "folder left" : "folder gone");
        });
        startRun(&context);
        progress = wizard.progressPage;

        // The first installer is seen running alone: they run one after the other, the event loop going on.
        QTRY_COMPARE_WITH_TIMEOUT(readTestFile(marks).count('\n'), 1, 30000);
        QVERIFY(!progress->findChild<QPushButton *>("cancelButton")->isEnabled());
        QCOMPARE(progress->findChild<QProgressBar *>("progressBar")->value(), 100);
        QTRY_COMPARE_WITH_TIMEOUT(teardowns, 1, 30000);
        const QStringList logLines = logFileLines();
        QDir::setCurrent(previousFolder);

        const QStringList notes = QString(readTestFile(marks)).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(notes.size() == 4 && notes[0] == notes[1] && notes[2] == notes[3] && notes[0] != notes[2],
                 qPrintable(notes.join(", "))); // one after the other
        QCOMPARE(context.driverInstallers.size(), 3);
        QStringList rows;
        for (const QString &path : context.driverInstallers)
            rows << path + inLanguage(" installed", " установлен");
        QVERIFY(rows.first().startsWith(drivers + "/"));
        QCOMPARE(boxes.seen.first().state.mid(boxes.seen.first().state.size() - 4), rows << "folder gone");
        QVERIFY(boxes.seen.first().state.contains(
            inLanguage("Component console.bin loaded", "Компонент console.bin загружен")));
        QCOMPARE(boxes.titles(), QStringList{"Complete!"});
        QCOMPARE(boxes.texts(), QStringList{inLanguage("The updates have been successfully installed!",
                                                       "Процесс установки завершен!")});
        const QString failed = drivers + "/MCP2200/setup.exe: ";
        QVERIFY2(logLines.filter("] - Error start installer - " + failed).size() == 1,
                 qPrintable(logLines.join('\n')));

        QCOMPARE(readTestFile(local.filePath("LoRa/Brightfen Console/console.bin")), QByteArray(300000, 'c'));
        QCOMPARE(settingsStore()->value("Path/Brightfen Console").toString(),
                 local.filePath("LoRa/Brightfen Console"));
        QCOMPARE(settingsStore()->value("MSVC/Inst").toBool(), true);
        QTRY_VERIFY(runThread.isNull()); // let go: it ended and deleted itself
    }

    void runEndings_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("status"); // how the status line starts when the wizard is told to close
        QTest::addColumn<bool>("threadEndedFirst");
        QTest::addColumn<QStringList>("box");
        QTest::newRow("cancel") << "cancel" << inLanguage("Stopping the download...", "Остановка загрузки...")
                                << true << QStringList();
        QTest::newRow("wizard closed")
            << "close" << inLanguage("Downloading...", "Загрузка...") << false << QStringList();
        QTest::newRow("refused three times")
            << "refused"
            << inLanguage("Attempting to join the server...", "Попытка присоединение к серверу...") << true
            << QStringList{
                   "Error!",
                   inLanguage("Failed to connect to the server!\nTry installing the software later or use "
                              "the offline installer.",
                              "Не удалось подключится к серверу!\nПопрбуйте установить ПО позже или "
                              "воспользуйтесь офлайн установщиком")};
    }
    void runEndings() {
        QFETCH(QString, ending);
        QTemporaryDir tree, local;
        // 40 MB served 1 KB per read: the run is still fetching it when the test stops it.
        QVERIFY(
            writeTestFile(tree.path() + remoteRoot + "Brightfen Meter/big.bin", QByteArray(40 << 20, 'b')));
        auto server = std::make_unique<AsyncsshServer>(tree.path(), QStringList{"--max-read", "1024"});
        QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
        pointSettingsAt(*server);
        if (ending == "refused")
            server.reset(); // its port now refuses connections
        settingsStore()->setValue("Path/Brightfen Meter", QString());
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Meter", true);
        context.groupFolders["LoRa"] = local.path();
        BoxAnswerer boxes({QMessageBox::Ok});
        startRun(&context);
        QPointer<ProgressBarWindow> progress = wizard.progressPage;
        if (ending != "refused")
            QTRY_VERIFY_WITH_TIMEOUT(
                textOf(progress, "statusLabel").startsWith(inLanguage("Downloading...", "Загрузка...")),
                20000);
        auto *cancel = progress->findChild<QPushButton *>("cancelButton");
        if (ending == "cancel")
            QTest::mousePress(cancel, Qt::LeftButton); // the window waits for the run's end, events going on
        if (ending == "close")
            wizard.container->close(); // the title-bar button does not wait for the run
        QTRY_COMPARE_WITH_TIMEOUT(teardowns, 1, 30000);
        QFETCH(QString, status);
        QVERIFY2(statusAtTeardown.startsWith(status), qPrintable(statusAtTeardown));
        QTEST(threadEndedFirst, "threadEndedFirst");
        QCOMPARE(int(connectFailures), 0); // a later wizard gets its own three attempts
        if (ending == "cancel" && progress)
            QTest::mouseRelease(cancel, Qt::LeftButton); // pressed, not clicked: nothing more happens
        QTRY_VERIFY(progress.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(runThread.isNull(), 10000);
        QTest::qWait(100);
        QCOMPARE(teardowns, 1);
        QTEST(boxes.titles() + boxes.texts(), "box");
        QVERIFY(!QFile::exists(local.filePath("Brightfen Meter/big.bin")));
        QCOMPARE(settingsStore()->value("Path/Brightfen Meter").toString(), QString());
    }
};

QUILLON_TEST_MAIN(ProgressTest)
#include "tst_progress.moc"
