// One program per folder on POSIX systems: an flock on "Quillon.lock" and a FIFO "Quillon.fifo" on which
// later starts call.

#include "platform/Platform.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int lockFd = -1;
int fifoFd = -1;
QPointer<QSocketNotifier> listener;

QByteArray fifoPath(const QString &programFolder) {
    return QFile::encodeName(programFolder + QStringLiteral("/Quillon.fifo"));
}

} // namespace

namespace Platform {

bool claimProgramFolder(const QString &programFolder) {
    releaseProgramFolder();
    // Close-on-exec: installers and the restarted program must not inherit the lock.
    const QByteArray lockPath = QFile::encodeName(programFolder + QStringLiteral("/Quillon.lock"));
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return true; // a folder we cannot lock cannot be told apart: run as before
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return !held;
    }
    lockFd = fd;
    // Read and write, so the FIFO never reports an end when a caller closes it.
    const QByteArray path = fifoPath(programFolder);
    if (::mkfifo(path.constData(), 0600) == 0 || errno == EEXIST)
        fifoFd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return true;
}

void releaseProgramFolder() {
    delete listener;
    if (fifoFd >= 0)
        ::close(fifoFd);
    if (lockFd >= 0)
        ::close(lockFd);
    fifoFd = lockFd = -1;
}

void listenForLaterStarts(QObject *owner, const std::function<void()> &onCall) {
    if (fifoFd < 0)
        return;
    delete listener;
    listener = new QSocketNotifier(fifoFd, QSocketNotifier::Read, owner);
    QObject::connect(listener, &QSocketNotifier::activated, owner, [onCall] {
        char calls[64];
        bool called = false;
        while (::read(fifoFd, calls, sizeof calls) > 0)
            called = true;
        if (called)
            onCall();
    });
}

bool callRunningProgram(const QString &programFolder) {
    // Without a reader the open fails (ENXIO) instead of waiting.
    const int fd = ::open(fifoPath(programFolder).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, "!", 1) == 1;
    ::close(fd);
    return written;
}

} // namespace Platform
