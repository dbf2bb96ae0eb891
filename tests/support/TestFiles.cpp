#include "TestFiles.h"

#include "core/CEncryptedSettings.h"

#include <QFile>

QByteArray readTestFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

CEncryptedSettings *settingsStore() {
    return CEncryptedSettings::getInstance(QString(), 0);
}
