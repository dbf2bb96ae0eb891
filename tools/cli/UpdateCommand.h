#pragma once
// The headless client's "update" command: a check, then an update run of every file it found.

#include <QStringList>

// quillon-cli update [--wait-running]
// Exit codes: 0 everything current afterwards, 1 something skipped or failed, 2 server unreachable,
// 4 the server's files are not signed by the publisher, 64 usage.
int runUpdateCommand(const QStringList &arguments);
