#pragma once
// Checks that turn names from the server into local file names only when they are safe.
//
// A hostile or broken server must not be able to write or compare outside the folder an entry
// belongs in. Use isSafeEntryName() on every directory entry name before it becomes part of a
// local path, and isInsideFolder() on the resulting path (or on a key of an update list).

#include <QByteArray>
#include <QString>

// Empty when `name` (one directory entry, as the server sent it) can be a local file or folder
// name on Windows and POSIX alike; otherwise a short reason. Refused: empty, ".", "..", names
// with "/", "\", ":" or control characters, bytes that are not UTF-8, Windows device names
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension) and a trailing dot or space.
QString unsafeNameReason(const QByteArray &name);
inline bool isSafeEntryName(const QByteArray &name) {
    return unsafeNameReason(name).isEmpty();
}

// True when `path`, made absolute and cleaned of "." and "..", lies strictly below `root`.
bool isInsideFolder(const QString &path, const QString &root);

// The name with control characters and non-UTF-8 bytes written as \xNN, for one log line.
QString printableName(const QByteArray &name);
