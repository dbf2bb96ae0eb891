// The platform layer on POSIX systems: Qt around the /proc process table, an XDG autostart entry, sh scripts.

#include "platform/Platform.h"
#include "platform/PretendedVersion.h"
#include "platform/posix/ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

QString autostartEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/Quillon.desktop");
}

// Single quotes keep every character of a path as it is; a quote itself is closed, escaped and reopened.
QString shellQuoted(QString text) {
    return QLatin1Char('\'') + text.replace("'", "'\\''") + QLatin1Char('\'');
}

// The Exec key of a desktop entry: one quoted argument, with the characters that are special inside
// the quotes escaped, and the backslashes doubled once more for the key file's own string rules.
QString desktopExecQuoted(const QString &path) {
    QString quoted;
    for (const QChar c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace("\\", "\\\\");
    quoted.replace("%", "%%");
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

namespace Platform {

QString programFileName() {
    return QStringLiteral("Quillon");
}
QString oldProgramFileName() {
    return QStringLiteral("Old");
}
QString cleanupScriptName() {
    return QStringLiteral("delete.sh");
}

bool isProgramFile(const QString &localPath) {
    return QFileInfo(localPath).fileName() == programFileName();
}

bool isProgramToCheck(const QString &localPath) {
    if (localPath.contains(QLatin1String(".exe")))
        return true;
    const QFileInfo file(localPath);
    return file.isFile() && file.isExecutable();
}

QByteArray cleanupScriptText(const QString &oldProgramPath) {
    const QString old = shellQuoted(oldProgramPath);
    const QString text = QStringLiteral("#!/bin/sh\n"
                                        "rm -f %1\n"
                                        "while [ -e %1 ]; do\n"
                                        "    rm -f %1\n"
                                        "done\n"
                                        "rm -f \"$0\"\n")
                             .arg(old);
    return text.toUtf8();
}

QString cleanupScriptProgram(const QString &scriptPath, QStringList *arguments) {
    if (arguments)
        *arguments = QStringList{scriptPath};
    return QStringLiteral("/bin/sh");
}

qint64 findProcessByName(const QString &name) {
    return ProcessTable::findByName(name.toStdString());
}

bool isProcessRunning(qint64 processId) {
    return ProcessTable::isRunning(long(processId));
}

bool isWindowsVersionOrGreater(quint16 major, quint16 minor, quint16 servicePackMajor) {
    if (!PretendedVersion::isSet())
        return false;
    return PretendedVersion::isAtLeast(major, minor, servicePackMajor);
}

bool setStartWithSystem(bool enabled, const QString &programPath) {
    const QString entryPath = autostartEntryPath();
    if (!enabled)
        return !QFile::exists(entryPath) || QFile::remove(entryPath);
    if (!QDir().mkpath(QFileInfo(entryPath).path()))
        return false;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Quillon\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(desktopExecQuoted(programPath));
    QSaveFile entry(entryPath);
    if (!entry.open(QIODevice::WriteOnly))
        return false;
    entry.write(text.toUtf8());
    return entry.commit();
}

bool startsWithSystem() {
    return QFile::exists(autostartEntryPath());
}

bool replaceFile(const QString &from, const QString &to, QString *error) {
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (error)
        *error = qt_error_string(errno);
    return false;
}

void applyRemotePermissions(const QString &localPath, quint32 remoteMode) {
    if ((remoteMode & 0777) == 0)
        return;
    // The owner keeps reading and writing, so later checks can digest the file and updates can replace it.
    chmod(QFile::encodeName(localPath).constData(), mode_t((remoteMode & 0777) | 0600));
}

int terminalColumns() {
    if (!isatty(STDOUT_FILENO))
        return 0;
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void setVersionForTesting(int major, int minor) {
    PretendedVersion::set(major, minor);
}

} // namespace Platform
