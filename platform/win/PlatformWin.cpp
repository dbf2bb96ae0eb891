// The platform layer on Windows: Qt types around the plain Win32 services of WinPlatform.

#include "platform/Platform.h"
#include "platform/PretendedVersion.h"
#include "platform/win/WinPlatform.h"

#include <QDir>
#include <QFileInfo>

namespace {

const wchar_t runValueName[] = L"Quillon";

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
    if (!PretendedVersion::isSet())
        return WinPlatform::isWindowsVersionOrGreater(major, minor, servicePackMajor);
    return PretendedVersion::isAtLeast(major, minor, servicePackMajor);
}

bool setStartWithSystem(bool enabled, const QString &programPath) {
    if (!enabled)
        return WinPlatform::removeRunValue(runValueName);
    return WinPlatform::setRunValue(runValueName, QDir::toNativeSeparators(programPath).toStdWString());
}

bool startsWithSystem() {
    return WinPlatform::readRunValue(runValueName, nullptr);
}

bool replaceFile(const QString &from, const QString &to, QString *error) {
    if (WinPlatform::replaceFile(from.toStdWString(), to.toStdWString()))
        return true;
    if (error)
        *error = qt_error_string(-1); // the thread's last Win32 error
    return false;
}

void applyRemotePermissions(const QString &, quint32) {
    // Windows files carry no POSIX permission bits; a fetched file is usable as it is.
}

int terminalColumns() {
    return WinPlatform::consoleColumns();
}

void setVersionForTesting(int major, int minor) {
    PretendedVersion::set(major, minor);
}

} // namespace Platform
