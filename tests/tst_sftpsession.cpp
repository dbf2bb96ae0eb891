// The SFTP session against real servers on loopback: log lines, host-key pinning, time-outs,
// and the safe-name checks every name from the server goes through.

#include "support/TestMain.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "transfer/SafeNames.h"
#include "transfer/sftp/SftpSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback port that nothing listens on (bound, then closed again).
static int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class SftpSessionTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir workFolder;
    QTemporaryDir tree;

private slots:
    void initTestCase() {
        useTestSettings();
        QVERIFY(QDir::setCurrent(workFolder.path()));
        QVERIFY(writeTestFile(tree.filePath("upload/Softwares/For Download/Brightfen Meter/app.exe"),
                              QByteArray(200000, 'x')));
    }
    void init() {
        QFile::remove("LogFile.log");
        setSessionTimeoutsForTesting(0, 0);
    }

    void missingServerSettingsFailAtConnect() {
        settingsStore()->setValue("SFTP/IP", "");
        settingsStore()->setValue("SFTP/port", 0);
        settingsStore()->setValue("SFTP/Login", "");
        settingsStore()->setValue("SFTP/Pswd", "");
        SftpSession session;
        QVERIFY(!openSftpSession(session));
        QVERIFY(!session.ssh && !session.sftp && !session.watchdog);
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("] - Error ssh conect - "), qPrintable(lines.first()));
    }

    void closedPortLogsOneConnectLine() {
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        settingsStore()->setValue("SFTP/port", closedPort());
        SftpSession session;
        QVERIFY(!openSftpSession(session));
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("Error ssh conect - "), qPrintable(lines.first()));
    }

    void wrongPasswordLogsTheWorkersAuthLine() {
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        settingsStore()->setValue("SFTP/Pswd", "wrong");
        SftpSession session;
        QVERIFY(!openSftpSession(session, SessionUser::Checker));
        QVERIFY(!session.ssh && !session.sftp);
        QVERIFY(!openSftpSession(session, SessionUser::Downloader));
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).contains("] - Error auth conect - "), qPrintable(lines.at(0)));
        QVERIFY2(lines.at(1).contains("] - Error auth - "), qPrintable(lines.at(1)));
    }

    void firstConnectionPinsTheKeyAndAChangedKeyIsRefusedBeforeThePassword() {
        QString learnt;
        {
            AsyncsshServer server(tree.path());
            QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
            pointSettingsAt(server);
            settingsStore()->setValue("SFTP/HostKey", "");
            SftpSession session;
            QVERIFY(openSftpSession(session));
            QVERIFY(session.ssh && session.sftp);
            closeSftpSession(session);
            QVERIFY(!session.ssh && !session.sftp);
            learnt = settingsStore()->value("SFTP/HostKey").toString();
            QCOMPARE(learnt, server.fingerprint());
        }
        // Another server (a fresh key) at the same settings: refused, and a wrong password shows
        // that authentication was never tried.
        AsyncsshServer impostor(tree.path());
        QVERIFY2(impostor.isRunning(), qPrintable(impostor.errorText()));
        QVERIFY(impostor.fingerprint() != learnt);
        pointSettingsAt(impostor);
        settingsStore()->setValue("SFTP/HostKey", learnt);
        settingsStore()->setValue("SFTP/Pswd", "wrong");
        SftpSession session;
        QVERIFY(!openSftpSession(session));
        QVERIFY(!session.ssh && !session.sftp);
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("Error host key - "), qPrintable(lines.first()));
        QVERIFY(lines.first().contains(learnt));
        QVERIFY(lines.first().contains(impostor.fingerprint()));
        QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), learnt);
    }

    void stalledServerEndsTheSessionAfterTheIdleTimeout() {
        AsyncsshServer server(tree.path(), {"--stall-after", "65536"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 700);
        SftpSession session;
        QVERIFY(openSftpSession(session));
        sftp_file file;
        {
            PendingRequest pending(session);
            file = sftp_open(session.sftp, "/upload/Softwares/For Download/Brightfen Meter/app.exe", 0, 0);
        }
        QVERIFY(file);
        qint64 total = 0;
        ssize_t count;
        QByteArray buffer(131070, Qt::Uninitialized);
        do {
            PendingRequest pending(session);
            count = sftp_read(file, buffer.data(), size_t(buffer.size()));
            total += count > 0 ? count : 0;
        } while (count > 0);
        QVERIFY(count < 0);
        QCOMPARE(total, 65536);
        QVERIFY(sessionTimedOut(session));
        sftp_close(file);
        closeSftpSession(session);
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("Error server timeout - "), qPrintable(lines.first()));
    }

    void idleSessionBetweenRequestsIsNotEnded() {
        AsyncsshServer server(tree.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 300);
        SftpSession session;
        QVERIFY(openSftpSession(session));
        QTest::qWait(800); // nothing outstanding: the watchdog must leave the session alone
        sftp_dir folder;
        {
            PendingRequest pending(session);
            folder = sftp_opendir(session.sftp, "/upload/Softwares/For Download/Brightfen Meter");
        }
        QVERIFY(folder);
        sftp_closedir(folder);
        QVERIFY(!sessionTimedOut(session));
        closeSftpSession(session);
        QVERIFY(logFileLines().isEmpty());
    }

    void silentListenerFailsAtConnectWithinTheTimeout() {
        // Accepts TCP connections (the kernel does) but never says a word.
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(listen(fd, 4), 0);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        settingsStore()->setValue("SFTP/port", int(ntohs(address.sin_port)));
        setSessionTimeoutsForTesting(800, 800);
        SftpSession session;
        const bool opened = openSftpSession(session);
        close(fd);
        QVERIFY(!opened);
        const QStringList lines = logFileLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("Error ssh conect - "), qPrintable(lines.first()));
    }

    void unsafeNamesAreRefused_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << QByteArray("app.exe") << true;
        QTest::newRow("spaces") << QByteArray("Brightfen Meter setup.exe") << true;
        QTest::newRow("cyrillic") << QString("Руководство.pdf").toUtf8() << true;
        QTest::newRow("console-like") << QByteArray("CONSOLE.txt") << true;
        QTest::newRow("com0") << QByteArray("COM0") << true;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("dot") << QByteArray(".") << false;
        QTest::newRow("dotdot") << QByteArray("..") << false;
        QTest::newRow("parent path") << QByteArray("../evil.exe") << false;
        QTest::newRow("inner parent") << QByteArray("sub/../../x") << false;
        QTest::newRow("backslash") << QByteArray("..\\..\\evil.exe") << false;
        QTest::newRow("drive") << QByteArray("C:x") << false;
        QTest::newRow("newline") << QByteArray("a\nb") << false;
        QTest::newRow("delete char") << QByteArray("a\x7f") << false;
        QTest::newRow("CON") << QByteArray("CON") << false;
        QTest::newRow("nul.txt") << QByteArray("nul.txt") << false;
        QTest::newRow("COM1") << QByteArray("COM1") << false;
        QTest::newRow("lpt9.log") << QByteArray("lpt9.log") << false;
        QTest::newRow("trailing dot") << QByteArray("setup.") << false;
        QTest::newRow("trailing space") << QByteArray("setup ") << false;
        QTest::newRow("not utf-8") << QByteArray("\xff\xfe") << false;
    }
    void unsafeNamesAreRefused() {
        QFETCH(QByteArray, name);
        QFETCH(bool, safe);
        QCOMPARE(isSafeEntryName(name), safe);
    }

    void pathsMustStayBelowTheirRoot() {
        QVERIFY(isInsideFolder("/opt/Brightfen/LoRa/app.exe", "/opt/Brightfen/LoRa"));
        QVERIFY(isInsideFolder("/opt/Brightfen/LoRa/sub/../app.exe", "/opt/Brightfen/LoRa/"));
        QVERIFY(!isInsideFolder("/opt/Brightfen/LoRa/../evil.exe", "/opt/Brightfen/LoRa"));
        QVERIFY(!isInsideFolder("/opt/Brightfen/LoRa2/app.exe", "/opt/Brightfen/LoRa"));
        QVERIFY(!isInsideFolder("/opt/Brightfen/LoRa", "/opt/Brightfen/LoRa"));
        QVERIFY(!isInsideFolder("/etc/passwd", "/opt/Brightfen/LoRa"));
        QVERIFY(isInsideFolder("sub/app.exe", "/opt/Brightfen/LoRa"));
        QCOMPARE(printableName("a\nb"), QString("a\\x0ab"));
    }
};

QUILLON_GUILESS_TEST_MAIN(SftpSessionTest)
#include "tst_sftpsession.moc"
