#include "core/CSettingsCipher.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QtDebug>

#include <cstdlib>

namespace {

constexpr char cyphertextVersion = 0x03;
constexpr char FlagCompressed = 0x01;
constexpr char FlagCrc16 = 0x02;
constexpr char FlagSha1 = 0x04;
constexpr int crcSize = 2;
constexpr int sha1Size = 20;

quint16 crc16(const QByteArray &data) {
    return qChecksum(QByteArrayView(data), Qt::ChecksumIso3309);
}

QByteArray sha1(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

} // namespace

CSettingsCipher::CSettingsCipher() {
    std::srand(static_cast<unsigned>(QDateTime::currentMSecsSinceEpoch() & 0xFFFF));
}

void CSettingsCipher::setKey(quint64 newKey) {
    key = newKey;
    keyBytes.clear();
    for (int i = 0; i < 8; ++i)
        keyBytes.append(static_cast<char>((key >> (8 * i)) & 0xFF));
}

QByteArray CSettingsCipher::encrypt(const QByteArray &plaintext) {
    if (keyBytes.isEmpty()) {
        qWarning("No key set.");
        error = CipherNoKey;
        return QByteArray();
    }

    QByteArray payload = plaintext;
    char flags = 0;

    if (compression == CompressAlways) {
        payload = qCompress(payload, 9);
        flags |= FlagCompressed;
    } else if (compression == CompressIfSmaller) {
        const QByteArray compressed = qCompress(payload, 9);
        if (compressed.size() < payload.size()) {
            payload = compressed;
            flags |= FlagCompressed;
        }
    }

    QByteArray integrityData;
    if (integrity == Crc16Integrity) {
        flags |= FlagCrc16;
        QDataStream stream(&integrityData, QIODevice::WriteOnly);
        stream << crc16(payload);
    } else if (integrity == Sha1Integrity) {
        flags |= FlagSha1;
        integrityData = sha1(payload);
    }

    const char randomByte =
        static_cast<char>(fixedRandomByte >= 0 ? (fixedRandomByte & 0xFF) : (std::rand() & 0xFF));

    QByteArray body;
    body.reserve(1 + integrityData.size() + payload.size());
    body.append(randomByte);
    body.append(integrityData);
    body.append(payload);

    char previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(body[i] ^ keyBytes[i % 8] ^ previous);
        previous = body[i];
    }

    QByteArray result;
    result.reserve(2 + body.size());
    result.append(cyphertextVersion);
    result.append(flags);
    result.append(body);
    error = CipherOk;
    return result;
}

QByteArray CSettingsCipher::decrypt(const QByteArray &cyphertext) {
    if (keyBytes.isEmpty()) {
        qWarning("No key set.");
        error = CipherNoKey;
        return QByteArray();
    }
    if (cyphertext.size() < 3)
        return QByteArray();
    if (cyphertext.at(0) != cyphertextVersion) {
        error = CipherBadVersion;
        qWarning("Invalid version or not a cyphertext.");
        return QByteArray();
    }

    const char flags = cyphertext.at(1);
    QByteArray body = cyphertext.mid(2);
    char previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        const char current = body[i];
        body[i] = static_cast<char>(current ^ keyBytes[i % 8] ^ previous);
        previous = current;
    }
    body.remove(0, 1);

    bool intact = true;
    if (flags & FlagCrc16) {
        if (body.size() < crcSize) {
            error = CipherIntegrityFailed;
            return QByteArray();
        }
        const quint16 stored =
            static_cast<quint16>((static_cast<quint8>(body.at(0)) << 8) | static_cast<quint8>(body.at(1)));
        body.remove(0, crcSize);
        intact = stored == crc16(body);
    } else if (flags & FlagSha1) {
        if (body.size() < sha1Size) {
            error = CipherIntegrityFailed;
            return QByteArray();
        }
        const QByteArray stored = body.left(sha1Size);
        body.remove(0, sha1Size);
        intact = stored == sha1(body);
    }
    if (!intact) {
        error = CipherIntegrityFailed;
        return QByteArray();
    }

    if (flags & FlagCompressed)
        body = qUncompress(body);
    error = CipherOk;
    return body;
}
