// Tests of the encrypted settings store: file format, reload rules, bad files, threads and crashes.
// The store is one per process, so reloads run this executable again as a child on a file of their own.

#include "core/CEncryptedSettings.h"
#include "support/TestFiles.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr quint64 testKey = 0x0DDBA11CAFEF00DULL;

// Encrypts a settings text, or decrypts a settings file's bytes ("<not decryptable>" when they do not).
QByteArray crypt(const QByteArray &data, bool decrypt, quint64 key = testKey) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    cipher.setCompressionPolicy(CSettingsCipher::CompressAlways);
    cipher.setIntegrityCheck(CSettingsCipher::Sha1Integrity);
    const QByteArray result = decrypt ? cipher.decrypt(data) : cipher.encrypt(data);
    return cipher.lastError() == CSettingsCipher::CipherOk ? result : QByteArray("<not decryptable>");
}

QByteArray savedText(const QString &path) {
    return crypt(readTestFile(path), true);
}

// Runs this executable as a child on the file (see runChild); its output with Windows line ends made plain.
QString child(const QString &file, const QStringList &ops) {
    const QStringList arguments = QStringList{"child", file} + ops;
    return runProgram(QCoreApplication::applicationFilePath(), arguments, {}, 30000)
        .output.replace("\r\n", "\n");
}

const QString badLine =
    "log: ERROR: [CEncryptedSettings::initFromFile] Invalid size of input line with value!\n";

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void storeIsMadeOnceAndSavesEveryChangeInTableOrder() {
        const QString path = dir.filePath("settings.ini");
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CEncryptedSettings::getInstance] Invalid fileName");
        QVERIFY(!CEncryptedSettings::getInstance(QString(), testKey));
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CEncryptedSettings::getInstance] Invalid secureKey");
        QVERIFY(!CEncryptedSettings::getInstance(path, 0));
        CEncryptedSettings *store = CEncryptedSettings::getInstance(path, testKey);
        QVERIFY(store);
        QCOMPARE(CEncryptedSettings::getInstance(dir.filePath("other.ini"), testKey + 1), store);
        QCOMPARE(CEncryptedSettings::getInstance(QString(), 0), store);
        QCOMPARE(store->fileName(), path);
        // A missing file gives an empty store, and no file until the first save.
        QVERIFY(!store->value("Timer/Timeout").isValid());
        QVERIFY(QDir(dir.path()).isEmpty());

        store->setValue("Timer/Timeout", 7);
        store->setValue("Path/Quillon", "C:/Program Files/Quillon");
        store->setValue("Autorun", true);
        store->setValue("Path/Brightfen Hub Server", "D:/Brightfen/LoRa");
        store->setValue("Deep/Group/Key", "not saved");
        store->setValue("Path/Odd", "a=b");
        store->remove("Path/Quillon");
        QCOMPARE(readTestFile(path).left(2), QByteArray("\x03\x05"));
        QCOMPARE(savedText(path),
                 QByteArray("Autorun=true\n[Deep]\n[Path]\nBrightfen Hub Server=D:/Brightfen/LoRa\n"
                            "Odd=a=b\n[Timer]\nTimeout=7\n"));
        QCOMPARE(store->value("Timer/Timeout").typeId(), QMetaType::Int);
        // After a restart every value is text, and a value holding "=" is dropped.
        QCOMPARE(child(path,
                       {"get:Timer/Timeout", "get:Autorun", "get:Path/Brightfen Hub Server", "get:Path/Odd"}),
                 badLine +
                     "Timer/Timeout -> 7 (QString)\nAutorun -> true (QString)\n"
                     "Path/Brightfen Hub Server -> D:/Brightfen/LoRa (QString)\nPath/Odd -> (invalid)\n");
    }

    void loadingRules_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("ops");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QByteArray>("saved"); // the text saved afterwards; none: the file as it was
        QTest::addColumn<bool>("keptAside"); // the unreadable file copied beside it, replacing an older copy
        const QString decryptError =
            "log: ERROR: [CEncryptedSettings::initFromFile] Error while decrypt [%1]\n";
        const QByteArray foreign = crypt("[Timer]\nTimeout=7\n", false, testKey ^ 1);
        QTest::newRow("keys before the first group")
            << crypt("Autorun=true\n[Timer]\nTimeout=25\n", false)
            << QStringList{"get:Autorun", "set:Path/Quillon=/opt/quillon", "get:Timer/Timeout"}
            << "Autorun -> true (QString)\nTimer/Timeout -> 25 (QString)\n"
            << QByteArray("Autorun=true\n[Path]\nQuillon=/opt/quillon\n[Timer]\nTimeout=25\n") << false;
        // An empty line, a line without "=", a CRLF line, a header with stray brackets, no final line feed.
        QTest::newRow("bad lines") << crypt("noequals\n\n[SFTP]\r\nIP=host\r\n[[Timer]]\nTimeout=1\nlast=x",
                                            false)
                                   << QStringList{"get:SFTP\r/IP", "get:Timer/Timeout", "get:Timer/last"}
                                   << badLine + badLine +
                                          "SFTP\r/IP -> host\r (QString)\nTimer/Timeout -> 1 (QString)\n"
                                          "Timer/last -> x (QString)\n"
                                   << QByteArray() << false;
        QTest::newRow("other key") << foreign << QStringList{"get:Timer/Timeout", "set:Autorun=false"}
                                   << decryptError.arg(3) + "Timer/Timeout -> (invalid)\n"
                                   << QByteArray("Autorun=false\n") << true;
        QTest::newRow("not a cyphertext")
            << QByteArray("[Timer]\nTimeout=7\n") << QStringList{"set:Autorun=true"} << decryptError.arg(2)
            << QByteArray("Autorun=true\n") << true;
        QTest::newRow("cut to two bytes") << foreign.left(2) << QStringList{"set:Autorun=true"} << QString()
                                          << QByteArray("Autorun=true\n") << true;
        QTest::newRow("read-only")
            << foreign << QStringList{"nobody", "get:Timer/Timeout", "set:Timer/Timeout=1"}
            << "log: ERROR: [CEncryptedSettings::initFromFile] Source file is not opened!\n"
               "Timer/Timeout -> (invalid)\n"
               "log: ERROR: [CEncryptedSettings::saveToFile] Source file is not opened!\n"
            << QByteArray() << false;
    }
    void loadingRules() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, ops);
        QFETCH(QString, output);
        QFETCH(QByteArray, saved);
        QFETCH(bool, keptAside);
        QTemporaryDir own;
        const QString file = own.filePath("settings.ini");
        QVERIFY(writeTestFile(file, content) && writeTestFile(file + ".unreadable", "older copy"));
        if (ops.contains("nobody")) {
#ifndef Q_OS_UNIX
            QSKIP("read-only files are checked on POSIX systems");
#endif
            // The folder is writable, so only the store's check keeps a rename from replacing the file.
            QVERIFY(QFile::setPermissions(own.path(), QFileDevice::Permissions(0x7777)));
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
        }
        QCOMPARE(child(file, ops), output);
        QCOMPARE(saved.isNull() ? readTestFile(file) : savedText(file), saved.isNull() ? content : saved);
        QCOMPARE(readTestFile(file + ".unreadable"), keptAside ? content : QByteArray("older copy"));
    }

    void concurrentChangesAllReachTheFile() {
        CEncryptedSettings *store = CEncryptedSettings::getInstance(dir.filePath("settings.ini"), testKey);
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t)
            threads << QThread::create([store, t] {
                for (int i = 0; i < 25; ++i) {
                    store->setValue(QStringLiteral("Thread%1/Key%2").arg(t).arg(i),
                                    QStringLiteral("%1-%2").arg(t).arg(i));
                    store->value(
                        QStringLiteral("Thread%1/Key0").arg((t + 1) % 4)); // a reader between the writers
                }
            });
        for (QThread *thread : threads)
            thread->start();
        for (QThread *thread : threads)
            QVERIFY(thread->wait(60000));
        qDeleteAll(threads);
        const QByteArray text = savedText(store->fileName());
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 25; ++i)
                QVERIFY(text.contains(QStringLiteral("Key%1=%2-%1\n").arg(i).arg(t).toUtf8()));
    }

    void killDuringSaveLeavesAReadableFile() {
        const QString file = dir.filePath("killed.ini");
        for (int round = 0; round < 25; ++round) {
            QProcess saver;
            saver.start(QCoreApplication::applicationFilePath(), {"child", file, "loop"});
            QVERIFY(saver.waitForReadyRead(10000)); // it saves
            QThread::msleep(QRandomGenerator::global()->bounded(1, 40));
            saver.kill(); // SIGKILL; TerminateProcess on Windows
            QVERIFY(saver.waitForFinished(10000));
            QVERIFY2(savedText(file).startsWith("[Loop]\nCounter="), qPrintable(QString::number(round)));
        }
    }

private:
    QTemporaryDir dir;
};

// Child mode, "child FILE [nobody] op...": opens the store on FILE as that user, then for each op
// (set:K=V or get:K) changes or prints a value; prints the store's messages as they come. With "loop"
// it then saves without end, until the parent kills it.
int runChild(QStringList ops) {
    static QTextStream out(stdout);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        if (message.startsWith(QLatin1String("ERROR: ")))
            out << "log: " << message << Qt::endl;
    });
#ifdef Q_OS_UNIX
    // Root may write anything: a read-only file is about an ordinary user.
    if (ops.removeOne("nobody") && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 3;
#endif
    CEncryptedSettings *store = CEncryptedSettings::getInstance(ops.takeFirst(), testKey);
    for (const QString &op : ops) {
        const QString key = op.mid(4).section('=', 0, 0);
        const QVariant value = store->value(key);
        if (op.startsWith("set:"))
            store->setValue(key, op.section('=', 1));
        else if (op.startsWith("get:"))
            out << key << " -> "
                << (value.isValid() ? value.toString() + " (" + value.typeName() + ")" : "(invalid)")
                << Qt::endl;
    }
    for (int i = 0; ops.contains("loop"); ++i) {
        store->setValue("Loop/Counter", i);
        store->setValue("Loop/Payload", QString(i % 5000, 'p')); // a file that grows and shrinks
        out << (i == 0 ? "saving\n" : "") << Qt::flush;
    }
    return 0;
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == "child")
        return runChild(app.arguments().mid(2));
    SettingsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"
