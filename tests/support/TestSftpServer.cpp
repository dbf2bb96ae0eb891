#include "TestSftpServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

bool TestSftpServer::isRunning() const {
    return serverPort != 0 &&
           (detached ? QFile::exists(detachedFiles.filePath("stop")) : process.state() == QProcess::Running);
}

void TestSftpServer::start(const QString &program, QStringList arguments, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    const auto announced = [this] { return serverPort != 0 && !keyFingerprint.isEmpty(); };
    QByteArray errors;
#ifdef Q_OS_WIN
    // Under Wine the server is a Linux program started without handles or pipes: a shell writes its
    // output to files on Wine's drive Z: ("/"), and it serves while the stop file exists.
    detached = true;
    const QString stopFile = detachedFiles.filePath("stop"), output = detachedFiles.filePath("output");
    QFile(stopFile).open(QIODevice::WriteOnly);
    arguments << (program.endsWith("bash") ? QStringList{stopFile} : QStringList{"--stop-file", stopFile});
    process.setProgram("/bin/sh");
    process.setArguments(
        QStringList{"-c", "out=${1#?:}; errors=${2#?:}; shift 2; exec \"$@\" >\"$out\" 2>\"$errors\"", "sh",
                    output, detachedFiles.filePath("errors"), program} +
        arguments);
    process.startDetached();
    while (!announced() && !deadline.hasExpired()) {
        QThread::msleep(100);
        QFile file(output);
        if (file.open(QIODevice::ReadOnly))
            readAnnouncement(file.readAll());
    }
    QFile errorFile(detachedFiles.filePath("errors"));
    if (!announced() && errorFile.open(QIODevice::ReadOnly))
        errors = errorFile.readAll();
#else
    process.start(program, arguments);
    while (process.waitForStarted(timeoutMs) && !announced() && !deadline.hasExpired()) {
        if (!process.canReadLine() && !process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (process.canReadLine())
            readAnnouncement(process.readLine());
    }
    errors = process.errorString().toUtf8() + "\n" + process.readAllStandardError();
#endif
    if (!announced()) {
        error = program + " did not start: " + QString::fromUtf8(errors);
        stop();
        serverPort = 0;
    }
}

// The server prints "PORT n" and "FINGERPRINT ..." once it listens.
void TestSftpServer::readAnnouncement(const QByteArray &lines) {
    for (const QByteArray &line : lines.split('\n')) {
        if (line.startsWith("PORT "))
            serverPort = line.mid(5).trimmed().toInt();
        else if (line.startsWith("FINGERPRINT "))
            keyFingerprint = QString::fromUtf8(line.mid(12).trimmed());
    }
}

void TestSftpServer::stop() {
    if (detached) {
        // The server notices within a fifth of a second; give it time to clean up.
        if (QFile::remove(detachedFiles.filePath("stop")))
            QThread::msleep(1000);
        return;
    }
    // Closing its standard input tells the server to stop and clean up after itself; then harder.
    for (auto end : {&QProcess::closeWriteChannel, &QProcess::terminate, &QProcess::kill}) {
        if (process.state() == QProcess::NotRunning)
            return;
        (process.*end)();
        process.waitForFinished(10000);
    }
}

AsyncsshServer::AsyncsshServer(const QString &treeRoot, const QStringList &faultSwitches)
    : TestSftpServer("quillon", "Test-Pa55") {
    const QStringList login{"--user", user(), "--password", password()};
    start("/usr/bin/python3",
          QStringList{QUILLON_TEST_SERVERS "/asyncssh_server.py", "--root", treeRoot} + login + faultSwitches,
          20000);
}

OpensshServer::OpensshServer(const QString &treeRoot)
    : TestSftpServer(QString("qtest%1").arg(QRandomGenerator::global()->bounded(100000, 999999)),
                     QString("Pw-%1").arg(QRandomGenerator::global()->generate64(), 0, 36)) {
    if (unavailableReason().isEmpty())
        start("/bin/bash", {QUILLON_TEST_SERVERS "/openssh_server.sh", treeRoot, user(), password()}, 30000);
}

QString OpensshServer::unavailableReason() {
    // Asked of the file system rather than of the process, so a Windows test under Wine gets the same
    // answer: only root reads /etc/shadow on Debian.
    if (!QFile("/etc/shadow").open(QIODevice::ReadOnly))
        return "OpenSSH sshd tests need root (they create a local user and a chroot)";
    if (!QFileInfo::exists("/usr/sbin/sshd") && QStandardPaths::findExecutable("sshd").isEmpty())
        return "OpenSSH sshd is not installed (Debian package openssh-server)";
    return {};
}
