#pragma once
// The operating-system services the program needs, behind one interface.
// One implementation per OS family lives in platform/posix and platform/win.

#include <QString>
#include <QStringList>

#include <functional>

class QObject;

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

// Renames a file onto another in one step, replacing it if it exists (a plain rename on Windows refuses
// to); false with the system's reason in error when it could not.
bool replaceFile(const QString &from, const QString &to, QString *error = nullptr);

// Gives a fetched file the permission bits it has on the server (POSIX mode bits).
void applyRemotePermissions(const QString &localPath, quint32 remoteMode);

// One running program per program folder. Takes the folder's instance lock "Quillon.lock", which the
// system lets go however the process ends, so a killed program never blocks the next start; false only
// when another running process holds it. It also opens the channel on which later starts call.
bool claimProgramFolder(const QString &programFolder);
// Lets the folder go again, for the restart into an updated program file.
void releaseProgramFolder();
// Runs `onCall` on the event loop each time a later start in the claimed folder calls; the listening
// ends with `owner`.
void listenForLaterStarts(QObject *owner, const std::function<void()> &onCall);
// Asks the program that holds the folder to show itself; false when none listens.
bool callRunningProgram(const QString &programFolder);

// Columns of the terminal that standard output writes to; 0 when standard output is no terminal.
int terminalColumns();
// Ends the process once the program has shut down. On Windows the C runtime's exit-time clean-up is
// skipped: mingw-w64's thread runtime can hang in it for good (pthread_key_delete waiting on a lock no
// thread holds) once Qt has used a thread_local with a destructor. Nothing is left to clean up by then.
[[noreturn]] void endProcess(int exitCode);

// Seams for tests: pretend the OS reports this version (major < 0 turns the pretence off).
void setVersionForTesting(int major, int minor);

} // namespace Platform
