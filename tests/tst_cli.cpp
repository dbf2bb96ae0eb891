// quillon-cli check, update and install end to end: the real client and settings file against OpenSSH sshd.

#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "transfer/InstallContext.h"

#include <QDir>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <memory>

static const QString cliProgram = QStringLiteral(QUILLON_BINARY_DIR "/tools/quillon-cli");
static const QString downloads = "/upload/Softwares/For Download/";

class CliTest : public QObject {
    Q_OBJECT
    QTemporaryDir work, tree, install;
    std::unique_ptr<OpensshServer> server;
    QString settingsFile, local = install.filePath("Meter/");
    // A real process stands in for a running program; its name is unique on this machine.
    QString name = QString("Fleet%1.exe").arg(QCoreApplication::applicationPid());
    QString program = install.filePath("Fleet/" + name);

    ProgramRun cli(const QStringList &arguments) {
        return runProgram(cliProgram, QStringList{"--settings", settingsFile} + arguments, work.path());
    }
    QStringList log() const { return logFileLines(work.filePath("LogFile.log")); }
    // What the client wrote into the settings file, read back through the cipher.
    QVariant recorded(const QString &key) {
        CSettingsCipher cipher;
        cipher.setKey(programKey);
        writeTestFile(work.filePath("plain.ini"), cipher.decrypt(readTestFile(settingsFile)));
        return QSettings(work.filePath("plain.ini"), QSettings::IniFormat).value(key);
    }
    bool onServer(const QString &path, const QByteArray &bytes) {
        return writeTestFile(tree.path() + downloads + path, bytes);
    }

private slots:
    void initTestCase() {
        if (!OpensshServer::unavailableReason().isEmpty())
            QSKIP(qPrintable(OpensshServer::unavailableReason()));
        QVERIFY2(QFile::exists(cliProgram), "build the quillon-cli target first");
        settingsFile = useTestSettings(); // written here, read by the client
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, "");
        settingsStore()->setValue("MSVC/Inst", true);
        settingsStore()->setValue("Path/Brightfen Meter", install.filePath("Meter"));
        settingsStore()->setValue("Path/Brightfen Fleet Setup", install.filePath("Fleet"));
        QVERIFY(onServer("Brightfen Meter/Meter.exe", QByteArray(300000, 'n')));
        QVERIFY(writeTestFile(local + "Meter.exe", QByteArray(300000, 'o')));
        QVERIFY(onServer("Brightfen Meter/plugins/Плагин.dll", "new plugin") &&
                writeTestFile(local + "plugins/keep", "k"));
        QVERIFY(onServer("Brightfen Meter/same.txt", "same") && writeTestFile(local + "same.txt", "same"));
        QVERIFY(onServer("Brightfen Meter/config.ini", "server"));
        QVERIFY(onServer("Brightfen Meter/lang/ru/strings.txt", "строки")); // a folder new on the server
        QVERIFY(onServer("Brightfen Fleet Setup/" + name, "new program"));
        QVERIFY(QDir().mkpath(install.filePath("Fleet")) && QFile::copy("/bin/sleep", program));
        QVERIFY(onServer("Brightfen Console/console.exe", QByteArray(300000, 'c')));
        QVERIFY(onServer("Brightfen Alerter/alerter.zip", "zip"));
        QVERIFY(onServer("Brightfen Bridge/bridge.exe", "b") && onServer("Brightfen Bridge/locked.dat", "l"));
        QVERIFY(QFile::setPermissions(tree.path() + downloads + "Brightfen Bridge/locked.dat", {}));
        const QString script = "#!/bin/sh\necho \"$0\" > '" + work.filePath("installer-ran") + "'\n";
        QVERIFY(onServer("CP210x/setup.exe", script.toUtf8()));
        QVERIFY(
            QFile::setPermissions(tree.path() + downloads + "CP210x/setup.exe",
                                  QFile::ReadOwner | QFile::ReadOther | QFile::ExeOwner | QFile::ExeOther));
        server = std::make_unique<OpensshServer>(tree.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
        pointSettingsAt(*server);
    }

    void checkListsWhatUpdateFetchesThenAllIsCurrent() {
        ProgramRun run = cli({"check"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(
            run.output.split('\n', Qt::SkipEmptyParts),
            (QStringList{program + "\t" + downloads + "Brightfen Fleet Setup/" + name,
                         local + "Meter.exe\t" + downloads + "Brightfen Meter/Meter.exe",
                         local + "lang/ru/strings.txt\t" + downloads + "Brightfen Meter/lang/ru/strings.txt",
                         local + "plugins/Плагин.dll\t" + downloads + "Brightfen Meter/plugins/Плагин.dll"}));

        // A running program is skipped, the rest fetched.
        QProcess running;
        running.start(program, {"60"});
        QVERIFY(running.waitForStarted());
        const QByteArray sleeper = readTestFile(program);
        run = cli({"update"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.output.contains("4 file(s) to update.") && run.output.contains("Skipped " + program),
                 qPrintable(run.output));
        QCOMPARE(readTestFile(program), sleeper);
        QCOMPARE(readTestFile(local + "Meter.exe"), QByteArray(300000, 'n'));
        QCOMPARE(readTestFile(local + "plugins/Плагин.dll"), QByteArray("new plugin"));
        QCOMPARE(readTestFile(local + "lang/ru/strings.txt"), QString("строки").toUtf8());

        // With --wait-running the client waits; the program ends a moment later.
        QProcess waiting;
        QTimer::singleShot(1500, &running, [&running] { running.kill(); });
        waiting.setWorkingDirectory(work.path());
        waiting.start(cliProgram, {"--settings", settingsFile, "update", "--wait-running"});
        QTRY_VERIFY_WITH_TIMEOUT(waiting.state() == QProcess::NotRunning, 60000);
        const QString output = QString::fromUtf8(waiting.readAllStandardOutput());
        QVERIFY2(waiting.exitCode() == 0 && output.contains("Waiting for " + name + " to end..."),
                 qPrintable(output));
        QCOMPARE(readTestFile(program), QByteArray("new program"));

        run = cli({"check"});
        QVERIFY(run.exitCode == 0 && run.output.isEmpty());
        run = cli({"update"});
        QVERIFY(run.exitCode == 0 && run.output.contains("Everything is up to date."));
        QCOMPARE(readTestFile(local + "plugins/keep"), QByteArray("k")); // local files the server lacks stay
        QCOMPARE(log().filter(install.path()), QStringList());
        QCOMPARE(log().filter("Error"), QStringList());
    }

    void installRecordsAndRunsDriverInstallers() {
        QTemporaryDir target;
        const QString lora = target.filePath("lora"), drivers = target.filePath("drivers");
        const QStringList install = {"install", "--folder", "LoRa=" + lora, "--folder", "Drivers=" + drivers};
        // An unknown name fetches nothing and lists the known ones.
        ProgramRun run = cli(install + QStringList{"Brightfen Meter", "Brightfen Teapot"});
        QCOMPARE(run.exitCode, 3);
        QVERIFY(run.errors.contains("Brightfen Teapot") && run.errors.contains("Brightfen Console"));
        QVERIFY(QDir(target.path()).isEmpty());
        QCOMPARE(cli({"install", "--folder", "Kitchen=/tmp", "Brightfen Meter"}).exitCode, 64);

        run = cli(install + QStringList{"Brightfen Console", "Brightfen Alerter", "CP210x"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output + run.errors));
        QCOMPARE(readTestFile(lora + "/Brightfen Console/console.exe"), QByteArray(300000, 'c'));
        QCOMPARE(readTestFile(lora + "/Brightfen Alerter/alerter.zip"), QByteArray("zip"));
        // The installer ran from the drivers folder, which is gone afterwards.
        QCOMPARE(readTestFile(work.filePath("installer-ran")).trimmed(),
                 (drivers + "/CP210x/setup.exe").toUtf8());
        QVERIFY(!QFileInfo::exists(drivers));
        QVERIFY(run.output.contains(drivers + "/CP210x/setup.exe installed"));
        QVERIFY(run.output.contains("Brightfen Console is installed"));
        QVERIFY(!run.output.contains('\r')); // not a terminal: no progress line drawn in place
        // Recorded as the progress window records: the archive and the driver are not.
        QCOMPARE(recorded("Path/Brightfen Console").toString(), lora + "/Brightfen Console");
        QVERIFY(recorded("Path/Brightfen Alerter").toString().isEmpty());
        QVERIFY(!recorded("Path/CP210x").isValid());

        // A file the server refuses to open fails the run; the others arrive.
        QCOMPARE(cli(install + QStringList{"Brightfen Bridge"}).exitCode, 1);
        QCOMPARE(readTestFile(lora + "/Brightfen Bridge/bridge.exe"), QByteArray("b"));

        settingsStore()->setValue("SFTP/port", 1); // nothing listens there
        QCOMPARE(cli(install + QStringList{"Brightfen Bridge"}).exitCode, 2);
        QCOMPARE(cli({"update"}).exitCode, 2);
        QFile::remove(work.filePath("LogFile.log"));
        run = cli({"check"});
        QVERIFY(run.exitCode == 2 && run.output.isEmpty() && !run.errors.isEmpty());
        QCOMPARE(log().size(), 1);
        QVERIFY2(log().value(0).contains("] - Error ssh conect - "), qPrintable(log().value(0)));
        // A settings file that does not exist is a usage error and is not created.
        const QString none = work.filePath("none.ini");
        QCOMPARE(runProgram(cliProgram, {"--settings", none, "check"}, work.path()).exitCode, 64);
        QVERIFY(!QFile::exists(none));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
