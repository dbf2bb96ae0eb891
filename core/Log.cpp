#include "core/Log.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTime>

namespace {
// Worker threads log at the same time; one lock keeps every line whole.
QMutex logMutex;
} // namespace

void Write_Log(QString message) {
    QMutexLocker locker(&logMutex);
    QFile file(QStringLiteral("LogFile.log"));
    if (!file.open(QIODevice::Append))
        return;
    message.append(QLatin1Char('\n'));
    QByteArray line =
        (QLatin1Char('[') + QTime::currentTime().toString(Qt::TextDate) + QStringLiteral("] - ") + message)
            .toUtf8();
    // The line is written as a C string: whatever follows a NUL is dropped.
    const qsizetype nul = line.indexOf('\0');
    if (nul >= 0)
        line.truncate(nul);
    file.write(line);
    file.close();
}
