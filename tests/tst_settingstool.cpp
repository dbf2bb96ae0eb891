// Tests of the quillon-settings tool, run as a separate process on real files.

#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "support/TestFiles.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Encrypts a settings text, or decrypts a settings file's bytes ("<not decryptable>" when they do not).
QByteArray crypt(const QByteArray &data, bool decrypt, quint64 key = programKey) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    const QByteArray result = decrypt ? cipher.decrypt(data) : cipher.encrypt(data);
    return cipher.lastError() == CSettingsCipher::CipherOk ? result : QByteArray("<not decryptable>");
}

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

    void encryptAndDecryptRoundTrip() {
        QTemporaryDir dir;
        const QString plain = dir.filePath("plain.txt"), file = dir.filePath("settings.ini");
        QVERIFY(writeTestFile(plain, sample));
        QCOMPARE(runProgram(tool, {"encrypt", plain, file}).exitCode, 0);
        QCOMPARE(readTestFile(file).left(2),
                 QByteArray("\x03\x05")); // compressed, with SHA-1, as the program saves
        QCOMPARE(crypt(readTestFile(file), true), sample);
        QCOMPARE(runProgram(tool, {"decrypt", file, dir.filePath("back.txt")}).exitCode, 0);
        QCOMPARE(readTestFile(dir.filePath("back.txt")), sample);
        QCOMPARE(runProgram(tool, {"--key", "12345", "encrypt", plain, file}).exitCode, 0);
        QCOMPARE(crypt(readTestFile(file), true, 12345), sample);
    }

    void commands_data() {
        QTest::addColumn<QByteArray>("content"); // of the file FILE names; none: no file
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("error");    // a part of the error output; none: no error output
        QTest::addColumn<QByteArray>("after"); // the file's text afterwards; none: its bytes as they were
        const QByteArray file = crypt(sample, false), other = crypt(sample, false, 12345);
        const QByteArray unpinned = QByteArray(sample).replace("HostKey=SHA256:q9cXm2\n", "");
        const QStringList dump{"dump", "FILE"};
        QTest::newRow("dump") << file << dump << 0 << QString(sample) << QString() << QByteArray();
        QTest::newRow("get in a group")
            << file << QStringList{"get", "FILE", "SFTP/IP"} << 0 << "updates.brightfen.example\n"
            << QString() << QByteArray();
        QTest::newRow("get outside groups") << file << QStringList{"get", "FILE", "Autorun"} << 0 << "true\n"
                                            << QString() << QByteArray();
        QTest::newRow("get unset") << file << QStringList{"get", "FILE", "SFTP/Pswd"} << 1 << QString()
                                   << "SFTP/Pswd is not set" << QByteArray();
        QTest::newRow("set") << file
                             << QStringList{"set", "FILE", "Path/Brightfen Hub Server", "D:/Brightfen/LoRa"}
                             << 0 << QString() << QString()
                             << QByteArray(sample).replace(
                                    "[SFTP]", "[Path]\nBrightfen Hub Server=D:/Brightfen/LoRa\n[SFTP]");
        // The program would drop such a value on loading.
        QTest::newRow("set with =") << file << QStringList{"set", "FILE", "Timer/Timeout", "a=b"} << 0
                                    << QString() << "warning: the program drops a value containing \"=\""
                                    << QByteArray(sample).replace("Timeout=7", "Timeout=a=b");
        QTest::newRow("hostkey show")
            << file << QStringList{"hostkey", "show", "FILE"} << 0 << "SHA256:q9cXm2\n"
            << QString() << QByteArray();
        QTest::newRow("hostkey show, none")
            << crypt(unpinned, false) << QStringList{"hostkey", "show", "FILE"} << 0 << "no pinned host key\n"
            << QString() << QByteArray();
        QTest::newRow("hostkey clear")
            << file << QStringList{"hostkey", "clear", "FILE"} << 0 << QString() << QString() << unpinned;
        // Rows with --key use 12345.
        QTest::newRow("hex key") << other << QStringList{"--key", "0X3039", "get", "FILE", "Timer/Timeout"}
                                 << 0 << "7\n"
                                 << QString() << QByteArray();
        QTest::newRow("set, hex key")
            << other << QStringList{"--key", "0x3039", "set", "FILE", "Timer/Timeout", "1"} << 0 << QString()
            << QString() << QByteArray(sample).replace("=7", "=1");
        QTest::newRow("wrong key") << other << dump << 1 << QString()
                                   << "cannot decrypt: wrong key or damaged file" << QByteArray();
        QTest::newRow("read-only: get") << file << QStringList{"get", "FILE", "Timer/Timeout"} << 0 << "7\n"
                                        << QString() << QByteArray();
        QTest::newRow("read-only: set") << file << QStringList{"set", "FILE", "Timer/Timeout", "1"} << 1
                                        << QString() << "Source file is not opened!" << QByteArray();
        const QList<QPair<QStringList, QString>> usage = {
            {{}, "Usage:"},
            {{"frobnicate", "FILE"}, "unknown command or wrong arguments: frobnicate"},
            {{"get", "FILE"}, "unknown command or wrong arguments: get"},
            {{"hostkey", "forget", "FILE"}, "hostkey: unknown action \"forget\" (show or clear)"},
            {{"--key", "0", "dump", "FILE"}, "--key: the key must not be 0"},
            {{"--key", "0xZZ", "dump", "FILE"}, "--key: \"0xZZ\" is not a decimal or 0x hex number"},
            {{"--key", "-5", "set", "FILE", "Autorun", "x"},
             "--key: \"-5\" is not a decimal or 0x hex number"}};
        for (const auto &[arguments, error] : usage)
            QTest::addRow("usage: %s", qPrintable(arguments.join(' ')))
                << file << arguments << 1 << QString() << error << QByteArray();
        // A missing, damaged, foreign or cut file: every command fails and changes nothing.
        QByteArray damaged = file;
        damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x40);
        const QList<std::tuple<const char *, QByteArray, QString>> badFiles = {
            {"missing", QByteArray(), "no such file"},
            {"damaged", damaged, "cannot decrypt: wrong key or damaged file"},
            {"not a cyphertext", "[Timer]\nTimeout=7\n", "cannot decrypt: not a settings file"},
            {"cut", file.left(2), "cannot decrypt: wrong key or damaged file"}};
        for (const auto &[name, content, error] : badFiles)
            for (const QStringList &arguments :
                 {dump, QStringList{"get", "FILE", "Autorun"}, QStringList{"set", "FILE", "Autorun", "0"},
                  QStringList{"hostkey", "clear", "FILE"}, QStringList{"decrypt", "FILE", "OUT"},
                  QStringList{"encrypt", "FILE", "OUT"}})
                if (content.isNull() || arguments.first() != "encrypt")
                    QTest::addRow("%s: %s", name, qPrintable(arguments.first()))
                        << content << arguments << 1 << QString() << error << QByteArray();
    }
    void commands() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, error);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString file = dir.filePath("settings.ini"), out = dir.filePath("out");
        QVERIFY(content.isNull() || writeTestFile(file, content));
        arguments.replaceInStrings(QRegularExpression("^FILE$"), file)
            .replaceInStrings(QRegularExpression("^OUT$"), out);
        QString program = tool;
        if (QByteArray(QTest::currentDataTag()).startsWith("read-only")) {
#ifndef Q_OS_UNIX
            QSKIP("read-only files are checked on POSIX systems");
#else
            // The folder is writable, so only the tool's care keeps the file; root writes anything, nobody
            // does not.
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
            if (geteuid() == 0)
                arguments = QStringList{"-u", "nobody", "--", std::exchange(program, "runuser")} + arguments;
#endif
        }
        const ProgramRun result = runProgram(program, arguments, {}, 30000);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.output, output);
        QVERIFY2(error.isEmpty() ? result.errors.isEmpty() : result.errors.contains(error),
                 qPrintable(result.errors));
        if (after.isNull())
            QCOMPARE(readTestFile(file), content.isNull() ? QByteArray("<missing>") : content);
        else
            QCOMPARE(crypt(readTestFile(file), true, arguments.contains("--key") ? 12345 : programKey),
                     after);
        QVERIFY(!QFile::exists(file + ".unreadable"));
        QVERIFY(!QFile::exists(out));
    }

private:
    QString tool;
};

QTEST_GUILESS_MAIN(SettingsToolTest)
#include "tst_settingstool.moc"
