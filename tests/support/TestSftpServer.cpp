#include "TestSftpServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

TestSftpServer::TestSftpServer(const QString &treeRoot, const QString &user, const QString &password)
    : root(treeRoot), userName(user), userPassword(password) {}

TestSftpServer::~TestSftpServer() {
    stop();
}

bool TestSftpServer::isRunning() const {
    if (detached)
        return serverPort != 0 && QFile::exists(detachedFiles.filePath("stop"));
    return serverPort != 0 && process.state() == QProcess::Running;
}

void TestSftpServer::start(const QString &program, const QStringList &arguments, int timeoutMs) {
#ifdef Q_OS_WIN
    startDetached(program, arguments, timeoutMs);
    return;
#endif
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        error = program + ": " + process.errorString();
        return;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (keyFingerprint.isEmpty() && !deadline.hasExpired()) {
        if (!process.canReadLine() && !process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (process.canReadLine())
            readAnnouncement(process.readLine());
    }
    if (serverPort == 0 || keyFingerprint.isEmpty())
        failed(process.readAllStandardError());
}

void TestSftpServer::startDetached(const QString &program, QStringList arguments, int timeoutMs) {
    detached = true;
    const QString stopFile = detachedFiles.filePath("stop");
    const QString output = detachedFiles.filePath("output");
    QFile(stopFile).open(QIODevice::WriteOnly);
    arguments << (program.endsWith("bash") ? QStringList{stopFile} : QStringList{"--stop-file", stopFile});
    // Wine hands a Linux program no redirected handles either: a shell writes the files, on Wine's
    // drive Z: ("/").
    process.setProgram("/bin/sh");
    process.setArguments(
        QStringList{"-c", "out=${1#?:}; errors=${2#?:}; shift 2; exec \"$@\" >\"$out\" 2>\"$errors\"", "sh",
                    output, detachedFiles.filePath("errors"), program} +
        arguments);
    process.startDetached();
    QDeadlineTimer deadline(timeoutMs);
    while ((serverPort == 0 || keyFingerprint.isEmpty()) && !deadline.hasExpired()) {
        QThread::msleep(100);
        QFile file(output);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n'))
            readAnnouncement(line);
    }
    if (serverPort == 0 || keyFingerprint.isEmpty()) {
        QFile errors(detachedFiles.filePath("errors"));
        errors.open(QIODevice::ReadOnly);
        failed(errors.readAll());
    }
}

// The server prints "PORT n" and "FINGERPRINT ..." once it listens.
void TestSftpServer::readAnnouncement(const QByteArray &line) {
    if (line.startsWith("PORT "))
        serverPort = line.mid(5).trimmed().toInt();
    else if (line.startsWith("FINGERPRINT "))
        keyFingerprint = QString::fromUtf8(line.mid(12).trimmed());
}

void TestSftpServer::failed(const QByteArray &errors) {
    error = "server did not start: " + QString::fromUtf8(errors);
    stop();
    serverPort = 0;
}

void TestSftpServer::stop() {
    if (detached) {
        // The server notices within a fifth of a second; give it time to clean up.
        if (QFile::remove(detachedFiles.filePath("stop")))
            QThread::msleep(1000);
        return;
    }
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

// Asked of the file system rather than of the process, so a Windows test under Wine gets the same
// answer: only root reads /etc/shadow on Debian.
static bool runsAsRoot() {
    QFile shadow("/etc/shadow");
    return shadow.open(QIODevice::ReadOnly);
}

QString OpensshServer::unavailableReason() {
    if (!runsAsRoot())
        return "OpenSSH sshd tests need root (they create a local user and a chroot)";
    if (!QFileInfo::exists("/usr/sbin/sshd") && QStandardPaths::findExecutable("sshd").isEmpty())
        return "OpenSSH sshd is not installed (Debian package openssh-server)";
    return {};
}
