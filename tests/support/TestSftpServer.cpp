#include "TestSftpServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

TestSftpServer::TestSftpServer(const QString &treeRoot, const QString &user, const QString &password)
    : root(treeRoot), userName(user), userPassword(password) {}

TestSftpServer::~TestSftpServer() {
    stop();
}

void TestSftpServer::start(const QString &program, const QStringList &arguments, int timeoutMs) {
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        error = program + ": " + process.errorString();
        return;
    }
    // The server prints "PORT n" and "FINGERPRINT ..." once it listens.
    QDeadlineTimer deadline(timeoutMs);
    while (keyFingerprint.isEmpty() && !deadline.hasExpired()) {
        if (!process.canReadLine() && !process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            if (line.startsWith("PORT "))
                serverPort = line.mid(5).toInt();
            else if (line.startsWith("FINGERPRINT "))
                keyFingerprint = line.mid(12);
        }
    }
    if (serverPort == 0 || keyFingerprint.isEmpty()) {
        error = "server did not start: " + QString::fromUtf8(process.readAllStandardError());
        stop();
        serverPort = 0;
    }
}

void TestSftpServer::stop() {
    if (process.state() == QProcess::NotRunning)
        return;
    // Closing its standard input tells the server to stop and clean up after itself.
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
}

AsyncsshServer::AsyncsshServer(const QString &treeRoot, const QStringList &faultSwitches)
    : TestSftpServer(treeRoot, "quillon", "Test-Pa55") {
    QStringList arguments{QStringLiteral(QUILLON_TEST_SERVERS "/asyncssh_server.py"),
                          "--root",
                          treeRoot,
                          "--user",
                          user(),
                          "--password",
                          password()};
    start("/usr/bin/python3", arguments + faultSwitches, 20000);
}

static QString randomUserName() {
    return QString("qtest%1").arg(QRandomGenerator::global()->bounded(100000, 999999));
}

OpensshServer::OpensshServer(const QString &treeRoot)
    : TestSftpServer(treeRoot, randomUserName(),
                     QString("Pw-%1").arg(QRandomGenerator::global()->generate64(), 0, 36)) {
    if (!unavailableReason().isEmpty())
        return;
    start("/bin/bash",
          {QStringLiteral(QUILLON_TEST_SERVERS "/openssh_server.sh"), treeRoot, user(), password()}, 30000);
}

// Asked of the system rather than of the process, so a Windows test under Wine gets the same answer.
static bool runsAsRoot() {
    QProcess id;
    id.start("/usr/bin/id", {"-u"});
    return id.waitForFinished(10000) && id.readAllStandardOutput().trimmed() == "0";
}

QString OpensshServer::unavailableReason() {
    if (!runsAsRoot())
        return "OpenSSH sshd tests need root (they create a local user and a chroot)";
    if (!QFileInfo::exists("/usr/sbin/sshd") && QStandardPaths::findExecutable("sshd").isEmpty())
        return "OpenSSH sshd is not installed (Debian package openssh-server)";
    return {};
}
