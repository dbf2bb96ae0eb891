// The platform layer on Windows: Qt types around the plain Win32 services of WinPlatform.

#include "platform/Platform.h"
#include "platform/win/WinPlatform.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>

namespace {

const wchar_t runValueName[] = L"Quillon";

std::atomic<int> pretendedMajor{-1};
std::atomic<int> pretendedMinor{0};

} // namespace

namespace Platform {

QString programFileName() {
    return QStringLiteral("Quillon.exe");
}
QString oldProgramFileName() {
    return QStringLiteral("Old.exe");
}
QString cleanupScriptName() {
    return QStringLiteral("delete.bat");
}

// An update-list key naming "Quillon.exe" anywhere is the program itself (case-sensitive).
bool isProgramFile(const QString &localPath) {
    return localPath.contains(programFileName());
}

bool isProgramToCheck(const QString &localPath) {
    return localPath.contains(QLatin1String(".exe"));
}

QByteArray cleanupScriptText(const QString &oldProgramPath) {
    return QByteArray::fromStdString(WinPlatform::cleanupScriptText(oldProgramPath.toStdWString()));
}

QString cleanupScriptProgram(const QString &scriptPath, QStringList *arguments) {
    // Started as it is, without arguments: the system hands a batch file to the command interpreter.
    if (arguments)
        arguments->clear();
    return QDir::toNativeSeparators(scriptPath);
}

qint64 findProcessByName(const QString &name) {
    return qint64(WinPlatform::findProcessByName(name.toStdWString()));
}

bool isProcessRunning(qint64 processId) {
    return processId > 0 && WinPlatform::isProcessRunning(static_cast<unsigned long>(processId));
}

bool isWindowsVersionOrGreater(quint16 major, quint16 minor, quint16 servicePackMajor) {
    const int pretended = pretendedMajor.load();
    if (pretended < 0)
        return WinPlatform::isWindowsVersionOrGreater(major, minor, servicePackMajor);
    // Compared like the version service: major first, then minor, then the service pack (0 here).
    const int pretendedMinorVersion = pretendedMinor.load();
    if (pretended != major)
        return pretended > major;
    if (pretendedMinorVersion != minor)
        return pretendedMinorVersion > minor;
    return servicePackMajor == 0;
}

bool setStartWithSystem(bool enabled, const QString &programPath) {
    if (!enabled)
        return WinPlatform::removeRunValue(runValueName);
    return WinPlatform::setRunValue(runValueName, QDir::toNativeSeparators(programPath).toStdWString());
}

bool startsWithSystem() {
    return WinPlatform::readRunValue(runValueName, nullptr);
}

void applyRemotePermissions(const QString &, quint32) {
    // Windows files carry no POSIX permission bits; a fetched file is usable as it is.
}

void setVersionForTesting(int major, int minor) {
    pretendedMinor.store(minor);
    pretendedMajor.store(major);
}

} // namespace Platform
