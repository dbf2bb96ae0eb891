#include "TestSettings.h"

#include "TestSftpServer.h"
#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "core/ProgramKey.h"

#include <QTemporaryDir>

QString useTestSettings() {
    // Lives as long as the process, like the store itself.
    static QTemporaryDir folder;
    static const QString file = folder.filePath("settings.ini");
    CEncryptedSettings::getInstance(file, programKey);
    return file;
}

void pointSettingsAt(const TestSftpServer &server) {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(useTestSettings(), programKey);
    settings->setValue("SFTP/IP", "127.0.0.1");
    settings->setValue("SFTP/port", server.port());
    settings->setValue("SFTP/Login", server.user());
    settings->setValue("SFTP/Pswd", server.password());
    settings->setValue("SFTP/HostKey", server.fingerprint());
}

QByteArray cryptSettings(const QByteArray &data, bool decrypt, quint64 key) {
    CSettingsCipher cipher;
    cipher.setKey(key);
    const QByteArray result = decrypt ? cipher.decrypt(data) : cipher.encrypt(data);
    return cipher.lastError() == CSettingsCipher::CipherOk ? result : QByteArray("<not decryptable>");
}
