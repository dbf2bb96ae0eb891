// Tests of the quillon-settings tool, run as a separate process on real files.

#include "support/TestMain.h"
#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"
#include "support/TestFiles.h"

#include <QtTest>

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QByteArray decryptWith(const QByteArray &cyphertext, quint64 key) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    const QByteArray plaintext = cipher.decrypt(cyphertext);
    return cipher.lastError() == CSettingsCipher::CipherOk ? plaintext : QByteArray("(does not decrypt)");
}

const QByteArray
    sampleText("Autorun=true\n[SFTP]\nIP=updates.brightfen.example\nport=22\n[Timer]\nTimeout=7\n");

} // namespace

class SettingsToolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void encryptDumpDecryptRoundTrip();
    void getPrintsOneValue();
    void setSavesTheProgramsWay();
    void otherKeyInDecimalOrHex();
    void missingDamagedOrForeignFilesFailAndStayUntouched();
    void readOnlyFileFailsAndStaysUntouched();
    void hostKeyShowAndClear();
    void badUsageFails();

private:
    ProgramRun run(const QStringList &arguments, const QStringList &wrapper = {});
    QString encryptSample(const QString &name, const QByteArray &text = sampleText);

    QString tool;
    QTemporaryDir dir;
};

ProgramRun SettingsToolTest::run(const QStringList &arguments, const QStringList &wrapper) {
    if (wrapper.isEmpty())
        return runProgram(tool, arguments, {}, 30000);
    return runProgram(wrapper.first(), wrapper.mid(1) + QStringList{tool} + arguments, {}, 30000);
}

QString SettingsToolTest::encryptSample(const QString &name, const QByteArray &text) {
    const QString plain = dir.filePath(name + ".txt");
    const QString file = dir.filePath(name);
    QFile out(plain);
    if (out.open(QIODevice::WriteOnly))
        out.write(text);
    out.close();
    const ProgramRun result = run({"encrypt", plain, file});
    return result.exitCode == 0 ? file : QString();
}

void SettingsToolTest::initTestCase() {
    const QString toolsFolder = QCoreApplication::applicationDirPath() + QStringLiteral("/../tools");
    tool = QStandardPaths::findExecutable(QStringLiteral("quillon-settings"), {toolsFolder});
    QVERIFY2(!tool.isEmpty(), "build the quillon-settings target first");
}

void SettingsToolTest::encryptDumpDecryptRoundTrip() {
    const QString file = encryptSample("settings.ini");
    QVERIFY(!file.isEmpty());
    const QByteArray cyphertext = readTestFile(file);
    QCOMPARE(cyphertext.at(0), char(0x03));
    QCOMPARE(cyphertext.at(1), char(0x05));
    QCOMPARE(decryptWith(cyphertext, programKey), sampleText);

    const ProgramRun dumped = run({"dump", file});
    QCOMPARE(dumped.exitCode, 0);
    QCOMPARE(dumped.output.toUtf8(), sampleText);

    const QString plain = dir.filePath("round-trip.txt");
    QCOMPARE(run({"decrypt", file, plain}).exitCode, 0);
    QCOMPARE(readTestFile(plain), sampleText);
}

void SettingsToolTest::getPrintsOneValue() {
    const QString file = encryptSample("get.ini");
    ProgramRun result = run({"get", file, "SFTP/IP"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.output, QStringLiteral("updates.brightfen.example\n"));
    result = run({"get", file, "Autorun"});
    QCOMPARE(result.output, QStringLiteral("true\n"));
    result = run({"get", file, "SFTP/Pswd"});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.errors.contains("SFTP/Pswd is not set"), qPrintable(result.errors));
    QVERIFY(result.output.isEmpty());
}

void SettingsToolTest::setSavesTheProgramsWay() {
    const QString file = encryptSample("set.ini");
    QCOMPARE(run({"set", file, "Timer/Timeout", "25"}).exitCode, 0);
    QCOMPARE(run({"set", file, "Path/Brightfen Hub Server", "D:/Brightfen/LoRa"}).exitCode, 0);
    QCOMPARE(decryptWith(readTestFile(file), programKey),
             QByteArray("Autorun=true\n[Path]\nBrightfen Hub Server=D:/Brightfen/LoRa\n"
                        "[SFTP]\nIP=updates.brightfen.example\nport=22\n[Timer]\nTimeout=25\n"));
    QCOMPARE(run({"get", file, "Timer/Timeout"}).output, QStringLiteral("25\n"));

    // A value the program would drop on loading is stored, with a warning.
    const ProgramRun odd = run({"set", file, "Path/Odd", "a=b"});
    QCOMPARE(odd.exitCode, 0);
    QVERIFY2(odd.errors.contains("warning"), qPrintable(odd.errors));
    QVERIFY(decryptWith(readTestFile(file), programKey).contains("Odd=a=b\n"));
}

void SettingsToolTest::otherKeyInDecimalOrHex() {
    const QString plain = dir.filePath("key.txt");
    QVERIFY(writeTestFile(plain, sampleText));
    const QString file = dir.filePath("key.ini");
    QCOMPARE(run({"--key", "12345", "encrypt", plain, file}).exitCode, 0);
    QCOMPARE(decryptWith(readTestFile(file), 12345), sampleText);
    QCOMPARE(run({"--key", "0x3039", "dump", file}).output.toUtf8(), sampleText);
    QCOMPARE(run({"--key", "0X3039", "get", file, "Timer/Timeout"}).output, QStringLiteral("7\n"));
    QCOMPARE(run({"--key", "0x3039", "set", file, "Timer/Timeout", "1"}).exitCode, 0);
    QVERIFY(decryptWith(readTestFile(file), 12345).contains("Timeout=1\n"));

    // The program key cannot read it.
    const QByteArray before = readTestFile(file);
    const ProgramRun wrong = run({"dump", file});
    QCOMPARE(wrong.exitCode, 1);
    QVERIFY2(wrong.errors.contains("wrong key or damaged file"), qPrintable(wrong.errors));
    QVERIFY(wrong.output.isEmpty());
    QCOMPARE(run({"set", file, "Timer/Timeout", "7"}).exitCode, 1);
    QCOMPARE(readTestFile(file), before);
}

void SettingsToolTest::missingDamagedOrForeignFilesFailAndStayUntouched() {
    const QString missing = dir.filePath("missing.ini");
    for (const QStringList &command : {QStringList{"dump", missing}, QStringList{"get", missing, "Autorun"},
                                       QStringList{"set", missing, "Autorun", "true"},
                                       QStringList{"decrypt", missing, dir.filePath("out.txt")},
                                       QStringList{"encrypt", missing, dir.filePath("out.ini")},
                                       QStringList{"hostkey", "clear", missing}}) {
        const ProgramRun result = run(command);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errors.contains("no such file"), qPrintable(result.errors));
    }
    QVERIFY(!QFile::exists(missing));
    QVERIFY(!QFile::exists(dir.filePath("out.txt")));
    QVERIFY(!QFile::exists(dir.filePath("out.ini")));

    // One flipped byte inside the body.
    const QString damaged = encryptSample("damaged.ini");
    QByteArray bytes = readTestFile(damaged);
    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x40);
    QVERIFY(writeTestFile(damaged, bytes));
    const QString garbage = dir.filePath("garbage.ini");
    QVERIFY(writeTestFile(garbage, "[Timer]\nTimeout=7\n"));
    const QString truncated = dir.filePath("truncated.ini");
    QVERIFY(writeTestFile(truncated, readTestFile(encryptSample("whole.ini")).left(2)));

    for (const QString &file : {damaged, garbage, truncated}) {
        const QByteArray before = readTestFile(file);
        for (const QStringList &command :
             {QStringList{"set", file, "Autorun", "false"}, QStringList{"hostkey", "clear", file},
              QStringList{"decrypt", file, dir.filePath("out.txt")}, QStringList{"get", file, "Autorun"}}) {
            const ProgramRun result = run(command);
            QCOMPARE(result.exitCode, 1);
            QVERIFY2(result.errors.contains("cannot decrypt"), qPrintable(result.errors));
        }
        QCOMPARE(readTestFile(file), before);
        QVERIFY(!QFile::exists(file + ".unreadable"));
        QVERIFY(!QFile::exists(dir.filePath("out.txt")));
    }
    QVERIFY(run({"dump", garbage}).errors.contains("not a settings file"));
}

void SettingsToolTest::readOnlyFileFailsAndStaysUntouched() {
#ifndef Q_OS_UNIX
    QSKIP("read-only files are checked on POSIX systems");
#else
    QStringList wrapper;
    if (geteuid() == 0) {
        // Root writes anything: run the tool as an ordinary user.
        const QString runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"));
        if (runuser.isEmpty())
            QSKIP("running as root without runuser");
        wrapper = QStringList{runuser, "-u", "nobody", "--"};
    }
    QTemporaryDir own;
    QVERIFY(QFile::setPermissions(own.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
    const QString file = own.filePath("settings.ini");
    CSettingsCipher cipher;
    cipher.setKey(programKey);
    QVERIFY(writeTestFile(file, cipher.encrypt(sampleText)));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
    const QByteArray before = readTestFile(file);

    const ProgramRun readable = run({"get", file, "Timer/Timeout"}, wrapper);
    QCOMPARE(readable.exitCode, 0);
    QCOMPARE(readable.output, QStringLiteral("7\n"));

    const ProgramRun result = run({"set", file, "Timer/Timeout", "1"}, wrapper);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.errors.contains("Source file is not opened!"), qPrintable(result.errors));
    QCOMPARE(readTestFile(file), before);
#endif
}

void SettingsToolTest::hostKeyShowAndClear() {
    const QString file = encryptSample("hostkey.ini");
    QCOMPARE(run({"hostkey", "show", file}).output, QStringLiteral("no pinned host key\n"));
    QCOMPARE(run({"set", file, "SFTP/HostKey", "SHA256:q9cXm2"}).exitCode, 0);
    const ProgramRun shown = run({"hostkey", "show", file});
    QCOMPARE(shown.exitCode, 0);
    QCOMPARE(shown.output, QStringLiteral("SHA256:q9cXm2\n"));

    QCOMPARE(run({"hostkey", "clear", file}).exitCode, 0);
    QCOMPARE(run({"hostkey", "show", file}).output, QStringLiteral("no pinned host key\n"));
    // The key is gone from the file, the rest is as it was.
    QCOMPARE(decryptWith(readTestFile(file), programKey), sampleText);
}

void SettingsToolTest::badUsageFails() {
    const QString file = encryptSample("usage.ini");
    const QByteArray before = readTestFile(file);
    for (const QStringList &command :
         {QStringList{}, QStringList{"frobnicate", file}, QStringList{"get", file},
          QStringList{"set", file, "Autorun"}, QStringList{"hostkey", "forget", file},
          QStringList{"--key", "0", "dump", file}, QStringList{"--key", "0xZZ", "dump", file},
          QStringList{"--key", "-5", "set", file, "Autorun", "x"}}) {
        const ProgramRun result = run(command);
        QVERIFY2(result.exitCode == 1, qPrintable(command.join(' ')));
        QVERIFY(!result.errors.isEmpty());
    }
    QCOMPARE(readTestFile(file), before);
}

QUILLON_GUILESS_TEST_MAIN(SettingsToolTest)
#include "tst_settingstool.moc"
