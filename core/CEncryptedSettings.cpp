#include "core/CEncryptedSettings.h"

#include <QAtomicPointer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QtDebug>

namespace {
QAtomicPointer<CEncryptedSettings> instance;
QMutex creationMutex;

const QString unreadableSuffix = QStringLiteral(".unreadable");
} // namespace

CEncryptedSettings *CEncryptedSettings::getInstance(const QString &fileName, quint64 secureKey) {
    if (CEncryptedSettings *existing = instance.loadAcquire())
        return existing;
    if (fileName.isEmpty()) {
        qDebug("ERROR: [CEncryptedSettings::getInstance] Invalid fileName");
        return nullptr;
    }
    if (secureKey == 0) {
        qDebug("ERROR: [CEncryptedSettings::getInstance] Invalid secureKey");
        return nullptr;
    }
    QMutexLocker locker(&creationMutex);
    if (!instance.loadAcquire()) {
        auto *store = new CEncryptedSettings(fileName, secureKey);
        store->initFromFile();
        instance.storeRelease(store);
    }
    return instance.loadAcquire();
}

CEncryptedSettings::CEncryptedSettings(const QString &fileName, quint64 secureKey)
    : QObject(nullptr), filePath(fileName) {
    // A read-only resource path: the table never writes a file of its own.
    settings = new QSettings(QStringLiteral(":/temp.cfg"), QSettings::IniFormat, this);
    cipher.setKey(secureKey);
    cipher.setCompressionPolicy(CSettingsCipher::CompressAlways);
    cipher.setIntegrityCheck(CSettingsCipher::Sha1Integrity);
    connect(
        this, &CEncryptedSettings::logMessage, this,
        [](const QString &message) { qDebug("%s", qUtf8Printable(message)); }, Qt::DirectConnection);
}

void CEncryptedSettings::initFromFile() {
    settings->clear();
    QFile file(filePath);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadWrite)) {
        emit logMessage(
            QStringLiteral("ERROR: [CEncryptedSettings::initFromFile] Source file is not opened!"));
        return;
    }
    const QByteArray cyphertext = file.readAll();
    const QByteArray plaintext = cipher.decrypt(cyphertext);
    if (cipher.lastError() != CSettingsCipher::CipherOk) {
        emit logMessage(QStringLiteral("ERROR: [CEncryptedSettings::initFromFile] Error while decrypt [%1]")
                            .arg(static_cast<int>(cipher.lastError())));
        file.close();
        keepUnreadableFileAside = true;
        return;
    }
    // Too short to be a cyphertext: the cipher returns nothing without an error, but the file is damaged.
    if (cyphertext.size() > 0 && cyphertext.size() < 3)
        keepUnreadableFileAside = true;

    bool inGroup = false;
    qsizetype position = 0;
    while (position < plaintext.size()) {
        qsizetype end = plaintext.indexOf('\n', position);
        end = end < 0 ? plaintext.size() : end + 1;
        QString line = QString::fromUtf8(plaintext.mid(position, end - position));
        position = end;
        line.remove(QLatin1Char('\n'));

        if (line.startsWith(QLatin1Char('['))) {
            line.remove(QLatin1Char('['));
            line.remove(QLatin1Char(']'));
            if (inGroup)
                settings->endGroup();
            settings->beginGroup(line);
            inGroup = true;
            continue;
        }
        const QStringList parts = line.split(QLatin1Char('='));
        if (parts.size() != 2) {
            emit logMessage(QStringLiteral(
                "ERROR: [CEncryptedSettings::initFromFile] Invalid size of input line with value!"));
            continue;
        }
        settings->setValue(parts.at(0), parts.at(1));
    }
    if (inGroup)
        settings->endGroup();
    file.close();
}

void CEncryptedSettings::saveToFile() {
    QWriteLocker locker(&lock);
    writeFile();
}

void CEncryptedSettings::writeFile() {
    {
        // A file we may not write is left alone, even though the rename below could replace it.
        QFile file(filePath);
        if (file.exists() && !file.open(QIODevice::ReadWrite)) {
            emit logMessage(
                QStringLiteral("ERROR: [CEncryptedSettings::saveToFile] Source file is not opened!"));
            return;
        }
    }

    QByteArray plaintext;
    const auto appendKeys = [this, &plaintext]() {
        const QStringList keys = settings->childKeys();
        for (const QString &key : keys)
            plaintext += QStringLiteral("%1=%2\n").arg(key, settings->value(key).toString()).toUtf8();
    };
    appendKeys();
    const QStringList groups = settings->childGroups();
    for (const QString &group : groups) {
        plaintext += QStringLiteral("[%1]\n").arg(group).toUtf8();
        settings->beginGroup(group);
        appendKeys();
        settings->endGroup();
    }

    const QByteArray cyphertext = cipher.encrypt(plaintext);
    if (cipher.lastError() != CSettingsCipher::CipherOk) {
        emit logMessage(QStringLiteral("ERROR: [CEncryptedSettings::saveToFile] Error while decrypt [%1]")
                            .arg(static_cast<int>(cipher.lastError())));
        return;
    }

    if (keepUnreadableFileAside) {
        keepUnreadableCopy();
        keepUnreadableFileAside = false;
    }

    // A new file renamed over the old one: a crash in the middle never loses the previous settings.
    QSaveFile saveFile(filePath);
    // A folder we may not create files in still lets us rewrite a writable file in place.
    saveFile.setDirectWriteFallback(true);
    if (!saveFile.open(QIODevice::WriteOnly)) {
        emit logMessage(QStringLiteral("ERROR: [CEncryptedSettings::saveToFile] Source file is not opened!"));
        return;
    }
    saveFile.write(cyphertext);
    if (!saveFile.commit())
        emit logMessage(
            QStringLiteral("ERROR: [CEncryptedSettings::saveToFile] Error while writing the file!"));
}

void CEncryptedSettings::keepUnreadableCopy() {
    // Support staff may still recover a file we could not read; keep the latest one.
    const QString copyPath = filePath + unreadableSuffix;
    QFile::remove(copyPath);
    QFile::copy(filePath, copyPath);
}

QVariant CEncryptedSettings::value(const QString &key, const QVariant &defaultValue) {
    QReadLocker locker(&lock);
    return settings->value(key, defaultValue);
}

void CEncryptedSettings::setValue(const QString &key, const QVariant &value) {
    QWriteLocker locker(&lock);
    settings->setValue(key, value);
    writeFile();
}

void CEncryptedSettings::remove(const QString &key) {
    QWriteLocker locker(&lock);
    settings->remove(key);
    writeFile();
}
