#pragma once
// The Windows services of the platform layer in plain Win32 (wide strings, no Qt), so they build and are
// tested on their own.

#include <string>

namespace WinPlatform {

// Every "/" of a path turned into "\".
std::wstring nativePath(std::wstring path);

// The eight-line "delete.bat" (UTF-8) that deletes the old program file until it is gone, then itself.
std::string cleanupScriptText(const std::wstring &oldProgramPath);

// Id of the first process in the system's process list whose executable file name contains `name`
// (case-sensitive); 0 when none does.
unsigned long findProcessByName(const std::wstring &name);
// True while the process can be opened and its exit code is still STILL_ACTIVE.
bool isProcessRunning(unsigned long processId);

// True when the system reports at least major.minor with at least that service pack.
bool isWindowsVersionOrGreater(unsigned short major, unsigned short minor, unsigned short servicePackMajor);

// The per-user start-up value under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run.
bool setRunValue(const std::wstring &valueName, const std::wstring &programPath);
bool removeRunValue(const std::wstring &valueName);
bool readRunValue(const std::wstring &valueName, std::wstring *programPath);

// Columns of the console window that standard output writes to; 0 when it writes elsewhere.
int consoleColumns();

// Renames a file, also the file of a running program; fails when the target already exists.
bool renameFile(const std::wstring &from, const std::wstring &to);
// Renames a file onto another, replacing it if it exists, in one step; the data reaches the disk first.
bool replaceFile(const std::wstring &from, const std::wstring &to);

// The program folder's instance lock: the file opened without sharing and deleted when closed, so the system
// lets it go however the program ends. Null when it could not be opened; *heldElsewhere then tells whether
// another process holds it.
void *lockFile(const std::wstring &path, bool *heldElsewhere);
// An auto-reset event of this name in the session, set by later starts; null when it cannot be made.
void *createCallEvent(const std::wstring &name);
// Sets the named event and lets its owner come to the front; false when no process holds the event.
bool setCallEvent(const std::wstring &name);
void closeHandle(void *handle);

} // namespace WinPlatform
