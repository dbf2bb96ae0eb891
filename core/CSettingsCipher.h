#pragma once
// The keyed cipher that turns the settings text into the bytes of "settings.ini" and back.

#include <QByteArray>
#include <QVector>

class CSettingsCipher {
public:
    enum CompressionPolicy { CompressIfSmaller = 0, CompressAlways = 1, CompressNever = 2 };
    enum IntegrityCheck { NoIntegrity = 0, Crc16Integrity = 1, Sha1Integrity = 2 };
    enum CipherError { CipherOk = 0, CipherNoKey = 1, CipherBadVersion = 2, CipherIntegrityFailed = 3 };

    CSettingsCipher();

    void setKey(quint64 key);
    void setCompressionPolicy(CompressionPolicy policy) { compression = policy; }
    void setIntegrityCheck(IntegrityCheck check) { integrity = check; }

    QByteArray encrypt(const QByteArray &plaintext);
    QByteArray decrypt(const QByteArray &cyphertext);
    CipherError lastError() const { return error; }

    // Makes encrypt() use this first body byte instead of rand(); -1 goes back to rand().
    // Only known-answer tests need it.
    void setFixedRandomByte(int byte) { fixedRandomByte = byte; }

private:
    quint64 key = 0;
    QVector<char> keyBytes;
    CompressionPolicy compression = CompressIfSmaller;
    IntegrityCheck integrity = Crc16Integrity;
    CipherError error = CipherOk;
    int fixedRandomByte = -1;
};
