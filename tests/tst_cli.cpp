// quillon-cli check, update and install end to end: the real client and settings file against OpenSSH sshd
// (the asyncssh server where sshd cannot run).

#include "support/DownloaderRun.h"
#include "support/TestMain.h"

#include "core/ProgramKey.h"

#include <QSettings>

#include <future>

class CliTest : public QObject {
    Q_OBJECT
    QTemporaryDir work, tree, install;

    bool onServer(const QString &path, const QByteArray &bytes, QFile::Permissions permissions = {}) {
        const QString file = tree.path() + componentsRoot + path;
        return writeTestFile(file, bytes) && (!permissions || QFile::setPermissions(file, permissions));
    }

private slots:
    void commandsDoTheirWorkAndTellHowItWentByExitCode() {
        const QString cli = QUILLON_BINARY_DIR "/tools/quillon-cli", settingsFile = useTestSettings();
        QVERIFY2(QFile::exists(cli), "build the quillon-cli target first");
        settingsStore()->setValue("MSVC/Inst", true);
        const QString meter = install.filePath("Meter"), fleet = install.filePath("Fleet");
        settingsStore()->setValue("Path/Brightfen Meter", meter);
        settingsStore()->setValue("Path/Brightfen Fleet Setup", fleet);
        // A real process stands in for a running program; its name is unique on this machine.
        const QString name = QString("Fleet%1.exe").arg(QCoreApplication::applicationPid()),
                      program = fleet + "/" + name;
        QVERIFY(QDir().mkpath(fleet) && QFile::copy("/bin/sleep", program));
        QVERIFY(onServer("Brightfen Fleet Setup/" + name, "new program"));
        QVERIFY(onServer("Brightfen Meter/Meter.exe", QByteArray(300000, 'n')));
        QVERIFY(writeTestFile(meter + "/Meter.exe", QByteArray(300000, 'o')));
        QVERIFY(onServer("Brightfen Meter/plugins/Плагин.dll", "new") &&
                writeTestFile(meter + "/plugins/keep", "k"));
        QVERIFY(onServer("Brightfen Meter/lang/ru/strings.txt", "строки")); // a folder new on the server
        QVERIFY(onServer("Brightfen Console/console.exe", QByteArray(300000, 'c')));
        QVERIFY(onServer("Brightfen Alerter/alerter.zip", "zip"));
        // The throwaway sshd user cannot open locked.dat; the asyncssh server refuses it by a switch.
        QVERIFY(onServer("Brightfen Bridge/bridge.exe", "b") &&
                onServer("Brightfen Bridge/locked.dat", "l", QFile::WriteOwner));
        const QString marker = work.filePath("installer-ran");
        QVERIFY(onServer("CP210x/setup.exe", "#!/bin/sh\necho \"$0\" > '" + marker.toUtf8() + "'\n",
                         QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        const auto server = serveEndToEnd(tree.path(), {"--fail-open", "locked\\.dat$"});
        QVERIFY(server);
        const QString unreachable = work.filePath("unreachable.ini"), none = work.filePath("none.ini");
        settingsStore()->setValue("SFTP/port", 1); // nothing listens there
        QVERIFY(QFile::copy(settingsFile, unreachable));
        pointSettingsAt(*server);

        QProcess running;
        running.start(program, {"60"});
        QVERIFY(running.waitForStarted());
        const QString lora = work.filePath("lora"), drivers = work.filePath("drivers");
        const QString installTo = "install|--folder|LoRa=" + lora + "|--folder|Drivers=" + drivers + "|";
        const struct {
            QString command; // its arguments, separated by '|'
            int exitCode;
            QStringList says; // in its output or errors; check's whole output
        } steps[] = {
            // One line per file to update, sorted by local path.
            {"check",
             1,
             {program + "\t" + componentsRoot + "Brightfen Fleet Setup/" + name + "\n",
              meter + "/Meter.exe\t" + componentsRoot + "Brightfen Meter/Meter.exe\n",
              meter + "/lang/ru/strings.txt\t" + componentsRoot + "Brightfen Meter/lang/ru/strings.txt\n",
              meter + "/plugins/Плагин.dll\t" + componentsRoot + "Brightfen Meter/plugins/Плагин.dll\n"}},
            // A running program is skipped and named; with --wait-running the client waits for it to end.
            {"update", 1, {"4 ", program}},
            {"update|--wait-running", 0, {"1 ", name}},
            {"check", 0, {}},
            {"update", 0, {}},
            // An unknown name fetches nothing, and is named beside the known ones.
            {installTo + "Brightfen Meter|Brightfen Teapot", 3, {"Teapot", "Brightfen Console"}},
            {"install|--folder|Kitchen=/tmp|Brightfen Meter", 64, {"Kitchen"}},
            {installTo + "Brightfen Console|Brightfen Alerter|CP210x", 0, {drivers + "/CP210x/setup.exe"}},
            {installTo + "Brightfen Bridge", 1, {"1 "}},
            {"--settings|" + unreachable + "|" + installTo + "Brightfen Bridge", 2, {}},
            {"--settings|" + unreachable + "|update", 2, {}},
            {"--settings|" + unreachable + "|check", 2, {}},
            {"--settings|" + none + "|check", 64, {}}, // a usage error
        };
        for (const auto &step : steps) {
            auto ending = std::async(std::launch::async, [&] {
                return runProgram(cli, QStringList{"--settings", settingsFile} + step.command.split('|'),
                                  work.path());
            });
            if (step.command.endsWith("--wait-running")) {
                QTest::qWait(1500);
                running.kill();
                QVERIFY(running.waitForFinished());
            }
            const ProgramRun run = ending.get();
            const QString said = step.command + ":\n" + run.output + run.errors;
            QVERIFY2(run.exitCode == step.exitCode, qPrintable(said));
            for (const QString &text : step.says)
                QVERIFY2(said.contains(text), qPrintable(said));
            if (step.command.endsWith("check"))
                QCOMPARE(run.output, step.says.join(""));
            QVERIFY(!run.output.contains('\r')); // not a terminal: no progress line drawn in place
        }
        QCOMPARE(filesBelow(meter),
                 (QStringList{"Meter.exe", "lang/ru/strings.txt", "plugins/keep", "plugins/Плагин.dll"}));
        QCOMPARE(filesBelow(lora),
                 (QStringList{"Brightfen Alerter/alerter.zip", "Brightfen Bridge/bridge.exe",
                              "Brightfen Console/console.exe"}));
        QCOMPARE(readTestFile(lora + "/Brightfen Console/console.exe"), QByteArray(300000, 'c'));
        // The installer ran from the drivers folder, which is gone afterwards.
        QCOMPARE(readTestFile(marker).trimmed(), (drivers + "/CP210x/setup.exe").toUtf8());
        QVERIFY(!QFileInfo::exists(drivers) && !QFile::exists(none));
        // Recorded as the progress window records: the archive and the driver are not.
        QVERIFY(writeTestFile(work.filePath("plain.ini"),
                              cryptSettings(readTestFile(settingsFile), true, programKey)));
        const QSettings recorded(work.filePath("plain.ini"), QSettings::IniFormat);
        QCOMPARE(recorded.value("Path/Brightfen Console").toString(), lora + "/Brightfen Console");
        QVERIFY(recorded.value("Path/Brightfen Alerter").toString().isEmpty() &&
                !recorded.contains("Path/CP210x"));
        // No line about an install folder; an error line for the locked file and one per unreachable run.
        const QStringList log = logFileLines(work.filePath("LogFile.log"));
        QCOMPARE(log.filter(install.path()), QStringList());
        QCOMPARE(log.filter("Error").size(), 4);
    }
};

QUILLON_GUILESS_TEST_MAIN(CliTest)
#include "tst_cli.moc"
