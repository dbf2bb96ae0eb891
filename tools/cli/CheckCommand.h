#pragma once
// The headless client's "check" command: one update check, printed as local path TAB remote path.

#include <QStringList>

// quillon-cli check
// Exit codes: 0 everything current, 1 updates available, 2 server unreachable,
// 4 the server's files are not signed by the publisher, 64 usage.
int runCheckCommand(const QStringList &arguments);
