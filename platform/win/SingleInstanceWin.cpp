// One program per folder on Windows: the lock file of WinPlatform, and a named event per folder on which
// later starts call.

#include "platform/Platform.h"
#include "platform/win/WinPlatform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QPointer>
#include <QWinEventNotifier>

namespace {

void *lockHandle = nullptr;
void *eventHandle = nullptr;
QPointer<QWinEventNotifier> listener;

// Event names cannot hold backslashes, and the same folder may be spelt in other letter cases.
std::wstring callEventName(const QString &programFolder) {
    const QByteArray folder = QDir::toNativeSeparators(QDir::cleanPath(programFolder)).toLower().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(folder, QCryptographicHash::Md5).toHex();
    return L"Local\\Quillon-" + QString::fromLatin1(digest).toStdWString();
}

} // namespace

namespace Platform {

bool claimProgramFolder(const QString &programFolder) {
    releaseProgramFolder();
    bool held = false;
    lockHandle =
        WinPlatform::lockFile((programFolder + QStringLiteral("/Quillon.lock")).toStdWString(), &held);
    if (!lockHandle)
        return !held; // a folder we cannot lock cannot be told apart: run as before
    eventHandle = WinPlatform::createCallEvent(callEventName(programFolder));
    return true;
}

void releaseProgramFolder() {
    delete listener;
    WinPlatform::closeHandle(eventHandle);
    WinPlatform::closeHandle(lockHandle);
    eventHandle = lockHandle = nullptr;
}

void listenForLaterStarts(QObject *owner, const std::function<void()> &onCall) {
    if (!eventHandle)
        return;
    delete listener;
    listener = new QWinEventNotifier(eventHandle, owner);
    QObject::connect(listener, &QWinEventNotifier::activated, owner, [onCall] { onCall(); });
}

bool callRunningProgram(const QString &programFolder) {
    return WinPlatform::setCallEvent(callEventName(programFolder));
}

} // namespace Platform
