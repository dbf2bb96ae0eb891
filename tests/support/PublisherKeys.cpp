#include "PublisherKeys.h"

#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace {

// The path quoted as the Linux side names it: Wine's drive Z: is "/".
QString unixPath(QString path) {
    path = QDir::fromNativeSeparators(path);
    return "'" + (path.size() > 1 && path.at(1) == ':' ? path.mid(2) : path) + "'";
}

// Runs a shell command line and waits for it; true when it exited with 0.
bool runShell(const QString &command) {
#ifdef Q_OS_WIN
    // Wine starts a Linux program without handles: it reports its exit code through a file.
    QTemporaryDir status;
    QFile done(status.filePath("done"));
    QProcess::startDetached(
        "/bin/sh", {"-c", command + " </dev/null >/dev/null 2>&1; echo $? >" + unixPath(done.fileName())});
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired(); QThread::msleep(50)) {
        const QByteArray code = done.open(QIODevice::ReadOnly) ? done.readAll().trimmed() : QByteArray();
        done.close();
        if (!code.isEmpty())
            return code == "0";
    }
    return false;
#else
    return QProcess::execute("/bin/sh", {"-c", command + " </dev/null >/dev/null"}) == 0;
#endif
}

} // namespace

QString makePublisherKey(const QString &keyPath) {
    QFile::remove(keyPath);
    QFile::remove(keyPath + ".pub"); // ssh-keygen would ask before replacing them
    if (!runShell("ssh-keygen -q -t ed25519 -N '' -C publisher -f " + unixPath(keyPath)))
        return {};
    return QString::fromUtf8(readTestFile(keyPath + ".pub").trimmed());
}

bool signWithSshKeygen(const QString &keyPath, const QString &file, const QString &nameSpace) {
    QFile::remove(file + ".sig");
    return runShell("ssh-keygen -q -Y sign -f " + unixPath(keyPath) + " -n " + nameSpace + " " +
                    unixPath(file)) &&
           QFile::exists(file + ".sig");
}

bool publishTree(const QString &root, const QString &keyPath) {
    const ProgramRun run = runProgram(QUILLON_BINARY_DIR "/tools/quillon-publish", {root});
    if (run.exitCode != 0)
        qWarning("quillon-publish failed: %s", qPrintable(run.output + run.errors));
    return run.exitCode == 0 && (keyPath.isEmpty() || signWithSshKeygen(keyPath, root + "/quillon-manifest"));
}
