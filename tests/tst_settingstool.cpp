// Tests of the quillon-settings tool, run as a separate process on real files.

#include "core/ProgramKey.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"

#include <QtTest>

#include <unistd.h>

namespace {

const QByteArray
    sample("Autorun=true\n[SFTP]\nHostKey=SHA256:q9cXm2\nIP=updates.brightfen.example\n[Timer]\nTimeout=7\n");

} // namespace

class SettingsToolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        tool = QStandardPaths::findExecutable("quillon-settings",
                                              {QCoreApplication::applicationDirPath() + "/../tools"});
        QVERIFY2(!tool.isEmpty(), "build the quillon-settings target first");
    }

    void commands_data() {
        QTest::addColumn<QByteArray>("content"); // of the file FILE names, or "<missing>"
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode"); // not 0: with error output
        QTest::addColumn<QString>("output");
        QTest::addColumn<QByteArray>("after"); // the file's text afterwards; none: its bytes as they were
        const QByteArray file = cryptSettings(sample, false, programKey),
                         other = cryptSettings(sample, false, 12345);
        const QByteArray unpinned = QByteArray(sample).replace("HostKey=SHA256:q9cXm2\n", "");
        // Named by the command line; rows with --key use 12345, rows named "read-only" a read-only file.
        const auto row = [&](const QString &command, int exitCode, const QString &output = {},
                             const QByteArray &after = {}, const QByteArray &content = {}) {
            QTest::newRow(qPrintable(command))
                << (content.isNull() ? file : content)
                << command.section(": ", -1).split(' ', Qt::SkipEmptyParts) << exitCode << output << after;
        };
        // Encrypted as the program saves (compressed, with SHA-1), also in place over the plain text.
        row("encrypt FILE OUT", 0, "", {}, sample);
        row("--key 12345 encrypt FILE FILE", 0, "", sample, sample);
        row("decrypt FILE OUT", 0);
        row("dump FILE", 0, sample);
        row("get FILE SFTP/IP", 0, "updates.brightfen.example\n");
        row("get FILE Autorun", 0, "true\n");
        row("get FILE SFTP/Pswd", 1);
        row("set FILE Path/Meter D:/Brightfen/LoRa", 0, "",
            QByteArray(sample).replace("[SFTP]", "[Path]\nMeter=D:/Brightfen/LoRa\n[SFTP]"));
        // The program would drop such a value on loading: the tool sets it with a warning.
        row("set FILE Timer/Timeout a=b", 0, "", QByteArray(sample).replace("=7", "=a=b"));
        row("hostkey show FILE", 0, "SHA256:q9cXm2\n");
        row("unpinned: hostkey show FILE", 0, "no pinned host key\n", {},
            cryptSettings(unpinned, false, programKey));
        row("hostkey clear FILE", 0, "", unpinned);
        row("--key 0X3039 get FILE Timer/Timeout", 0, "7\n", {}, other);
        row("--key 0x3039 set FILE Timer/Timeout 1", 0, "", QByteArray(sample).replace("=7", "=1"), other);
        row("wrong key: dump FILE", 1, "", {}, other);
        row("read-only: get FILE Timer/Timeout", 0, "7\n");
        row("read-only: set FILE Timer/Timeout 1", 1);
        for (const char *wrong : {"no command: ", "frobnicate FILE", "get FILE", "hostkey forget FILE",
                                  "--key 0 dump FILE", "--key 0xZZ dump FILE", "--key -5 set FILE Autorun x"})
            row(wrong, 1);
        // A missing, damaged, foreign or cut file: every command fails and changes nothing.
        QByteArray damaged = file;
        damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x40);
        const QList<std::pair<QString, QByteArray>> badFiles = {{"missing", "<missing>"},
                                                                {"damaged", damaged},
                                                                {"not a cyphertext", "[Timer]\nTimeout=7\n"},
                                                                {"cut", file.left(2)}};
        for (const auto &[name, content] : badFiles)
            for (const QString command : {"dump FILE", "get FILE Autorun", "set FILE Autorun 0",
                                          "hostkey clear FILE", "decrypt FILE OUT", "encrypt FILE OUT"})
                if (name == "missing" || !command.startsWith("encrypt"))
                    row(name + ": " + command, 1, "", {}, content);
    }
    void commands() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString file = dir.filePath("settings.ini"), out = dir.filePath("out");
        QVERIFY(content == "<missing>" || writeTestFile(file, content));
        arguments.replaceInStrings(QRegularExpression("^FILE$"), file)
            .replaceInStrings(QRegularExpression("^OUT$"), out);
        QString program = tool;
        if (QByteArray(QTest::currentDataTag()).startsWith("read-only")) {
            // The folder is writable, so only the tool's care keeps the file; root writes anything, nobody
            // does not.
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
            if (geteuid() == 0)
                arguments = QStringList{"-u", "nobody", "--", std::exchange(program, "runuser")} + arguments;
        }
        const ProgramRun result = runProgram(program, arguments, {}, 30000);
        const quint64 key = arguments.contains("--key") ? 12345 : programKey;
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.output, output);
        QVERIFY2(result.errors.isEmpty() == (exitCode == 0 && !arguments.contains("a=b")),
                 qPrintable(result.errors));
        if (after.isNull())
            QCOMPARE(readTestFile(file), content);
        else
            QCOMPARE(cryptSettings(readTestFile(file), true, key), after);
        QVERIFY(!QFile::exists(file + ".unreadable"));
        const QByteArray written = readTestFile(out);
        if (exitCode != 0 || !arguments.contains(out))
            QCOMPARE(written, QByteArray("<missing>"));
        else if (arguments.contains("encrypt"))
            QVERIFY(written.startsWith("\x03\x05") && cryptSettings(written, true, key) == sample);
        else
            QCOMPARE(written, sample);
    }

private:
    QString tool;
};

QUILLON_GUILESS_TEST_MAIN(SettingsToolTest)
#include "tst_settingstool.moc"
