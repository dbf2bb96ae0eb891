// The program replaces its own running file from OpenSSH sshd (the asyncssh server where sshd cannot run),
// restarts into it, and the new one cleans up.
// The old program is a copy of this test executable, run from a program folder under the program's file
// name; the server holds the Quillon program that the project builds.

#include "support/DownloaderRun.h"
#include "support/PublisherKeys.h"
#include "support/TestMain.h"

#include "app/MainTrayIcon.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
#include "transfer/PublisherTrust.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

static const char childSwitch[] = "--act-as-old-program";

static QByteArray md5Of(const QString &path) {
    return QCryptographicHash::hash(readTestFile(path), QCryptographicHash::Md5).toHex();
}

// The id of a process running this program file, 0 when none (on Windows: the first of its name).
static qint64 running(const QString &program) {
#ifdef Q_OS_WIN
    return Platform::findProcessByName(QFileInfo(program).fileName());
#else
    for (const QString &id : QDir("/proc").entryList(QDir::Dirs))
        if (QFile::symLinkTarget("/proc/" + id + "/exe") == program)
            return id.toLongLong();
    return 0;
#endif
}

// The old program: the real check and update run, then the update list closes and the tray controller
// restarts into the new file.
static int actAsOldProgram(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const QString folder = QCoreApplication::applicationDirPath();
    CEncryptedSettings::getInstance(folder + "/settings.ini", programKey);
    QHash<QString, QString> pending = checkFound();
    updateRun(&pending);
    if (!QFile::exists(folder + "/" + Platform::oldProgramFileName()))
        return 3; // nothing moved aside: no restart can follow
    std::printf("ASIDE %s\n", md5Of(folder + "/" + Platform::oldProgramFileName()).constData());
    MainTrayIcon tray;
    QMetaObject::invokeMethod(&tray, "Delete_Updates_Window", Qt::QueuedConnection);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); }); // no restart happened
    return app.exec();
}

class SelfUpdateTest : public QObject {
    Q_OBJECT
private slots:
    void programReplacesItselfAndRestartsIntoTheNewFile_data() {
        QTest::addColumn<bool>("signedByPublisher");
        QTest::addColumn<bool>("changedAfterSigning");
        QTest::newRow("no publisher key") << false << false;
        QTest::newRow("signed by the publisher") << true << false;
        QTest::newRow("changed on the server after signing") << true << true;
    }
    // A program file that does not match the signed manifest is never put in place, so never started.
    void programReplacesItselfAndRestartsIntoTheNewFile() {
        QFETCH(bool, signedByPublisher);
        QFETCH(bool, changedAfterSigning);
        const QString built = QUILLON_BINARY_DIR "/" + Platform::programFileName();
        QVERIFY2(QFile::exists(built), "build the Quillon target first");
        QTemporaryDir tree, programFolder;
        const QString served = tree.path() + componentsRoot + "Quillon/" + Platform::programFileName();
        QVERIFY(QDir().mkpath(QFileInfo(served).path()) && QFile::copy(built, served));
        QTemporaryDir keys;
        useTestSettings();
        settingsStore()->remove(PublisherTrust::keySetting);
        if (signedByPublisher) {
            const QString key = makePublisherKey(keys.filePath("publisher"));
            QVERIFY(!key.isEmpty() &&
                    publishTree(tree.path() + componentsRoot.chopped(1), keys.filePath("publisher")));
            settingsStore()->setValue(PublisherTrust::keySetting, key);
        }
        if (changedAfterSigning) {
            QFile program(served);
            QVERIFY(program.open(QIODevice::Append) && program.write("tampered") == 8);
        }
        const auto server = serveEndToEnd(tree.path());
        QVERIFY(server);
        // The program folder: the old program and its settings, which name the server.
        const QString folder = QFileInfo(programFolder.path()).canonicalFilePath();
        const QString program = folder + "/" + Platform::programFileName();
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        pointSettingsAt(*server);
        settingsStore()->setValue("Path/Quillon", folder);
        settingsStore()->setValue("Start/FirstStart", true);
        QVERIFY(QFile::copy(useTestSettings(), folder + "/settings.ini"));

        const ProgramRun old = runProgram(program, {childSwitch}, folder);
        if (changedAfterSigning) {
            QVERIFY2(old.exitCode == 3, qPrintable(old.output + old.errors));
            QCOMPARE(md5Of(program), md5Of(QCoreApplication::applicationFilePath()));
            QVERIFY(!QFile::exists(folder + "/" + Platform::oldProgramFileName()) && running(program) == 0);
            return;
        }
        // The old file went aside, and the restarted new program's start-up ran the clean-up script.
        QVERIFY2(old.exitCode == 0 &&
                     old.output.contains("ASIDE " + md5Of(QCoreApplication::applicationFilePath())),
                 qPrintable(old.output + old.errors));
        QTRY_VERIFY2_WITH_TIMEOUT(!QFile::exists(folder + "/" + Platform::oldProgramFileName()) &&
                                      !QFile::exists(folder + "/" + Platform::cleanupScriptName()),
                                  qPrintable(QDir(folder).entryList(QDir::Files).join(", ")), 20000);
        qint64 restarted = 0;
        QTRY_VERIFY_WITH_TIMEOUT((restarted = running(program)) != 0, 10000);
        QCOMPARE(md5Of(program), md5Of(built));
#ifdef Q_OS_UNIX
        ::kill(pid_t(restarted), SIGTERM);
#else
        QProcess::execute("taskkill", {"/F", "/PID", QString::number(restarted)});
#endif
        QTRY_VERIFY_WITH_TIMEOUT(running(program) == 0, 10000);
    }
};

// Both roles end the way the program does (Platform::endProcess).
QUILLON_TEST_MAIN_WITH(SelfUpdateTest,
                       if (argc > 1 && qstrcmp(argv[1], childSwitch) == 0) return actAsOldProgram(argc, argv);
                       QTEST_MAIN_SETUP())

#include "tst_selfupdate.moc"
