// `quillon-cli check` end to end: a real settings file, the real program, OpenSSH sshd.

#include "support/TestMain.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "transfer/InstallContext.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

static const QString cliProgram = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");
static const QString remoteRootText = "/upload/Softwares/For Download/";

struct CliResult {
    int exitCode = -1;
    QStringList lines;
    QString errors;
};

class CliCheckTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir workFolder;
    QString settingsFile;

    CliResult runCheck() {
        const ProgramRun run =
            runProgram(cliProgram, {"--settings", settingsFile, "check"}, workFolder.path());
        return {run.exitCode, run.output.split('\n', Qt::SkipEmptyParts), run.errors};
    }
    QStringList logLines() const { return logFileLines(workFolder.filePath("LogFile.log")); }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(cliProgram), "build the quillon-cli target first");
        // This process writes the settings file that the client then reads.
        settingsFile = useTestSettings();
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, "");
    }

    void checkAgainstOpensshListsUpdatesThenNone() {
        const QString reason = OpensshServer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        // The chroot must not lie below the world-writable /tmp: keep the tree under /run.
        QTemporaryDir tree("/run/quillon-cli-tree-XXXXXX");
        QTemporaryDir install;
        QVERIFY(tree.isValid() && install.isValid());
        const QString component = tree.filePath("upload/Softwares/For Download/Brightfen Meter");
        const QString local = install.filePath("Meter");
        QVERIFY(writeTestFile(component + "/Meter.exe", QByteArray(2000000, 'n')));
        QVERIFY(writeTestFile(local + "/Meter.exe", QByteArray(2000000, 'o')));
        QVERIFY(writeTestFile(component + "/plugins/Плагин.dll", "new plugin"));
        QVERIFY(writeTestFile(local + "/plugins/keep", "k"));
        QVERIFY(writeTestFile(component + "/same.txt", "same"));
        QVERIFY(writeTestFile(local + "/same.txt", "same"));
        QVERIFY(writeTestFile(component + "/config.ini", "server"));
        settingsStore()->setValue("Path/Brightfen Meter", local);

        OpensshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        CliResult first = runCheck();
        QCOMPARE(first.exitCode, 1);
        QCOMPARE(first.lines,
                 (QStringList{local + "/Meter.exe\t" + remoteRootText + "Brightfen Meter/Meter.exe",
                              local + "/plugins/Плагин.dll\t" + remoteRootText +
                                  "Brightfen Meter/plugins/Плагин.dll"}));

        QVERIFY(QFile::remove(local + "/Meter.exe") &&
                QFile::copy(component + "/Meter.exe", local + "/Meter.exe"));
        QVERIFY(QFile::copy(component + "/plugins/Плагин.dll", local + "/plugins/Плагин.dll"));
        CliResult second = runCheck();
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(second.lines, QStringList());
        QVERIFY(logLines().filter("Error").isEmpty());
    }

    void unreachableServerExitsWithTwoAndLogsWhy() {
        CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
        settings->setValue("SFTP/IP", "127.0.0.1");
        settings->setValue("SFTP/port", 1); // nothing listens on port 1 here
        QFile::remove(workFolder.filePath("LogFile.log"));
        CliResult result = runCheck();
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.lines.isEmpty());
        QVERIFY(!result.errors.isEmpty());
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("] - Error ssh conect - "), qPrintable(lines.first()));
    }

    void missingSettingsFileIsAUsageError() {
        QProcess cli;
        cli.setWorkingDirectory(workFolder.path());
        cli.start(cliProgram, {"--settings", workFolder.filePath("none.ini"), "check"});
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 64);
        QVERIFY(!QFile::exists(workFolder.filePath("none.ini")));
    }
};

QUILLON_GUILESS_TEST_MAIN(CliCheckTest)
#include "tst_cli_check.moc"
