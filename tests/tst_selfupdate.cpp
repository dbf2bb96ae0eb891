// The program replaces its own running file from OpenSSH sshd, restarts into it, and the new one cleans up.
//
// The old program is a copy of this test executable, placed in a temporary program folder under the
// program's file name and started from there: it runs the real update check, the real update run and
// the tray controller's real restart. The server holds the Quillon program that the project builds.

#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"
#include "transfer/UpdateChecker.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const char childSwitch[] = "--act-as-old-program";
const QString builtProgram = QStringLiteral(QUILLON_BINARY_DIR "/") + Platform::programFileName();

QByteArray md5Of(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "missing";
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

// Process ids whose executable is exactly this file (on Windows: the first one of that name).
QList<qint64> processesRunning(const QString &path) {
    QList<qint64> found;
#ifdef Q_OS_UNIX
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isNumber = false;
        const qint64 id = entry.toLongLong(&isNumber);
        if (isNumber && !canonical.isEmpty() && QFile::symLinkTarget("/proc/" + entry + "/exe") == canonical)
            found << id;
    }
#else
    if (const qint64 id = Platform::findProcessByName(QFileInfo(path).fileName()))
        found << id;
#endif
    return found;
}

// Runs a worker moved onto `thread` until the thread quits.
void runThread(QThread &thread) {
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    thread.wait();
    QCoreApplication::processEvents();
}

// The old program: check, update everything, then let the tray controller restart.
int actAsOldProgram(int argc, char *argv[]) {
    QApplication app(argc, argv);
    CEncryptedSettings::getInstance(QCoreApplication::applicationDirPath() + "/settings.ini", programKey);

    QHash<QString, QString> pending;
    QThread checkThread;
    UpdateChecker checker(&pending);
    checker.moveToThread(&checkThread);
    QObject::connect(&checkThread, &QThread::started, &checker, &UpdateChecker::Checking_Updates_On_Server);
    QObject::connect(&checker, &UpdateChecker::Finish_Check_Update, &checkThread, &QThread::quit,
                     Qt::DirectConnection);
    runThread(checkThread);
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        std::printf("PENDING %s\n", qPrintable(it.key()));

    QHash<QString, bool> everything;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        everything.insert(it.key(), true);
    QThread updateThread;
    Downloader downloader(everything, &pending);
    downloader.moveToThread(&updateThread);
    QObject::connect(&updateThread, &QThread::started, &downloader, &Downloader::Update);
    QObject::connect(&downloader, &Downloader::Finish_Update, &updateThread, &QThread::quit,
                     Qt::DirectConnection);
    QObject::connect(&downloader, &Downloader::Error_connection, &updateThread, &QThread::quit,
                     Qt::DirectConnection);
    runThread(updateThread);

    const QString folder = QCoreApplication::applicationDirPath();
    std::printf("ASIDE %s\n", md5Of(folder + "/" + Platform::oldProgramFileName()).constData());
    std::printf("PLACED %s\n", md5Of(QCoreApplication::applicationFilePath()).constData());
    std::fflush(stdout);

    // The update list has closed: the tray controller restarts into the new file and quits.
    MainTrayIcon tray;
    QMetaObject::invokeMethod(&tray, "Delete_Updates_Window", Qt::QueuedConnection);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); }); // no restart happened
    return app.exec();
}

} // namespace

class SelfUpdateTest : public QObject {
    Q_OBJECT

private slots:
    void programReplacesItselfAndRestartsIntoTheNewFile() {
        const QString reason = OpensshServer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QVERIFY2(QFile::exists(builtProgram), "build the Quillon target first");

        // The server's tree lies under /run: sshd refuses a chroot below the world-writable /tmp.
        QTemporaryDir tree("/run/quillon-selfupdate-XXXXXX");
        QVERIFY(tree.isValid());
        const QString served =
            tree.filePath("upload/Softwares/For Download/Quillon/" + Platform::programFileName());
        QVERIFY(QDir().mkpath(QFileInfo(served).path()));
        QVERIFY(QFile::copy(builtProgram, served));
        OpensshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));

        // The program folder: the old program and its settings, which name the server.
        QTemporaryDir programFolder;
        const QString program = programFolder.filePath(Platform::programFileName());
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        const QByteArray oldSum = md5Of(program), newSum = md5Of(builtProgram);
        QVERIFY(oldSum != newSum);
        const QString settingsFile = useTestSettings();
        CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
        pointSettingsAt(server);
        for (const QString &name : updatableComponents())
            settings->setValue("Path/" + name, "");
        settings->setValue("Path/Quillon", programFolder.path());
        settings->setValue("Start/FirstStart", true);
        QVERIFY(QFile::copy(settingsFile, programFolder.filePath("settings.ini")));

        // Output goes to files, not pipes: the restarted program inherits them and must not lose its
        // reader when the old one ends.
        QTemporaryDir outputFolder;
        QProcess old;
        old.setWorkingDirectory(programFolder.path());
        old.setStandardOutputFile(outputFolder.filePath("out"));
        old.setStandardErrorFile(outputFolder.filePath("err"));
        old.start(program, {childSwitch});
        QVERIFY(old.waitForFinished(120000));
        QFile outputFile(outputFolder.filePath("out"));
        QVERIFY(outputFile.open(QIODevice::ReadOnly));
        const QString output = QString::fromUtf8(outputFile.readAll());
        QVERIFY2(old.exitStatus() == QProcess::NormalExit && old.exitCode() == 0, qPrintable(output));

        // After the update run: the old file aside, the new one in place.
        QVERIFY2(output.contains("PENDING " + program), qPrintable(output));
        QVERIFY2(output.contains("ASIDE " + oldSum), qPrintable(output));
        QVERIFY2(output.contains("PLACED " + newSum), qPrintable(output));

        // The restart started the new program, whose start-up ran the clean-up script.
        const QString oldFile = programFolder.filePath(Platform::oldProgramFileName());
        const QString script = programFolder.filePath(Platform::cleanupScriptName());
        QTRY_VERIFY2_WITH_TIMEOUT(!QFile::exists(oldFile) && !QFile::exists(script),
                                  qPrintable(QDir(programFolder.path()).entryList(QDir::Files).join(", ")),
                                  20000);
        QList<qint64> restarted;
        QTRY_VERIFY_WITH_TIMEOUT(!(restarted = processesRunning(program)).isEmpty(), 10000);
        QCOMPARE(md5Of(program), newSum);
        QVERIFY(QFileInfo(program).isExecutable());
        for (qint64 id : restarted)
#ifdef Q_OS_UNIX
            ::kill(pid_t(id), SIGTERM);
#else
            QProcess::execute("taskkill", {"/F", "/PID", QString::number(id)});
#endif
        QTRY_VERIFY_WITH_TIMEOUT(processesRunning(program).isEmpty(), 10000);
    }
};

int main(int argc, char *argv[]) {
    if (argc > 1 && qstrcmp(argv[1], childSwitch) == 0)
        return actAsOldProgram(argc, argv);
    QApplication app(argc, argv);
    SelfUpdateTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_selfupdate.moc"
