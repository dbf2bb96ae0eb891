// Tests of the POSIX platform layer with real processes, files and scripts, and of one program per folder.

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"

#include <QtTest>
#include <csignal>
#include <sys/stat.h>

namespace {

// A started program, killed at the latest when the object goes.
struct Running : QProcess {
    Running(const QString &program, const QStringList &arguments, const QString &folder = {}) {
        setWorkingDirectory(folder);
        start(program, arguments);
    }
    ~Running() override {
        if (processId() > 0)
            ::kill(-pid_t(processId()), SIGKILL); // and what it started, where it leads a process group
        kill();
        waitForFinished(10000);
    }
};

// A copy of the program in the folder, under the name it shows as its executable when it runs.
QString copyAs(const QTemporaryDir &folder, const QString &name, const QString &program = "/bin/sleep") {
    return QFile::copy(program, folder.filePath(name)) ? folder.filePath(name) : QString();
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
    QTemporaryDir home;

private slots:
    void answersFollowTheSystem() {
        QVERIFY(Platform::isProgramFile("/opt/Brightfen/Quillon") && Platform::isProgramFile("Quillon"));
        for (const char *other : {"/o/MyQuillon", "/o/Quillon.bak", "/o/quillon", "/Quillon/readme"})
            QVERIFY2(!Platform::isProgramFile(other), other);
        // To check: ".exe" names, existing or not, and executable files.
        QVERIFY(Platform::isProgramToCheck("Console.exe") && Platform::isProgramToCheck("setup.exe.config"));
        QVERIFY(Platform::isProgramToCheck(copyAs(home, "run")) && writeTestFile(home.filePath("txt"), ""));
        for (const QString &other : {home.filePath("txt"), home.path(), home.filePath("Console.EXE")})
            QVERIFY2(!Platform::isProgramToCheck(other), qPrintable(other));

        // A newer minor version beats any service pack (the catalog's rows check the versions themselves);
        // nothing pretended: no Windows at all.
        const auto atLeast = &Platform::isWindowsVersionOrGreater;
        Platform::setVersionForTesting(6, 1);
        QVERIFY(atLeast(6, 0, 3) && atLeast(6, 1, 0) && !atLeast(6, 1, 1) && !atLeast(6, 2, 0));
        Platform::setVersionForTesting(-1, 0);
        QVERIFY(!atLeast(5, 1, 0));

        // Fetched files keep the server's bits, without set-user-id, always the owner's; none given: kept.
        const QString path = home.filePath("setup");
        QVERIFY(writeTestFile(path, "setup"));
        for (const auto &[remote, local] :
             {std::pair{0100755u, 0755u}, {0640u, 0640u}, {04711u, 0711u}, {0444u, 0644u}, {0u, 0644u}}) {
            Platform::applyRemotePermissions(path, remote);
            struct stat info = {};
            QVERIFY(stat(QFile::encodeName(path).constData(), &info) == 0);
            QCOMPARE(info.st_mode & 07777, local);
        }
    }

    void processesAreFoundByNameWhileTheyRun() {
        // A new process group's shell starts two programs and becomes sleep(1), which never reaps them.
        Running parent("setsid", {"sh", "-c", "\"$0\" 30 & echo $!; \"$1\" 30 & echo $!; exec sleep 30",
                                  copyAs(home, "FirstProbeTwin"), copyAs(home, "SecondProbeTwin")});
        QTRY_COMPARE(parent.peek(100).count('\n'), 2);
        const qint64 first = parent.readLine().toLongLong(), second = parent.readLine().toLongLong();
        // /proc lists by ascending id, so the earlier match is found; deleting its file keeps its name.
        const qint64 earlier = qMin(first, second), later = qMax(first, second);
        QTRY_COMPARE(Platform::findProcessByName("ProbeTwin"), earlier);
        QVERIFY(QFile::remove(home.filePath(earlier == first ? "FirstProbeTwin" : "SecondProbeTwin")));
        QVERIFY(!Platform::findProcessByName("probetwin") && !Platform::findProcessByName("Twin (deleted)"));
        ::kill(pid_t(earlier), SIGKILL); // ended but not reaped: still listed, yet not running
        QTRY_VERIFY(!Platform::isProcessRunning(earlier) && QFile::exists(QString("/proc/%1").arg(earlier)));
        QTRY_COMPARE(Platform::findProcessByName("ProbeTwin"), later);
    }

    void cleanupScriptDeletesOldProgramUntilGoneThenItself() {
        // A quote and spaces in the folder name must survive the script's quoting. rm -f cannot remove a
        // folder: an "Old" folder stands for an old program file that is not free yet.
        const QString old = home.filePath("Brightfen's Quillon/Old");
        const QString script = home.filePath("Brightfen's Quillon/delete.sh");
        QVERIFY(QDir().mkpath(old + "/in use") && writeTestFile(script, Platform::cleanupScriptText(old)));
        QStringList arguments;
        Running cleanup(Platform::cleanupScriptProgram(script, &arguments), arguments);
        QVERIFY(!cleanup.waitForFinished(500) && QFile::exists(script));
        QVERIFY(QDir(old).removeRecursively());
        QVERIFY(cleanup.waitForFinished(5000) && cleanup.exitCode() == 0 && !QFile::exists(script));
    }

    void startWithSystemLeavesOneEntryOrNone() {
        // Below XDG_CONFIG_HOME, not HOME's ".config" (on and off from the settings window: the windows
        // test). Characters special inside the quotes of an Exec key are escaped, backslashes twice over.
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("xdg")));
        const QString entry = home.filePath("xdg/autostart/Quillon.desktop");
        QVERIFY(Platform::setStartWithSystem(true, "/opt/a\"b $c\\d%e/Quillon"));
        QVERIFY(readTestFile(entry).contains("\nExec=\"/opt/a\\\\\"b \\\\$c\\\\\\\\d%%e/Quillon\"\n"));
        QVERIFY(Platform::setStartWithSystem(false, "/opt/Quillon") && !QFile::exists(entry));
        QVERIFY(Platform::setStartWithSystem(false, "/opt/Quillon")); // nothing left to remove
    }

    void oneProgramPerFolder() {
        const QString settingsFile = useTestSettings();
        settingsStore()->setValue("SFTP/IP", "127.0.0.1"); // no server answers here
        settingsStore()->setValue("SFTP/port", 1);
        QTemporaryDir held, other;
        for (const QTemporaryDir *folder : {&held, &other})
            copyAs(*folder, "Quillon", QUILLON_BINARY_DIR "/Quillon");
        QVERIFY(QFile::copy(settingsFile, other.filePath("settings.ini")));
        // This test holds a folder as the running program does: a later start there calls it and leaves
        // without writing settings, running the clean-up script or logging.
        QVERIFY(writeTestFile(held.filePath("delete.sh"), ""));
        QVERIFY(Platform::claimProgramFolder(held.path()) && QFile::exists(held.filePath("Quillon.lock")));
        int calls = 0;
        Platform::listenForLaterStarts(this, [&calls] { ++calls; });
        QCOMPARE(runProgram(held.filePath("Quillon"), {}, held.path(), 30000).exitCode, 0);
        QTRY_COMPARE(calls, 1);
        QVERIFY(QFile::exists(held.filePath("delete.sh")) && !QFile::exists(held.filePath("LogFile.log")));
        QVERIFY(!QFile::exists(held.filePath("settings.ini")));
        // Another folder's program runs beside, and the command-line client; killed, it blocks nothing.
        for (int start = 0; start < 2; ++start) {
            Running running(other.filePath("Quillon"), {}, other.path());
            QTRY_VERIFY_WITH_TIMEOUT(Platform::callRunningProgram(other.path()), 20000);
            const QStringList check{"--settings", other.filePath("settings.ini"), "check"};
            QCOMPARE(runProgram(QUILLON_BINARY_DIR "/tools/quillon-cli", check, other.path()).exitCode, 2);
            QCOMPARE(runProgram(other.filePath("Quillon"), {}, other.path(), 30000).exitCode, 0);
            QVERIFY(running.state() == QProcess::Running);
        }
        // Calls to the other folder never reached this holder; once let go, nobody answers.
        Platform::releaseProgramFolder();
        QVERIFY(!Platform::callRunningProgram(held.path()));
        QTest::qWait(50);
        QCOMPARE(calls, 1);
    }
};

QUILLON_GUILESS_TEST_MAIN(TestPlatform)
#include "tst_platform.moc"
