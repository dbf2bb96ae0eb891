#pragma once
// The process-wide settings store: all settings in memory, mirrored into one encrypted file.

#include "core/CSettingsCipher.h"

#include <QObject>
#include <QReadWriteLock>
#include <QVariant>

class QSettings;

class CEncryptedSettings : public QObject {
    Q_OBJECT
public:
    // Creates the store on the first call with a file name and a non-zero key; later calls
    // (with an empty name and key 0) return the same instance.
    static CEncryptedSettings *getInstance(const QString &fileName, quint64 secureKey);

    QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    void setValue(const QString &key, const QVariant &value);
    // Drops a key and saves, as setValue does.
    void remove(const QString &key);

    QString fileName() const { return filePath; }

signals:
    void logMessage(QString message);

protected slots:
    void saveToFile();

private:
    CEncryptedSettings(const QString &fileName, quint64 secureKey);
    void initFromFile();
    void writeFile(); // saveToFile without taking the lock, for callers that hold it
    void keepUnreadableCopy();

    QSettings *settings = nullptr;
    CSettingsCipher cipher;
    QReadWriteLock lock;
    QString filePath;
    bool keepUnreadableFileAside =
        false; // the loaded file could not be read: save a copy before the first save
};
