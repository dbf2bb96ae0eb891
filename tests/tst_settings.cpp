// Tests of the encrypted settings store: file format, reload rules, bad files, threads and crashes.
// The store is one per process: a test that needs a fresh one runs again in a child process.

#include "core/CEncryptedSettings.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// What the store saves (a group only named in a key's path included), and a reload of it in loadingRules.
const QByteArray storeText(
    "Autorun=true\n[Deep]\n[Path]\nBrightfen Hub Server=D:/Brightfen/LoRa\nOdd=a=b\n[Timer]\nTimeout=7\n");
constexpr quint64 testKey = 0x0DDBA11CAFEF00DULL;
// Set in a child run: the settings file its test works on.
const QString childFile = qEnvironmentVariable("QUILLON_TEST_SETTINGS_FILE");

// Starts the running test function (and row) again in a child process, with a fresh store on the file.
void startChild(QProcess &child, const QString &file) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUILLON_TEST_SETTINGS_FILE", file);
    child.setProcessEnvironment(environment);
    const QString row = QTest::currentDataTag() ? QStringLiteral(":") + QTest::currentDataTag() : QString();
    child.start(QCoreApplication::applicationFilePath(), {QTest::currentTestFunction() + row, "-o", "-,txt"});
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

public:
    // A child runs as an ordinary user where it can: root may write anything, read-only files included.
    static void initMain() {
#ifdef Q_OS_UNIX
        if (!childFile.isEmpty() && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            qFatal("cannot run as nobody");
#endif
    }

private slots:
    void initTestCase() {
        if (childFile.isEmpty()) // a killed child would leave a folder of its own behind
            QVERIFY(QFile::setPermissions(dir.emplace().path(), QFileDevice::Permissions(0x7777)));
    }

    void storeIsMadeOnceAndSavesEveryChangeInTableOrder() {
        const QString path = dir->filePath("settings.ini");
        QVERIFY(!CEncryptedSettings::getInstance(QString(), testKey) &&
                !CEncryptedSettings::getInstance(path, 0));
        CEncryptedSettings *store = CEncryptedSettings::getInstance(path, testKey);
        QVERIFY(store && store->fileName() == path);
        QCOMPARE(CEncryptedSettings::getInstance(dir->filePath("other.ini"), testKey + 1), store);
        QCOMPARE(CEncryptedSettings::getInstance(QString(), 0), store);
        // A missing file gives an empty store, and no file until the first save.
        QVERIFY(!store->value("Timer/Timeout").isValid() && QDir(dir->path()).isEmpty());
        store->setValue("Timer/Timeout", 7);
        store->setValue("Path/Quillon", "C:/Program Files/Quillon");
        store->setValue("Autorun", true);
        store->setValue("Path/Brightfen Hub Server", "D:/Brightfen/LoRa");
        store->setValue("Deep/Group/Key", "not saved");
        store->setValue("Path/Odd", "a=b");
        store->remove("Path/Quillon");
        QCOMPARE(readTestFile(path).left(2), QByteArray("\x03\x05")); // compressed, with SHA-1
        QCOMPARE(cryptSettings(readTestFile(path), true, testKey), storeText);
        QCOMPARE(store->value("Timer/Timeout"), QVariant(7));
    }

    void loadingRules_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("values"); // "key=value" after loading; a bare key: none
        QTest::addColumn<QByteArray>("saved");   // the text once Autorun is set; none: read-only, left alone
        QTest::addColumn<bool>("keptAside");     // copied to ".unreadable", replacing an older copy
        const QByteArray foreign = cryptSettings("[Timer]\nTimeout=7\n", false, testKey ^ 1);
        const QStringList timeout{"Timer/Timeout"};
        const QByteArray autorun("Autorun=false\n");
        // An empty line, a line without "=", a CRLF line, a header with stray brackets, no final line feed.
        QTest::newRow("bad lines") << cryptSettings(
                                          "noequals\n\n[SFTP]\r\nIP=host\r\n[[Timer]]\nTimeout=1\nlast=x",
                                          false, testKey)
                                   << QStringList{"SFTP\r/IP=host\r", "Timer/Timeout=1", "Timer/last=x"}
                                   << autorun + "[SFTP\r]\nIP=host\r\n[Timer]\nTimeout=1\nlast=x\n"
                                   << false;
        // After a restart every value is text, and a value holding "=" is dropped.
        QTest::newRow("saved by the store")
            << cryptSettings(storeText, false, testKey)
            << QStringList{"Timer/Timeout=7", "Autorun=true", "Path/Brightfen Hub Server=D:/Brightfen/LoRa",
                           "Path/Odd"}
            << autorun + "[Path]\nBrightfen Hub Server=D:/Brightfen/LoRa\n[Timer]\nTimeout=7\n"
            << false;
        QTest::newRow("other key") << foreign << timeout << autorun << true;
        QTest::newRow("not a cyphertext") << QByteArray("[Timer]\nTimeout=7\n") << timeout << autorun << true;
        QTest::newRow("cut to two bytes") << foreign.left(2) << timeout << autorun << true;
        QTest::newRow("read-only") << foreign << timeout << QByteArray() << false;
    }
    void loadingRules() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, values);
        QFETCH(QByteArray, saved);
        QFETCH(bool, keptAside);
#ifndef Q_OS_UNIX
        if (saved.isNull())
            QSKIP("read-only files are checked on POSIX systems");
#endif
        if (!childFile.isEmpty()) {
            CEncryptedSettings *store = CEncryptedSettings::getInstance(childFile, testKey);
            for (const QString &value : values)
                QCOMPARE(store->value(value.section('=', 0, 0)),
                         value.contains('=') ? QVariant(value.section('=', 1)) : QVariant());
            store->setValue("Autorun", "false");
            return;
        }
        const QString file = dir->filePath(QTest::currentDataTag());
        QVERIFY(writeTestFile(file, content) && writeTestFile(file + ".unreadable", "older copy"));
        // The folder is open to the child, so only the store's care keeps a read-only file as it was.
        QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(saved.isNull() ? 0x4444 : 0x6666)));
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        startChild(child, file);
        QVERIFY(child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit &&
                child.exitCode() == 0);
        if (saved.isNull())
            QCOMPARE(readTestFile(file), content);
        else
            QCOMPARE(cryptSettings(readTestFile(file), true, testKey), saved);
        QCOMPARE(readTestFile(file + ".unreadable"), keptAside ? content : QByteArray("older copy"));
    }

    void concurrentChangesAllReachTheFile() {
        CEncryptedSettings *store = CEncryptedSettings::getInstance(dir->filePath("settings.ini"), testKey);
        QVERIFY(runInThreads(4, [store](int t) {
            for (int i = 0; i < 25; ++i) { // readers between the writers
                store->setValue(QStringLiteral("Thread%1/Key%2").arg(t).arg(i),
                                QStringLiteral("%1-%2").arg(t).arg(i));
                store->value(QStringLiteral("Thread%1/Key0").arg((t + 1) % 4));
            }
        }));
        const QByteArray text = cryptSettings(readTestFile(store->fileName()), true, testKey);
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 25; ++i)
                QVERIFY(text.contains(QStringLiteral("Key%1=%2-%1\n").arg(i).arg(t).toUtf8()));
    }

    void killDuringSaveLeavesAReadableFile() {
        if (!childFile.isEmpty()) { // saves without end, the file growing and shrinking, until killed
            CEncryptedSettings *store = CEncryptedSettings::getInstance(childFile, testKey);
            for (int i = 0;; ++i) {
                store->setValue("Loop/Counter", i);
                store->setValue("Loop/Payload", QString(i % 5000, 'p'));
                if (i == 0) {
                    std::fputs("saving\n", stderr);
                    std::fflush(stderr); // on Windows a pipe would hold it back
                }
            }
        }
        for (int round = 0; round < 25; ++round) {
            QProcess saver;
            saver.setReadChannel(QProcess::StandardError);
            startChild(saver, dir->filePath("killed.ini"));
            QVERIFY(saver.waitForReadyRead(10000)); // it saves
            QThread::msleep(QRandomGenerator::global()->bounded(1, 40));
            saver.kill(); // SIGKILL; TerminateProcess on Windows
            QVERIFY(saver.waitForFinished(10000));
            const QByteArray text = cryptSettings(readTestFile(dir->filePath("killed.ini")), true, testKey);
            QVERIFY2(text.startsWith("[Loop]\nCounter="), qPrintable(QString::number(round)));
        }
    }

private:
    std::optional<QTemporaryDir> dir;
};

QUILLON_GUILESS_TEST_MAIN(SettingsTest)
#include "tst_settings.moc"
