// Tests of the POSIX platform layer with real processes, files and scripts.

#include "support/TestMain.h"
#include "platform/Platform.h"
#include "platform/posix/ProcessTable.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <memory>

namespace {

// A copy of sleep(1) under the given name, so the process shows that name as its executable.
QString sleeperNamed(const QTemporaryDir &folder, const QString &name) {
    const QString path = folder.filePath(name);
    QFile::remove(path);
    if (!QFile::copy(QStringLiteral("/bin/sleep"), path))
        return QString();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

std::unique_ptr<QProcess> startProgram(const QString &path, const QStringList &arguments = {"30"}) {
    auto process = std::make_unique<QProcess>();
    process->start(path, arguments);
    process->waitForStarted(5000);
    return process;
}

void endProgram(QProcess &process) {
    process.kill();
    process.waitForFinished(5000);
}

mode_t permissionBits(const QString &path) {
    struct stat info = {};
    stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Points HOME (and XDG_CONFIG_HOME, when given) at test folders for its lifetime.
class ConfigHome {
public:
    ConfigHome(const QString &home, const QString &config)
        : oldHome(qgetenv("HOME")), oldConfig(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("HOME", QFile::encodeName(home));
        if (config.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    }
    ~ConfigHome() {
        qputenv("HOME", oldHome);
        if (oldConfig.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", oldConfig);
    }

private:
    QByteArray oldHome;
    QByteArray oldConfig;
};

// Writes the clean-up script for the old program and starts it as the program would.
bool startCleanupScript(const QString &script, const QString &oldProgram, QProcess &run) {
    if (!writeTestFile(script, Platform::cleanupScriptText(oldProgram)))
        return false;
    QStringList arguments;
    run.start(Platform::cleanupScriptProgram(script, &arguments), arguments);
    return run.waitForStarted(3000);
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void programNamesFollowTheSystem();
    void programFilesAreRecognisedByTheirExactName();
    void programsToCheckAreExeNamesOrExecutableFiles();
    void runningProgramIsFoundByCaseSensitiveSubstring();
    void programIsRunningUntilItEnds();
    void endedButUnreapedProcessIsNeitherFoundNorRunning();
    void deletedProgramKeepsItsName();
    void onlyTheFirstOfTwoMatchingProgramsIsWatched();
    void startWithSystemLeavesExactlyOneEntryOrNone();
    void startWithSystemFollowsXdgConfigHome();
    void cleanupScriptDeletesOldProgramThenItself();
    void cleanupScriptRetriesUntilOldProgramIsGone();
    void versionAnswersFollowThePretendedVersion();
    void remotePermissionBitsAreKept();
};

void TestPlatform::programNamesFollowTheSystem() {
    QCOMPARE(Platform::programFileName(), QStringLiteral("Quillon"));
    QCOMPARE(Platform::oldProgramFileName(), QStringLiteral("Old"));
    QCOMPARE(Platform::cleanupScriptName(), QStringLiteral("delete.sh"));
    QStringList arguments{"left over"};
    QCOMPARE(Platform::cleanupScriptProgram("/opt/Brightfen/delete.sh", &arguments),
             QStringLiteral("/bin/sh"));
    QCOMPARE(arguments, QStringList{"/opt/Brightfen/delete.sh"});
}

void TestPlatform::programFilesAreRecognisedByTheirExactName() {
    QVERIFY(Platform::isProgramFile("/opt/Brightfen/Quillon"));
    QVERIFY(Platform::isProgramFile("Quillon"));
    QVERIFY(!Platform::isProgramFile("/opt/Brightfen/MyQuillon"));
    QVERIFY(!Platform::isProgramFile("/opt/Brightfen/Quillon.bak"));
    QVERIFY(!Platform::isProgramFile("/opt/Brightfen/quillon"));
    QVERIFY(!Platform::isProgramFile("/opt/Quillon/readme.txt"));
}

void TestPlatform::programsToCheckAreExeNamesOrExecutableFiles() {
    QTemporaryDir folder;
    const QString script = folder.filePath("run.sh");
    const QString text = folder.filePath("notes.txt");
    QVERIFY(QFile(script).open(QIODevice::WriteOnly));
    QVERIFY(QFile(text).open(QIODevice::WriteOnly));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(text, QFile::ReadOwner | QFile::WriteOwner);

    QVERIFY(Platform::isProgramToCheck(folder.filePath("Console.exe"))); // need not exist
    QVERIFY(Platform::isProgramToCheck(folder.filePath("setup.exe.config")));
    QVERIFY(Platform::isProgramToCheck(script));
    QVERIFY(!Platform::isProgramToCheck(text));
    QVERIFY(!Platform::isProgramToCheck(folder.path())); // a folder's x bit does not make it a program
    QVERIFY(!Platform::isProgramToCheck(folder.filePath("missing")));
    QVERIFY(!Platform::isProgramToCheck(folder.filePath("Console.EXE")));
}

void TestPlatform::runningProgramIsFoundByCaseSensitiveSubstring() {
    QTemporaryDir folder;
    auto program = startProgram(sleeperNamed(folder, "MyProbeConsole"));
    QVERIFY(program->state() == QProcess::Running);
    const qint64 id = program->processId();

    QCOMPARE(Platform::findProcessByName("MyProbeConsole"), id);
    QCOMPARE(Platform::findProcessByName("ProbeConsole"), id);
    QCOMPARE(Platform::findProcessByName("probeconsole"), qint64(0));
    QCOMPARE(Platform::findProcessByName("NoSuchProbeProgram"), qint64(0));
    endProgram(*program);
}

void TestPlatform::programIsRunningUntilItEnds() {
    QTemporaryDir folder;
    auto program = startProgram(sleeperNamed(folder, "ShortProbe"), {"0.3"});
    const qint64 id = program->processId();
    QVERIFY(Platform::isProcessRunning(id));
    QVERIFY(program->waitForFinished(5000));
    QVERIFY(!Platform::isProcessRunning(id));
    QCOMPARE(Platform::findProcessByName("ShortProbe"), qint64(0));
    QVERIFY(!Platform::isProcessRunning(0));
    QVERIFY(!Platform::isProcessRunning(-1));
}

void TestPlatform::endedButUnreapedProcessIsNeitherFoundNorRunning() {
    QTemporaryDir folder;
    const QString quick = sleeperNamed(folder, "ProbeZombie");
    // The shell starts the quick program and then becomes sleep(1), which never reaps it.
    auto parent = startProgram("/bin/sh", {"-c", "\"$0\" 0 & echo $!; exec sleep 30", quick});
    QVERIFY(parent->waitForReadyRead(5000));
    const long zombie = parent->readLine().trimmed().toLong();
    QVERIFY(zombie > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!Platform::isProcessRunning(zombie), 5000);
    QVERIFY(QDir("/proc/" + QString::number(zombie)).exists());
    QCOMPARE(Platform::findProcessByName("ProbeZombie"), qint64(0));
    endProgram(*parent);
}

void TestPlatform::deletedProgramKeepsItsName() {
    QTemporaryDir folder;
    const QString path = sleeperNamed(folder, "ProbeDeleted");
    auto program = startProgram(path);
    const qint64 id = program->processId();
    QVERIFY(QFile::remove(path));
    QCOMPARE(QString::fromStdString(ProcessTable::executableName(long(id))), QStringLiteral("ProbeDeleted"));
    QCOMPARE(Platform::findProcessByName("ProbeDeleted"), id);
    endProgram(*program);
}

void TestPlatform::onlyTheFirstOfTwoMatchingProgramsIsWatched() {
    QTemporaryDir folder;
    auto first = startProgram(sleeperNamed(folder, "FirstProbeTwin"));
    auto second = startProgram(sleeperNamed(folder, "SecondProbeTwin"));
    QVERIFY(first->state() == QProcess::Running && second->state() == QProcess::Running);
    // /proc lists processes by ascending id.
    const qint64 earlier = qMin(first->processId(), second->processId());
    const qint64 watched = Platform::findProcessByName("ProbeTwin");
    QCOMPARE(watched, earlier);

    QProcess &watchedProgram = watched == first->processId() ? *first : *second;
    QProcess &otherProgram = watched == first->processId() ? *second : *first;
    endProgram(watchedProgram);
    QVERIFY(!Platform::isProcessRunning(watched));
    QVERIFY(Platform::isProcessRunning(otherProgram.processId()));
    QCOMPARE(Platform::findProcessByName("ProbeTwin"), otherProgram.processId());
    endProgram(otherProgram);
}

void TestPlatform::startWithSystemLeavesExactlyOneEntryOrNone() {
    QTemporaryDir home;
    const ConfigHome configHome(home.path(), QString());
    const QDir autostart(home.filePath(".config/autostart"));

    QVERIFY(!Platform::startsWithSystem());
    QVERIFY(Platform::setStartWithSystem(true, "/opt/Brightfen Quillon/Quillon"));
    QVERIFY(Platform::setStartWithSystem(true, "/opt/Brightfen Quillon/Quillon"));
    QCOMPARE(autostart.entryList(QDir::Files), QStringList{"Quillon.desktop"});
    QVERIFY(Platform::startsWithSystem());
    const QString entry = QString::fromUtf8(readTestFile(autostart.filePath("Quillon.desktop")));
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    QVERIFY(entry.contains("\nType=Application\n"));
    QVERIFY(entry.contains("\nExec=\"/opt/Brightfen Quillon/Quillon\"\n"));

    // Characters that are special inside the quotes of an Exec key are escaped, backslashes twice over.
    QVERIFY(Platform::setStartWithSystem(true, "/opt/a\"b$c\\d/Quillon"));
    QVERIFY(readTestFile(autostart.filePath("Quillon.desktop"))
                .contains("\nExec=\"/opt/a\\\\\"b\\\\$c\\\\\\\\d/Quillon\"\n"));

    QVERIFY(Platform::setStartWithSystem(false, "/opt/Brightfen Quillon/Quillon"));
    QVERIFY(Platform::setStartWithSystem(false, "/opt/Brightfen Quillon/Quillon"));
    QVERIFY(autostart.entryList(QDir::Files).isEmpty());
    QVERIFY(!Platform::startsWithSystem());
}

void TestPlatform::startWithSystemFollowsXdgConfigHome() {
    QTemporaryDir home;
    QTemporaryDir config;
    const ConfigHome configHome(home.path(), config.path());
    QVERIFY(Platform::setStartWithSystem(true, "/opt/Quillon"));
    QVERIFY(QFile::exists(config.filePath("autostart/Quillon.desktop")));
    QVERIFY(!QFile::exists(home.filePath(".config/autostart/Quillon.desktop")));
    QVERIFY(Platform::setStartWithSystem(false, "/opt/Quillon"));
    QVERIFY(!QFile::exists(config.filePath("autostart/Quillon.desktop")));
}

void TestPlatform::cleanupScriptDeletesOldProgramThenItself() {
    QTemporaryDir base;
    // A quote and spaces in the folder name must survive the script's quoting.
    QVERIFY(QDir(base.path()).mkdir("Brightfen's Quillon"));
    const QString folder = base.filePath("Brightfen's Quillon");
    const QString oldProgram = folder + "/Old";
    QVERIFY(QFile::copy("/bin/sleep", oldProgram));
    const QString keep = folder + "/Quillon";
    QVERIFY(QFile::copy("/bin/sleep", keep));
    auto running = startProgram(oldProgram);

    const QString script = folder + "/" + Platform::cleanupScriptName();
    QProcess run;
    QVERIFY(startCleanupScript(script, oldProgram, run));
    QVERIFY(run.waitForFinished(3000));
    QCOMPARE(run.exitCode(), 0);
    QVERIFY(!QFile::exists(oldProgram));
    QVERIFY(!QFile::exists(script));
    QVERIFY(QFile::exists(keep));
    endProgram(*running);
}

void TestPlatform::cleanupScriptRetriesUntilOldProgramIsGone() {
    QTemporaryDir folder;
    // rm -f cannot remove a folder, so an "Old" folder stands for a file that cannot be deleted yet.
    const QString oldProgram = folder.filePath("Old");
    QVERIFY(QDir(folder.path()).mkpath("Old/in use"));
    const QString script = folder.filePath("delete.sh");
    QProcess run;
    QVERIFY(startCleanupScript(script, oldProgram, run));
    QVERIFY(!run.waitForFinished(500));
    QVERIFY(QFile::exists(script));

    QVERIFY(QDir(oldProgram).removeRecursively());
    QVERIFY(run.waitForFinished(5000));
    QVERIFY(!QFile::exists(oldProgram));
    QVERIFY(!QFile::exists(script));
}

void TestPlatform::versionAnswersFollowThePretendedVersion() {
    Platform::setVersionForTesting(-1, 0);
    QVERIFY(!Platform::isWindowsVersionOrGreater(5, 1, 0));
    QVERIFY(!Platform::isWindowsVersionOrGreater(0, 0, 0));

    Platform::setVersionForTesting(6, 1);
    QVERIFY(Platform::isWindowsVersionOrGreater(5, 1, 0));
    QVERIFY(Platform::isWindowsVersionOrGreater(6, 0, 0));
    QVERIFY(Platform::isWindowsVersionOrGreater(6, 0, 3)); // a newer minor version beats any service pack
    QVERIFY(Platform::isWindowsVersionOrGreater(6, 1, 0));
    QVERIFY(!Platform::isWindowsVersionOrGreater(6, 1, 1));
    QVERIFY(!Platform::isWindowsVersionOrGreater(6, 2, 0));
    QVERIFY(!Platform::isWindowsVersionOrGreater(10, 0, 0));

    Platform::setVersionForTesting(10, 0);
    QVERIFY(Platform::isWindowsVersionOrGreater(6, 3, 0));
    QVERIFY(Platform::isWindowsVersionOrGreater(10, 0, 0));
    QVERIFY(!Platform::isWindowsVersionOrGreater(10, 1, 0));

    Platform::setVersionForTesting(-1, 0);
    QVERIFY(!Platform::isWindowsVersionOrGreater(5, 1, 0));
}

void TestPlatform::remotePermissionBitsAreKept() {
    QTemporaryDir folder;
    const QString path = folder.filePath("setup");
    QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    chmod(QFile::encodeName(path).constData(), 0644);

    Platform::applyRemotePermissions(path, 0100755); // a regular file's full mode, as SFTP reports it
    QCOMPARE(permissionBits(path), mode_t(0755));
    Platform::applyRemotePermissions(path, 0640);
    QCOMPARE(permissionBits(path), mode_t(0640));
    Platform::applyRemotePermissions(path, 04711); // set-user-id is not carried over
    QCOMPARE(permissionBits(path), mode_t(0711));
    Platform::applyRemotePermissions(path, 0444); // the owner can still replace it later
    QCOMPARE(permissionBits(path), mode_t(0644));
    Platform::applyRemotePermissions(path, 0); // no permissions reported: left alone
    QCOMPARE(permissionBits(path), mode_t(0644));
}

QUILLON_GUILESS_TEST_MAIN(TestPlatform)
#include "tst_platform.moc"
