// `quillon-cli install` and `quillon-cli update` end to end: the real program against the asyncssh server.

#include "support/TestMain.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "transfer/InstallContext.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString cliProgram = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");
const QString serverRoot = "/upload/Softwares/For Download/";

} // namespace

class CliTransferTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work;
    QString settingsFile;

    ProgramRun runCli(const QStringList &arguments) {
        return runProgram(cliProgram, QStringList{"--settings", settingsFile} + arguments, work.path());
    }

    // What the client wrote into the settings file, read back through the cipher.
    QVariant recorded(const QString &key) {
        CSettingsCipher cipher;
        cipher.setKey(programKey);
        const QString plain = work.filePath("plain.ini");
        QFile file(plain);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(cipher.decrypt(readTestFile(settingsFile)));
        file.close();
        return QSettings(plain, QSettings::IniFormat).value(key);
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(cliProgram), "build the quillon-cli target first");
        QVERIFY(work.isValid());
        settingsFile = useTestSettings();
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, "");
        settingsStore()->setValue("MSVC/Inst", true);
    }

    void installFetchesRecordsAndRunsDriverInstallers() {
        QTemporaryDir tree, target;
        const QString marker = target.filePath("installer-ran");
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Console/console.exe",
                              QByteArray(300000, 'c')));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Alerter/alerter.zip", "zip"));
        const QString installer = tree.path() + serverRoot + "CP210x/setup.exe";
        QVERIFY(writeTestFile(installer, "#!/bin/sh\necho \"$0\" > '" + marker.toUtf8() + "'\n"));
        QVERIFY(QFile::setPermissions(installer, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);

        const QString lora = target.filePath("lora"), drivers = target.filePath("drivers");
        ProgramRun result = runCli({"install", "--folder", "LoRa=" + lora, "--folder", "Drivers=" + drivers,
                                    "Brightfen Console", "Brightfen Alerter", "CP210x"});
        QVERIFY2(result.exitCode == 0, qPrintable(result.output + result.errors));
        QCOMPARE(readTestFile(lora + "/Brightfen Console/console.exe"), QByteArray(300000, 'c'));
        QCOMPARE(readTestFile(lora + "/Brightfen Alerter/alerter.zip"), QByteArray("zip"));
        // The installer ran from the drivers folder, which is gone afterwards.
        QCOMPARE(readTestFile(marker).trimmed(), (drivers + "/CP210x/setup.exe").toUtf8());
        QVERIFY(!QFileInfo::exists(drivers));
        QVERIFY(result.output.contains(drivers + "/CP210x/setup.exe installed"));
        QVERIFY(result.output.contains("Brightfen Console is installed"));
        // Not a terminal: plain lines only, no progress line drawn in place.
        QVERIFY(!result.output.contains('\r'));
        // Recorded as the progress window records: the archive and the driver are not.
        QCOMPARE(recorded("Path/Brightfen Console").toString(), lora + "/Brightfen Console");
        QVERIFY(recorded("Path/Brightfen Alerter").toString().isEmpty());
        QVERIFY(!recorded("Path/CP210x").isValid());
    }

    void installExitCodesTellWhatWentWrong() {
        QTemporaryDir tree, target;
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Meter/meter.exe", "m"));
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Meter/locked.dat", "l"));
        AsyncsshServer server(tree.path(), {"--fail-open", "locked"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QString lora = "LoRa=" + target.filePath("lora");

        ProgramRun unknown = runCli({"install", "--folder", lora, "Brightfen Meter", "Brightfen Teapot"});
        QCOMPARE(unknown.exitCode, 3);
        QVERIFY(unknown.errors.contains("Brightfen Teapot"));
        QVERIFY(unknown.errors.contains("Brightfen Console")); // the known names are listed
        QVERIFY(QDir(target.path()).isEmpty());

        ProgramRun partly = runCli({"install", "--folder", lora, "Brightfen Meter"});
        QCOMPARE(partly.exitCode, 1);
        QCOMPARE(readTestFile(target.filePath("lora/Brightfen Meter/meter.exe")), QByteArray("m"));

        ProgramRun usage = runCli({"install", "--folder", "Kitchen=/tmp", "Brightfen Meter"});
        QCOMPARE(usage.exitCode, 64);

        settingsStore()->setValue("SFTP/port", 1); // nothing listens there
        ProgramRun unreachable = runCli({"install", "--folder", lora, "Brightfen Meter"});
        QCOMPARE(unreachable.exitCode, 2);
        ProgramRun unreachableUpdate = runCli({"update"});
        QCOMPARE(unreachableUpdate.exitCode, 2);
    }

    void updateFetchesWhatTheCheckFindsThenIsCurrent() {
        QTemporaryDir tree, installed;
        const QString remote = tree.path() + serverRoot + "Brightfen Fleet Upload";
        QVERIFY(writeTestFile(remote + "/upload.dll", QByteArray(500000, 'n')));
        QVERIFY(writeTestFile(remote + "/data/new.txt", "added on the server"));
        QVERIFY(writeTestFile(remote + "/same.txt", "same"));
        QVERIFY(writeTestFile(installed.filePath("upload.dll"), "old"));
        QVERIFY(writeTestFile(installed.filePath("same.txt"), "same"));
        QVERIFY(writeTestFile(installed.filePath("data/local.txt"),
                              "only here")); // local files the server lacks are left alone
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settingsStore()->setValue("Path/Brightfen Fleet Upload", installed.path());

        ProgramRun first = runCli({"update"});
        QVERIFY2(first.exitCode == 0, qPrintable(first.output + first.errors));
        QVERIFY2(first.output.contains("2 file(s) to update."), qPrintable(first.output));
        QCOMPARE(readTestFile(installed.filePath("upload.dll")), QByteArray(500000, 'n'));
        QCOMPARE(readTestFile(installed.filePath("data/new.txt")), QByteArray("added on the server"));

        ProgramRun second = runCli({"update"});
        QCOMPARE(second.exitCode, 0);
        QVERIFY(second.output.contains("Everything is up to date."));
        settingsStore()->setValue("Path/Brightfen Fleet Upload", "");
    }

    void updateDeliversTheFilesOfFoldersNewOnTheServer() {
        QTemporaryDir tree, installed;
        const QString remote = tree.path() + serverRoot + "Brightfen Hub Server";
        QVERIFY(writeTestFile(remote + "/hub.exe", "hub"));
        QVERIFY(writeTestFile(remote + "/plugins/modbus.dll", QByteArray(200000, 'm')));
        QVERIFY(writeTestFile(remote + "/plugins/lang/ru/strings.txt", "строки"));
        QVERIFY(writeTestFile(installed.filePath("hub.exe"), "hub"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settingsStore()->setValue("Path/Brightfen Hub Server", installed.path());

        ProgramRun first = runCli({"update"});
        QVERIFY2(first.exitCode == 0, qPrintable(first.output + first.errors));
        QVERIFY2(first.output.contains("2 file(s) to update."), qPrintable(first.output));
        QCOMPARE(readTestFile(installed.filePath("plugins/modbus.dll")), QByteArray(200000, 'm'));
        QCOMPARE(readTestFile(installed.filePath("plugins/lang/ru/strings.txt")), QString("строки").toUtf8());
        QVERIFY(logFileLines(work.filePath("LogFile.log")).filter(installed.filePath("plugins")).isEmpty());

        ProgramRun second = runCli({"update"});
        QCOMPARE(second.exitCode, 0);
        QVERIFY(second.output.contains("Everything is up to date."));
        settingsStore()->setValue("Path/Brightfen Hub Server", "");
    }

    void updateSkipsOrWaitsForARunningProgram() {
        QTemporaryDir tree, installed;
        // A real process stands in for the running program; its name is unique on this machine.
        const QString name = QString("Fleet%1.exe").arg(QCoreApplication::applicationPid());
        QVERIFY(writeTestFile(tree.path() + serverRoot + "Brightfen Fleet Setup/" + name, "new program"));
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settingsStore()->setValue("Path/Brightfen Fleet Setup", installed.path());
        const QString program = installed.filePath(name);
        QVERIFY(QFile::copy("/bin/sleep", program));
        QProcess running;
        running.start(program, {"60"});
        QVERIFY(running.waitForStarted());
        const QByteArray before = readTestFile(program);

        ProgramRun skipped = runCli({"update"});
        QCOMPARE(skipped.exitCode, 1);
        QVERIFY(skipped.output.contains("Skipped " + program));
        QCOMPARE(readTestFile(program), before);

        // With --wait-running the client waits; the program ends a moment later.
        QProcess cli;
        QTimer::singleShot(1500, &running, [&running] { running.kill(); });
        cli.setWorkingDirectory(work.path());
        cli.start(cliProgram, {"--settings", settingsFile, "update", "--wait-running"});
        QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 60000);
        const QString output = QString::fromUtf8(cli.readAllStandardOutput());
        QVERIFY2(cli.exitCode() == 0, qPrintable(output));
        QVERIFY(output.contains("Waiting for " + name + " to end..."));
        QCOMPARE(readTestFile(program), QByteArray("new program"));
        settingsStore()->setValue("Path/Brightfen Fleet Setup", "");
    }
};

QUILLON_GUILESS_TEST_MAIN(CliTransferTest)
#include "tst_cli_transfer.moc"
