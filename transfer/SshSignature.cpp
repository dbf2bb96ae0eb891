#include "transfer/SshSignature.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <sodium.h>

namespace {

const QByteArray magic = QByteArrayLiteral("SSHSIG");
const QByteArray ed25519Name = QByteArrayLiteral("ssh-ed25519");
const QByteArray beginLine = QByteArrayLiteral("-----BEGIN SSH SIGNATURE-----");
const QByteArray endLine = QByteArrayLiteral("-----END SSH SIGNATURE-----");

// SSH wire encoding: a uint32 big-endian length, then that many bytes. Every field has a limit of its
// own, so a length the blob cannot hold or that no real signature uses is refused before any copy.
class WireReader {
public:
    explicit WireReader(const QByteArray &bytes) : data(bytes) {}

    bool take(int count, QByteArray *out) {
        if (count < 0 || data.size() - position < count)
            return false;
        *out = data.mid(position, count);
        position += count;
        return true;
    }
    bool uint32(quint32 *value) {
        QByteArray bytes;
        if (!take(4, &bytes))
            return false;
        *value = qFromBigEndian<quint32>(bytes.constData());
        return true;
    }
    bool string(int maxLength, QByteArray *out) {
        quint32 length = 0;
        return uint32(&length) && length <= quint32(maxLength) && take(int(length), out);
    }
    bool atEnd() const { return position == data.size(); }

private:
    const QByteArray &data;
    int position = 0;
};

QByteArray wireString(const QByteArray &bytes) {
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(bytes.size()), out.data());
    return out + bytes;
}

// "ssh-ed25519" and the raw key or signature of the expected size, nothing else.
bool readEd25519Blob(const QByteArray &blob, int rawSize, QByteArray *raw) {
    WireReader reader(blob);
    QByteArray type;
    return reader.string(64, &type) && type == ed25519Name && reader.string(rawSize, raw) &&
           raw->size() == rawSize && reader.atEnd();
}

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

bool SshSignature::refuse(const QString &why) {
    reason = why;
    key.clear();
    space.clear();
    algorithm.clear();
    sig.clear();
    return false;
}

bool SshSignature::read(const QByteArray &armored) {
    if (armored.size() > maxArmoredSize)
        return refuse("the signature file is too large");
    const QByteArray text = armored.trimmed();
    if (!text.startsWith(beginLine) || !text.endsWith(endLine))
        return refuse("not an SSH signature file");
    QByteArray body = text.mid(beginLine.size(), text.size() - beginLine.size() - endLine.size());
    body = body.simplified().replace(' ', QByteArray());
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(body, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse("the signature is not valid base64");
    return readBlob(decoded.decoded);
}

bool SshSignature::readBlob(const QByteArray &blob) {
    WireReader reader(blob);
    QByteArray head, keyBlob, reserved, sigBlob;
    quint32 version = 0;
    if (!reader.take(magic.size(), &head) || head != magic)
        return refuse("not an SSHSIG signature");
    if (!reader.uint32(&version))
        return refuse("the signature is truncated");
    if (version != 1)
        return refuse(QString("unknown signature version %1").arg(version));
    // Limits far above what an Ed25519 signature holds: 51-byte key, 83-byte signature.
    if (!reader.string(1024, &keyBlob) || !reader.string(256, &space) || !reader.string(256, &reserved) ||
        !reader.string(64, &algorithm) || !reader.string(1024, &sigBlob))
        return refuse("the signature is truncated or has an oversized field");
    if (!reader.atEnd())
        return refuse("the signature has bytes after its end");
    if (!readEd25519Blob(keyBlob, ed25519KeySize, &key))
        return refuse("the signing key is not an Ed25519 key");
    if (!readEd25519Blob(sigBlob, ed25519SignatureSize, &sig))
        return refuse("the signature is not an Ed25519 signature");
    reason.clear();
    return true;
}

bool SshSignature::verify(const QByteArray &message, const QByteArray &expectedNamespace,
                          const QList<QByteArray> &trustedKeys) {
    if (sig.size() != ed25519SignatureSize || key.size() != ed25519KeySize)
        return refuse(reason.isEmpty() ? QString("no signature was read") : reason);
    if (space != expectedNamespace)
        return refuse("the signature is for another purpose");
    if (algorithm != "sha512")
        return refuse("the signature uses another hash than sha512");
    if (!trustedKeys.contains(key))
        return refuse("the signature was made by a key that is not the publisher's");
    if (!sodiumReady())
        return refuse("the signature library could not start");
    // What ssh-keygen signs: the magic, the namespace, the reserved field, the hash name and the
    // message's hash, in SSH wire encoding.
    const QByteArray signedData = magic + wireString(space) + wireString(QByteArray()) +
                                  wireString(algorithm) +
                                  wireString(QCryptographicHash::hash(message, QCryptographicHash::Sha512));
    if (crypto_sign_ed25519_verify_detached(reinterpret_cast<const unsigned char *>(sig.constData()),
                                            reinterpret_cast<const unsigned char *>(signedData.constData()),
                                            quint64(signedData.size()),
                                            reinterpret_cast<const unsigned char *>(key.constData())) != 0)
        return refuse("the signature does not match the manifest");
    reason.clear();
    return true;
}

QList<QByteArray> SshSignature::readPublicKeys(const QString &lines, QString *error) {
    QList<QByteArray> keys;
    for (const QString &line : lines.split(';', Qt::SkipEmptyParts)) {
        const QStringList parts = line.simplified().split(' ');
        if (parts.value(0).isEmpty())
            continue;
        const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
            parts.value(1).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        QByteArray raw;
        if (parts.value(0) != "ssh-ed25519" || parts.value(1).size() > 1024 || !decoded ||
            !readEd25519Blob(decoded.decoded, ed25519KeySize, &raw)) {
            *error = "the publisher key setting holds something else than ssh-ed25519 keys";
            return {};
        }
        keys.append(raw);
    }
    if (keys.isEmpty())
        *error = "the publisher key setting holds no key";
    return keys;
}
