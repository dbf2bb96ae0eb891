#pragma once
// The operating-system services the program needs, behind one interface.
// One implementation per OS family lives in platform/posix and platform/win.

#include <QString>
#include <QStringList>

namespace Platform {

// File names of the program, its moved-aside old file and its clean-up script:
// "Quillon.exe", "Old.exe", "delete.bat" on Windows; "Quillon", "Old", "delete.sh" elsewhere.
QString programFileName();
QString oldProgramFileName();
QString cleanupScriptName();

// True when a local path of an update list is the program's own file.
bool isProgramFile(const QString &localPath);
// True when a local path of an update list names a program that may be running.
bool isProgramToCheck(const QString &localPath);

// The clean-up script that deletes the old program file until it is gone, then itself.
QByteArray cleanupScriptText(const QString &oldProgramPath);
// How to run a clean-up script: the program and its arguments.
QString cleanupScriptProgram(const QString &scriptPath, QStringList *arguments);

// Process id of the first running process whose executable name contains `name`, 0 when none.
qint64 findProcessByName(const QString &name);
// True while the process runs (Windows: exit code STILL_ACTIVE).
bool isProcessRunning(qint64 processId);

// True when the system is at least version major.minor with that service pack.
bool isWindowsVersionOrGreater(quint16 major, quint16 minor, quint16 servicePackMajor);

// Start with the user's session: the per-user Run value on Windows, an XDG autostart entry elsewhere.
bool setStartWithSystem(bool enabled, const QString &programPath);
bool startsWithSystem();

// Gives a fetched file the permission bits it has on the server (POSIX mode bits).
void applyRemotePermissions(const QString &localPath, quint32 remoteMode);

// Columns of the terminal that standard output writes to; 0 when standard output is no terminal.
int terminalColumns();

// Seams for tests: pretend the OS reports this version (major < 0 turns the pretence off).
void setVersionForTesting(int major, int minor);

} // namespace Platform
