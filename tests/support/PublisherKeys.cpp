#include "PublisherKeys.h"

#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

// The path as the Linux side names it: Wine's drive Z: is "/".
QString unixPath(QString path) {
    path = QDir::fromNativeSeparators(path);
    if (path.size() > 1 && path.at(1) == ':')
        path = path.mid(2);
    return "'" + path + "'";
}

// Runs a shell command line and waits for it; true when it exited with 0.
bool runShell(const QString &command) {
#ifdef Q_OS_WIN
    // Wine starts a Linux program without handles: it reports its exit code through a file.
    QTemporaryDir status;
    const QString done = status.filePath("done");
    QProcess::startDetached("/bin/sh",
                            {"-c", command + " </dev/null >/dev/null 2>&1; echo $? >" + unixPath(done)});
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        QThread::msleep(50);
        QFile file(done);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray code = file.readAll().trimmed();
            if (!code.isEmpty())
                return code == "0";
        }
    }
    return false;
#else
    return QProcess::execute("/bin/sh", {"-c", command + " </dev/null >/dev/null"}) == 0;
#endif
}

} // namespace

QString makePublisherKey(const QString &keyPath) {
    QFile::remove(keyPath);
    QFile::remove(keyPath + ".pub");
    if (!runShell("ssh-keygen -q -t ed25519 -N '' -C publisher -f " + unixPath(keyPath)))
        return {};
    QFile publicKey(keyPath + ".pub");
    return publicKey.open(QIODevice::ReadOnly) ? QString::fromUtf8(publicKey.readAll().trimmed()) : QString();
}

bool signWithSshKeygen(const QString &keyPath, const QString &file, const QString &nameSpace) {
    QFile::remove(file + ".sig");
    return runShell("ssh-keygen -q -Y sign -f " + unixPath(keyPath) + " -n " + nameSpace + " " +
                    unixPath(file)) &&
           QFile::exists(file + ".sig");
}

bool publishTree(const QString &root, const QString &keyPath) {
    const ProgramRun run = runProgram(QUILLON_BINARY_DIR "/tools/quillon-publish", {root});
    if (run.exitCode != 0) {
        qWarning("quillon-publish failed: %s", qPrintable(run.output + run.errors));
        return false;
    }
    return keyPath.isEmpty() || signWithSshKeygen(keyPath, root + "/quillon-manifest");
}
