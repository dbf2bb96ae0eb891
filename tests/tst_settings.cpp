// Tests of the encrypted settings store: file format, reload rules, bad files, threads and crashes.
// The store is one per process, so most cases run this executable again as a child on a fresh file.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "support/TestFiles.h"

#include <QtTest>

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr quint64 testKey = 0x0DDBA11CAFEF00DULL;

QByteArray encryptText(const QByteArray &text, quint64 key = testKey) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    cipher.setCompressionPolicy(CSettingsCipher::CompressAlways);
    cipher.setIntegrityCheck(CSettingsCipher::Sha1Integrity);
    return cipher.encrypt(text);
}

// The plaintext of a settings file, or a null array when it does not decrypt.
QByteArray decryptFile(const QString &path, quint64 key = testKey) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    CSettingsCipher cipher;
    cipher.setKey(key);
    const QByteArray content = file.readAll();
    const QByteArray plaintext = cipher.decrypt(content);
    if (content.size() < 3 || cipher.lastError() != CSettingsCipher::CipherOk)
        return QByteArray();
    return plaintext.isNull() ? QByteArray("") : plaintext;
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void getInstanceRefusesEmptyNameAndZeroKey();
    void laterCallsReturnTheSameInstance();
    void savedFileHoldsGroupsInTableOrderAndReloadsAsText();
    void valueWithEqualsSignIsSavedButDroppedOnReload();
    void keysBeforeFirstGroupSurviveRestart();
    void badLinesAreSkippedAndCarriageReturnsKept();
    void foreignOrGarbageFileLoadsEmptyAndIsKeptAside();
    void readOnlyFileStartsEmptyAndIsNotReplaced();
    void concurrentSetValueLeavesDecryptableFile();
    void killDuringSaveLeavesDecryptableFile();
    void removeDropsTheKeyFromTheFile();

private:
    QString childRun(const QString &file, const QStringList &ops, bool asNobody = false);

    // The process's own store, created on first use in this test's folder.
    CEncryptedSettings *sharedStore() {
        return CEncryptedSettings::getInstance(dir.filePath("settings.ini"), testKey);
    }

    QTemporaryDir dir;
};

QString SettingsTest::childRun(const QString &file, const QStringList &ops, bool asNobody) {
    QProcess child;
    QStringList args{QStringLiteral("child"), file};
    if (asNobody)
        args << QStringLiteral("--as-nobody");
    child.start(QCoreApplication::applicationFilePath(), args + ops);
    if (!child.waitForFinished(30000))
        return QStringLiteral("child did not finish");
    // Windows writes text lines to standard output with "\r\n".
    return QString::fromUtf8(child.readAllStandardOutput()).replace("\r\n", "\n");
}

void SettingsTest::getInstanceRefusesEmptyNameAndZeroKey() {
    QTest::ignoreMessage(QtDebugMsg, "ERROR: [CEncryptedSettings::getInstance] Invalid fileName");
    QVERIFY(!CEncryptedSettings::getInstance(QString(), 0));
    QTest::ignoreMessage(QtDebugMsg, "ERROR: [CEncryptedSettings::getInstance] Invalid secureKey");
    QVERIFY(!CEncryptedSettings::getInstance(dir.filePath("settings.ini"), 0));
    QVERIFY(!QFile::exists(dir.filePath("settings.ini")));
}

void SettingsTest::laterCallsReturnTheSameInstance() {
    CEncryptedSettings *store = sharedStore();
    QVERIFY(store);
    QCOMPARE(CEncryptedSettings::getInstance(dir.filePath("other.ini"), testKey + 1), store);
    QCOMPARE(CEncryptedSettings::getInstance(QString(), 0), store);
    QCOMPARE(store->fileName(), dir.filePath("settings.ini"));
    // A missing file gives an empty store and no file until the first save.
    QVERIFY(!QFile::exists(dir.filePath("settings.ini")));
    QVERIFY(!QFile::exists(dir.filePath("other.ini")));
    QVERIFY(!store->value("Timer/Timeout").isValid());
    QCOMPARE(store->value("Timer/Timeout", 0).toInt(), 0);
}

void SettingsTest::savedFileHoldsGroupsInTableOrderAndReloadsAsText() {
    CEncryptedSettings *store = sharedStore();
    store->setValue("Timer/Timeout", 7);
    store->setValue("Path/Quillon", "C:/Program Files/Quillon");
    store->setValue("Autorun", true);
    store->setValue("Path/Brightfen Hub Server", "D:/Brightfen/LoRa");
    store->setValue("Start/FirstStart", 1);
    store->setValue("Deep/Group/Key", "not saved");

    const QByteArray content = readTestFile(store->fileName());
    QCOMPARE(content.at(0), char(0x03));
    QCOMPARE(content.at(1), char(0x05));
    QCOMPARE(decryptFile(store->fileName()), QByteArray("Autorun=true\n"
                                                        "[Deep]\n"
                                                        "[Path]\n"
                                                        "Brightfen Hub Server=D:/Brightfen/LoRa\n"
                                                        "Quillon=C:/Program Files/Quillon\n"
                                                        "[Start]\n"
                                                        "FirstStart=1\n"
                                                        "[Timer]\n"
                                                        "Timeout=7\n"));
    // In the same run the value keeps its type.
    QCOMPARE(store->value("Timer/Timeout").typeId(), QMetaType::Int);
    QCOMPARE(store->value("Timer/Timeout").toInt(), 7);

    // After a restart every value comes back as text.
    const QString out =
        childRun(store->fileName(), {"get:Timer/Timeout", "get:Autorun", "get:Start/FirstStart",
                                     "get:Path/Brightfen Hub Server"});
    QVERIFY2(out.contains("Timer/Timeout -> 7 (QString)\n"), qPrintable(out));
    QVERIFY2(out.contains("Autorun -> true (QString)\n"), qPrintable(out));
    QVERIFY2(out.contains("Start/FirstStart -> 1 (QString)\n"), qPrintable(out));
    QVERIFY2(out.contains("Path/Brightfen Hub Server -> D:/Brightfen/LoRa (QString)\n"), qPrintable(out));
    QVERIFY2(!out.contains("log:"), qPrintable(out));
}

void SettingsTest::valueWithEqualsSignIsSavedButDroppedOnReload() {
    QTemporaryDir own;
    const QString file = own.filePath("settings.ini");
    QString out = childRun(file, {"set:Path/Odd=a=b", "set:Path/Plain=c"});
    QVERIFY2(!out.contains("log:"), qPrintable(out));
    QCOMPARE(decryptFile(file), QByteArray("[Path]\nOdd=a=b\nPlain=c\n"));

    out = childRun(file, {"get:Path/Odd", "get:Path/Plain"});
    QVERIFY2(
        out.contains("log: ERROR: [CEncryptedSettings::initFromFile] Invalid size of input line with value!"),
        qPrintable(out));
    QVERIFY2(out.contains("Path/Odd -> (invalid)"), qPrintable(out));
    QVERIFY2(out.contains("Path/Plain -> c (QString)"), qPrintable(out));
}

void SettingsTest::keysBeforeFirstGroupSurviveRestart() {
    QTemporaryDir own;
    const QString file = own.filePath("settings.ini");
    QVERIFY(writeTestFile(file, encryptText("Autorun=true\n[Timer]\nTimeout=25\n")));
    const QString out = childRun(file, {"get:Autorun", "set:Path/Quillon=/opt/quillon", "get:Timer/Timeout"});
    QVERIFY2(out.contains("Autorun -> true (QString)"), qPrintable(out));
    QVERIFY2(out.contains("Timer/Timeout -> 25 (QString)"), qPrintable(out));
    QCOMPARE(decryptFile(file),
             QByteArray("Autorun=true\n[Path]\nQuillon=/opt/quillon\n[Timer]\nTimeout=25\n"));
    QVERIFY(!QFile::exists(file + ".unreadable"));
}

void SettingsTest::badLinesAreSkippedAndCarriageReturnsKept() {
    QTemporaryDir own;
    const QString file = own.filePath("settings.ini");
    // An empty line, a line without "=", a CRLF line and a header with stray brackets.
    QVERIFY(
        writeTestFile(file, encryptText("noequals\n\n[SFTP]\r\nIP=host\r\n[[Timer]]\nTimeout=1\nlast=x")));
    const QString out = childRun(file, {"get:SFTP\r/IP", "get:Timer/Timeout", "get:Timer/last"});
    QCOMPARE(out.count("Invalid size of input line with value!"), 2);
    QVERIFY2(out.contains("SFTP\r/IP -> host\r (QString)"), qPrintable(out));
    QVERIFY2(out.contains("Timer/Timeout -> 1 (QString)"), qPrintable(out));
    QVERIFY2(out.contains("Timer/last -> x (QString)"), qPrintable(out));
}

void SettingsTest::foreignOrGarbageFileLoadsEmptyAndIsKeptAside() {
    QTemporaryDir own;
    const QString file = own.filePath("settings.ini");
    const QByteArray foreign = encryptText("[Timer]\nTimeout=7\n", testKey ^ 1);
    QVERIFY(writeTestFile(file, foreign));
    QString out = childRun(file, {"get:Timer/Timeout", "set:Autorun=false", "set:Timer/Timeout=12"});
    QVERIFY2(out.contains("log: ERROR: [CEncryptedSettings::initFromFile] Error while decrypt [3]"),
             qPrintable(out));
    QVERIFY2(out.contains("Timer/Timeout -> (invalid)"), qPrintable(out));
    QCOMPARE(readTestFile(file + ".unreadable"), foreign);
    QCOMPARE(decryptFile(file), QByteArray("Autorun=false\n[Timer]\nTimeout=12\n"));

    // A later unreadable file replaces the older copy.
    const QByteArray garbage("\x00not a settings file at all", 27);
    QVERIFY(writeTestFile(file, garbage));
    out = childRun(file, {"set:Autorun=true"});
    QVERIFY2(out.contains("Error while decrypt [2]"), qPrintable(out));
    QCOMPARE(readTestFile(file + ".unreadable"), garbage);
    QCOMPARE(decryptFile(file), QByteArray("Autorun=true\n"));

    // A file cut to two bytes decrypts to nothing without an error, but it is damaged all the same.
    QVERIFY(writeTestFile(file, foreign.left(2)));
    out = childRun(file, {"set:Autorun=true"});
    QCOMPARE(readTestFile(file + ".unreadable"), foreign.left(2));

    // A readable file is never copied aside.
    QVERIFY(QFile::remove(file + ".unreadable"));
    out = childRun(file, {"set:Autorun=false"});
    QVERIFY(!QFile::exists(file + ".unreadable"));
}

void SettingsTest::readOnlyFileStartsEmptyAndIsNotReplaced() {
#ifndef Q_OS_UNIX
    QSKIP("read-only files are checked on POSIX systems");
#else
    QTemporaryDir own;
    QVERIFY(QFile::setPermissions(own.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
    const QString file = own.filePath("settings.ini");
    const QByteArray original = encryptText("[Timer]\nTimeout=7\n");
    QVERIFY(writeTestFile(file, original));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
    const QString out = childRun(file, {"get:Timer/Timeout", "set:Timer/Timeout=1"}, true);
    QVERIFY2(out.contains("log: ERROR: [CEncryptedSettings::initFromFile] Source file is not opened!"),
             qPrintable(out));
    QVERIFY2(out.contains("Timer/Timeout -> (invalid)"), qPrintable(out));
    QVERIFY2(out.contains("log: ERROR: [CEncryptedSettings::saveToFile] Source file is not opened!"),
             qPrintable(out));
    // The folder is writable, so only the check keeps the rename from replacing the file.
    QCOMPARE(readTestFile(file), original);
    QVERIFY(!QFile::exists(file + ".unreadable"));
#endif
}

void SettingsTest::concurrentSetValueLeavesDecryptableFile() {
    CEncryptedSettings *store = sharedStore();
    constexpr int threadCount = 4;
    constexpr int writes = 25;
    QList<QThread *> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads << QThread::create([store, t]() {
            for (int i = 0; i < writes; ++i) {
                store->setValue(QStringLiteral("Thread%1/Count").arg(t), i);
                store->setValue(QStringLiteral("Thread%1/Key%2").arg(t).arg(i), QString(i, QLatin1Char('x')));
                // Readers run between the writers.
                store->value(QStringLiteral("Thread%1/Count").arg((t + 1) % threadCount));
            }
        });
    }
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }
    const QByteArray plaintext = decryptFile(store->fileName());
    QVERIFY(!plaintext.isEmpty());
    for (int t = 0; t < threadCount; ++t) {
        QVERIFY(plaintext.contains(QStringLiteral("[Thread%1]\nCount=%2\n").arg(t).arg(writes - 1).toUtf8()));
        for (int i = 0; i < writes; ++i)
            QVERIFY(plaintext.contains(
                QStringLiteral("Key%1=%2\n").arg(i).arg(QString(i, QLatin1Char('x'))).toUtf8()));
    }
}

void SettingsTest::killDuringSaveLeavesDecryptableFile() {
    QTemporaryDir own;
    const QString file = own.filePath("settings.ini");
    for (int round = 0; round < 25; ++round) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"save-loop", file});
        QVERIFY(child.waitForStarted());
        // Wait for the child to report that it is saving, then kill it at a random moment.
        QVERIFY(child.waitForReadyRead(10000));
        QThread::msleep(QRandomGenerator::global()->bounded(1, 40));
        child.kill(); // SIGKILL; TerminateProcess on Windows
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const QByteArray plaintext = decryptFile(file);
        QVERIFY2(plaintext.startsWith("[Loop]\nCounter="), qPrintable(QString::number(round)));
    }
}

void SettingsTest::removeDropsTheKeyFromTheFile() {
    CEncryptedSettings *store = sharedStore();
    store->setValue("SFTP/HostKey", "SHA256:abc");
    QVERIFY(decryptFile(store->fileName()).contains("HostKey=SHA256:abc\n"));
    store->remove("SFTP/HostKey");
    QVERIFY(!store->value("SFTP/HostKey").isValid());
    QVERIFY(!decryptFile(store->fileName()).contains("HostKey"));
}

namespace {

// Child mode: "child FILE [--as-nobody] op..." where op is set:K=V, get:K, remove:K.
// Prints the store's messages as "log: ..." and each get as "K -> value (type)".
int runChildOps(const QStringList &args) {
    QTextStream out(stdout);
    int next = 1;
#ifdef Q_OS_UNIX
    if (args.value(next) == QLatin1String("--as-nobody")) {
        ++next;
        // Root may write anything; an ordinary user is what a read-only file is about.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 3;
    }
#endif
    // Catch the store's messages, the loading ones included, through Qt's message handler.
    static QTextStream *messages = &out;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        if (message.startsWith(QLatin1String("ERROR: [CEncryptedSettings::")))
            *messages << "log: " << message << "\n";
    });
    CEncryptedSettings *store = CEncryptedSettings::getInstance(args.at(0), testKey);
    if (!store)
        return 2;
    for (int i = next; i < args.size(); ++i) {
        const QString op = args.at(i);
        const QString argument = op.section(QLatin1Char(':'), 1);
        if (op.startsWith(QLatin1String("set:"))) {
            const int equals = argument.indexOf(QLatin1Char('='));
            store->setValue(argument.left(equals), argument.mid(equals + 1));
        } else if (op.startsWith(QLatin1String("get:"))) {
            const QVariant value = store->value(argument);
            out << argument << " -> "
                << (value.isValid() ? value.toString() + " (" + value.metaType().name() + ")"
                                    : QStringLiteral("(invalid)"))
                << "\n";
        } else if (op.startsWith(QLatin1String("remove:"))) {
            store->remove(argument);
        }
        out.flush();
    }
    return 0;
}

// Saves without end, with a value that grows and shrinks, until the parent kills it.
int runSaveLoop(const QString &file) {
    CEncryptedSettings *store = CEncryptedSettings::getInstance(file, testKey);
    if (!store)
        return 2;
    QTextStream out(stdout);
    for (quint64 counter = 0;; ++counter) {
        store->setValue(QStringLiteral("Loop/Counter"), counter);
        store->setValue(QStringLiteral("Loop/Payload"), QString(int(counter % 5000), QLatin1Char('p')));
        if (counter == 0) {
            out << "saving\n";
            out.flush();
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("child"))
        return runChildOps(args.mid(1));
    if (args.value(0) == QLatin1String("save-loop"))
        return runSaveLoop(args.value(1));
    SettingsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"
