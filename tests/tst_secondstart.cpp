// A second start of the program in its folder calls the running one and leaves without touching anything;
// a killed program blocks nothing, two folders run side by side, and the command-line client runs beside.
// The programs are copies of the built program, started from temporary program folders.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString builtProgram = QStringLiteral(QUILLON_BINARY_DIR "/Quillon");
const QString cliProgram = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");

// A program folder with a copy of the program and the given settings file.
struct ProgramFolder {
    QTemporaryDir folder;
    explicit ProgramFolder(const QString &settingsFile) {
        QFile::copy(builtProgram, program());
        if (!settingsFile.isEmpty())
            QFile::copy(settingsFile, folder.filePath("settings.ini"));
    }
    QString path() const { return folder.path(); }
    QString program() const { return folder.filePath("Quillon"); }
};

// A started program, killed at the latest when the object goes.
struct Started {
    QProcess process;
    explicit Started(const ProgramFolder &folder) {
        process.setWorkingDirectory(folder.path());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(folder.program(), QStringList());
    }
    ~Started() { kill(); }
    bool running() const { return process.state() == QProcess::Running; }
    void kill() {
        process.kill();
        process.waitForFinished(10000);
    }
};

// Runs a later start to its end; its exit code, -1 when it did not end in time.
int laterStart(const ProgramFolder &folder) {
    Started start(folder);
    if (!start.process.waitForFinished(30000) || start.process.exitStatus() != QProcess::NormalExit)
        return -1;
    return start.process.exitCode();
}

} // namespace

class SecondStartTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(builtProgram), "build the Quillon target first");
        useTestSettings();
        // No server answers on port 1, and the welcome window is not wanted.
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        settingsStore()->setValue("SFTP/port", 1);
        settingsStore()->setValue("Start/FirstStart", 1);
    }

    void secondStartCallsTheHolderAndTouchesNothing() {
        ProgramFolder folder{QString()};
        QVERIFY(writeTestFile(folder.path() + "/settings.ini", "the running program's settings"));
        const QDateTime saved = QFileInfo(folder.path() + "/settings.ini").lastModified();
        // A clean-up script that a start would run.
        const QString script = folder.path() + "/" + Platform::cleanupScriptName();
        QVERIFY(writeTestFile(script, "touch '" + QFile::encodeName(folder.path()) + "/script ran'\n"));

        // This test process holds the folder, as the running program does.
        QVERIFY(Platform::claimProgramFolder(folder.path()));
        int calls = 0;
        QObject owner;
        Platform::listenForLaterStarts(&owner, [&calls] { ++calls; });
        QCOMPARE(laterStart(folder), 0);
        QTRY_COMPARE(calls, 1);
        QCOMPARE(readTestFile(folder.path() + "/settings.ini"), QByteArray("the running program's settings"));
        QCOMPARE(QFileInfo(folder.path() + "/settings.ini").lastModified(), saved);
        QVERIFY(QFile::exists(script));
        QVERIFY(!QFile::exists(folder.path() + "/script ran"));
        QVERIFY(!QFile::exists(folder.path() + "/LogFile.log"));

        // Another folder's call does not reach this holder; once let go, nobody answers.
        QTemporaryDir elsewhere;
        QVERIFY(!Platform::callRunningProgram(elsewhere.path()));
        Platform::releaseProgramFolder();
        QVERIFY(!Platform::callRunningProgram(folder.path()));
        QTest::qWait(50);
        QCOMPARE(calls, 1);
    }

    void runningProgramKeepsItsFolderUntilKilled() {
        const QString settingsFile = useTestSettings();
        ProgramFolder first(settingsFile), other(settingsFile);

        auto running = std::make_unique<Started>(first);
        QTRY_VERIFY_WITH_TIMEOUT(Platform::callRunningProgram(first.path()), 20000);
        QCOMPARE(laterStart(first), 0);
        QVERIFY(running->running());

        // Another user's copy in its own folder runs side by side.
        Started neighbour(other);
        QTRY_VERIFY_WITH_TIMEOUT(Platform::callRunningProgram(other.path()), 20000);
        QVERIFY(running->running());

        // The command-line client works beside the running program, on the same settings.
        const ProgramRun cli =
            runProgram(cliProgram, {"--settings", first.path() + "/settings.ini", "check"}, first.path());
        QCOMPARE(cli.exitCode, 2); // no server on port 1
        QVERIFY(running->running());

        // A killed program leaves its lock behind, which the next start takes over.
        running->kill();
        QVERIFY(!Platform::callRunningProgram(first.path()));
        running = std::make_unique<Started>(first);
        QTRY_VERIFY_WITH_TIMEOUT(Platform::callRunningProgram(first.path()), 20000);
        QCOMPARE(laterStart(first), 0);
        QVERIFY(running->running());
        QVERIFY(neighbour.running());
    }
};

QUILLON_GUILESS_TEST_MAIN(SecondStartTest)
#include "tst_secondstart.moc"
