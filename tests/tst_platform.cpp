// Tests of the POSIX platform layer with real processes, files and scripts, and of one program per folder
// with copies of the built program.

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "platform/posix/ProcessTable.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// A started program, killed at the latest when the object goes.
struct Running : QProcess {
    Running(const QString &program, const QStringList &arguments, const QString &folder = {}) {
        setWorkingDirectory(folder);
        start(program, arguments);
        waitForStarted(5000);
    }
    ~Running() override { end(); }
    void end() {
        kill();
        waitForFinished(10000);
    }
};

// A copy of the given program in the folder, under the name it shows as its executable when it runs.
QString copyAs(const QTemporaryDir &folder, const QString &name, const QString &program = "/bin/sleep") {
    QFile::copy(program, folder.filePath(name));
    return folder.filePath(name);
}

mode_t permissionsAfter(const QString &path, quint32 remoteMode) {
    Platform::applyRemotePermissions(path, remoteMode);
    struct stat info = {};
    stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
    QTemporaryDir home;

private slots:
    void programFilesFollowTheSystem() {
        QCOMPARE(QStringList({Platform::programFileName(), Platform::oldProgramFileName(),
                              Platform::cleanupScriptName()}),
                 QStringList({"Quillon", "Old", "delete.sh"}));
        QStringList arguments{"left over"};
        QCOMPARE(Platform::cleanupScriptProgram("/o/delete.sh", &arguments), QStringLiteral("/bin/sh"));
        QCOMPARE(arguments, QStringList{"/o/delete.sh"});
        QVERIFY(Platform::isProgramFile("/opt/Brightfen/Quillon") && Platform::isProgramFile("Quillon"));
        for (const char *other : {"/o/MyQuillon", "/o/Quillon.bak", "/o/quillon", "/Quillon/readme"})
            QVERIFY2(!Platform::isProgramFile(other), other);

        // To check: ".exe" names, existing or not, and executable files.
        QVERIFY(Platform::isProgramToCheck(home.filePath("Console.exe")) &&
                Platform::isProgramToCheck(home.filePath("setup.exe.config")));
        QVERIFY(Platform::isProgramToCheck(copyAs(home, "run")));
        QVERIFY(writeTestFile(home.filePath("notes.txt"), "not a program"));
        for (const QString &other : {home.filePath("notes.txt"), home.path(), home.filePath("Console.EXE")})
            QVERIFY2(!Platform::isProgramToCheck(other), qPrintable(other));
    }

    void processesAreFoundByNameWhileTheyRun() {
        Running first(copyAs(home, "FirstProbeTwin"), {"30"}),
            second(copyAs(home, "SecondProbeTwin"), {"30"});
        // /proc lists processes by ascending id: the earlier of two matches is found.
        const qint64 earlier = qMin(first.processId(), second.processId());
        const qint64 later = qMax(first.processId(), second.processId());
        QCOMPARE(Platform::findProcessByName("ProbeTwin"), earlier);
        QVERIFY(!Platform::findProcessByName("probetwin") && !Platform::findProcessByName("NoSuchProbe"));
        QVERIFY(Platform::isProcessRunning(earlier));
        (earlier == first.processId() ? first : second).end();
        QVERIFY(!Platform::isProcessRunning(earlier) && Platform::isProcessRunning(later));
        QCOMPARE(Platform::findProcessByName("ProbeTwin"), later);

        // A child that ended but that its parent never reaps is still listed, yet not running.
        Running parent("/bin/sh", {"-c", "\"$0\" 0 & echo $!; exec sleep 30", copyAs(home, "ProbeZombie")});
        QVERIFY(parent.waitForReadyRead(5000));
        const long zombie = parent.readLine().trimmed().toLong();
        QTRY_VERIFY_WITH_TIMEOUT(!Platform::isProcessRunning(zombie), 5000);
        QVERIFY(QDir("/proc/" + QString::number(zombie)).exists());
        QVERIFY(!Platform::findProcessByName("ProbeZombie"));

        // A program whose file was deleted keeps its name.
        Running deleted(copyAs(home, "ProbeDeleted"), {"30"});
        QVERIFY(QFile::remove(home.filePath("ProbeDeleted")));
        QCOMPARE(ProcessTable::executableName(long(deleted.processId())), std::string("ProbeDeleted"));
    }

    void cleanupScriptDeletesOldProgramUntilGoneThenItself() {
        // A quote and spaces in the folder name must survive the script's quoting.
        const QString folder = home.filePath("Brightfen's Quillon");
        const QString oldProgram = folder + "/Old", script = folder + "/delete.sh";
        QVERIFY(writeTestFile(folder + "/Quillon", "new"));
        for (const bool inUse : {false, true}) {
            // rm -f cannot remove a folder: an "Old" folder stands for a file that is not free yet.
            QVERIFY(inUse ? QDir(folder).mkpath("Old/in use") : writeTestFile(oldProgram, "old"));
            QVERIFY(writeTestFile(script, Platform::cleanupScriptText(oldProgram)));
            QStringList arguments;
            Running cleanup(Platform::cleanupScriptProgram(script, &arguments), arguments);
            if (inUse) {
                QVERIFY(!cleanup.waitForFinished(500) && QFile::exists(script));
                QVERIFY(QDir(oldProgram).removeRecursively());
            }
            QVERIFY(cleanup.waitForFinished(5000) && cleanup.exitCode() == 0);
            QVERIFY(!QFile::exists(oldProgram) && !QFile::exists(script));
            QCOMPARE(readTestFile(folder + "/Quillon"), QByteArray("new"));
        }
    }

    void startWithSystemLeavesOneEntryOrNone() {
        // Below XDG_CONFIG_HOME, which is not HOME's ".config" here.
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("xdg")));
        QVERIFY(!Platform::startsWithSystem());
        QVERIFY(Platform::setStartWithSystem(true, "/opt/B Quillon/Quillon"));
        QVERIFY(Platform::setStartWithSystem(true, "/opt/B Quillon/Quillon") && Platform::startsWithSystem());
        QCOMPARE(QDir(home.filePath("xdg/autostart")).entryList(QDir::Files), QStringList{"Quillon.desktop"});
        QCOMPARE(
            readTestFile(home.filePath("xdg/autostart/Quillon.desktop")),
            QByteArray("[Desktop Entry]\nType=Application\nName=Quillon\nExec=\"/opt/B Quillon/Quillon\"\n"
                       "Terminal=false\nX-GNOME-Autostart-enabled=true\n"));
        // Characters special inside the quotes of an Exec key are escaped, backslashes twice over.
        QVERIFY(Platform::setStartWithSystem(true, "/opt/a\"b$c\\d%e/Quillon"));
        QVERIFY(readTestFile(home.filePath("xdg/autostart/Quillon.desktop"))
                    .contains("\nExec=\"/opt/a\\\\\"b\\\\$c\\\\\\\\d%%e/Quillon\"\n"));
        QVERIFY(Platform::setStartWithSystem(false, "/opt/Quillon"));
        QVERIFY(Platform::setStartWithSystem(false, "/opt/Quillon") && !Platform::startsWithSystem());
        QVERIFY(QDir(home.filePath("xdg/autostart")).isEmpty());
    }

    void versionsAndPermissionsFollowWhatIsReported() {
        const auto atLeast = &Platform::isWindowsVersionOrGreater;
        Platform::setVersionForTesting(6, 1);
        QVERIFY(atLeast(5, 1, 0) && atLeast(6, 0, 3) &&
                atLeast(6, 1, 0)); // a newer minor beats service packs
        QVERIFY(!atLeast(6, 1, 1) && !atLeast(6, 2, 0) && !atLeast(10, 0, 0));
        Platform::setVersionForTesting(-1, 0);
        QVERIFY(!atLeast(5, 1, 0)); // nothing pretended: no Windows at all

        const QString path = home.filePath("setup");
        QVERIFY(writeTestFile(path, "setup"));
        QCOMPARE(permissionsAfter(path, 0100755), mode_t(0755)); // a regular file's full mode, as SFTP has it
        QCOMPARE(permissionsAfter(path, 0640), mode_t(0640));
        QCOMPARE(permissionsAfter(path, 04711), mode_t(0711)); // set-user-id is not carried over
        QCOMPARE(permissionsAfter(path, 0444), mode_t(0644));  // the owner can still replace it later
        QCOMPARE(permissionsAfter(path, 0), mode_t(0644));     // no permissions reported: left alone
    }

    void oneProgramPerFolder() {
        const QString settingsFile = useTestSettings();
        // No server answers on port 1, and the welcome window is not wanted.
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        settingsStore()->setValue("SFTP/port", 1);
        settingsStore()->setValue("Start/FirstStart", 1);
        QTemporaryDir held, other;
        const QString heldProgram = copyAs(held, "Quillon", QUILLON_BINARY_DIR "/Quillon");
        const QString otherProgram = copyAs(other, "Quillon", QUILLON_BINARY_DIR "/Quillon");
        QVERIFY(QFile::copy(settingsFile, other.filePath("settings.ini")));

        // This test holds a folder as the running program does: a later start there calls it and leaves
        // without touching the settings, running the clean-up script or logging.
        const QString settings = held.filePath("settings.ini");
        QVERIFY(writeTestFile(settings, "the running program's") &&
                writeTestFile(held.filePath("delete.sh"), ""));
        const QDateTime saved = QFileInfo(settings).lastModified();
        QVERIFY(Platform::claimProgramFolder(held.path()) && QFile::exists(held.filePath("Quillon.lock")));
        int calls = 0;
        QObject owner;
        Platform::listenForLaterStarts(&owner, [&calls] { ++calls; });
        QCOMPARE(runProgram(heldProgram, {}, held.path(), 30000).exitCode, 0);
        QTRY_COMPARE(calls, 1);
        QCOMPARE(readTestFile(settings), QByteArray("the running program's"));
        QCOMPARE(QFileInfo(settings).lastModified(), saved);
        QVERIFY(QFile::exists(held.filePath("delete.sh")) && !QFile::exists(held.filePath("LogFile.log")));

        // Another folder's program runs side by side, and the command-line client beside it; killed, it
        // leaves its lock behind, which the next start takes over.
        for (int start = 0; start < 2; ++start) {
            Running running(otherProgram, {}, other.path());
            QTRY_VERIFY_WITH_TIMEOUT(Platform::callRunningProgram(other.path()), 20000);
            const QStringList check{"--settings", other.filePath("settings.ini"), "check"};
            QCOMPARE(runProgram(QUILLON_BINARY_DIR "/tools/quillon-cli", check, other.path()).exitCode, 2);
            QCOMPARE(runProgram(otherProgram, {}, other.path(), 30000).exitCode, 0);
            QVERIFY(running.state() == QProcess::Running);
        }
        QVERIFY(!Platform::callRunningProgram(other.path()));

        // Calls to the other folder never reached this holder; once let go, nobody answers.
        Platform::releaseProgramFolder();
        QVERIFY(!Platform::callRunningProgram(held.path()));
        QTest::qWait(50);
        QCOMPARE(calls, 1);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
