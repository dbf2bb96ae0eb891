#pragma once
// Reads the detached signatures `ssh-keygen -Y sign` writes (OpenSSH's SSHSIG format) and the public
// key lines OpenSSH writes, and checks an Ed25519 signature with libsodium.
//
// Everything here comes from the server or from settings an attacker may have seen: every length is
// bounded before it is used and anything malformed is refused with a short reason.

#include <QByteArray>
#include <QList>
#include <QString>

class SshSignature {
public:
    static constexpr int ed25519KeySize = 32;
    static constexpr int ed25519SignatureSize = 64;
    // Far above the ~300 bytes ssh-keygen writes for an Ed25519 key; anything larger is not ours.
    static constexpr int maxArmoredSize = 16 * 1024;

    // Reads an armored SSHSIG file ("-----BEGIN SSH SIGNATURE-----" ... "-----END SSH SIGNATURE-----").
    // False with the reason in error() when it is not a well-formed Ed25519 signature.
    bool read(const QByteArray &armored);
    // The same from the decoded blob.
    bool readBlob(const QByteArray &blob);

    QString error() const { return reason; }
    QByteArray publicKey() const { return key; } // the raw 32-byte Ed25519 key that signed
    QByteArray nameSpace() const { return space; }
    QByteArray hashAlgorithm() const { return algorithm; }
    QByteArray signature() const { return sig; } // the raw 64-byte Ed25519 signature

    // Checks the signature over `message` for this namespace with one of the trusted raw keys: the
    // envelope must name the namespace and sha512, its key must be trusted, and libsodium must accept
    // the signature over the signed data. False with the reason in error().
    bool verify(const QByteArray &message, const QByteArray &expectedNamespace,
                const QList<QByteArray> &trustedKeys);

    // The raw Ed25519 keys of public key lines as OpenSSH writes them ("ssh-ed25519 AAAA... comment"),
    // several separated by ";". Empty with the reason in error when any part is not such a key.
    static QList<QByteArray> readPublicKeys(const QString &lines, QString *error);

private:
    bool refuse(const QString &why);

    QString reason;
    QByteArray key;
    QByteArray space;
    QByteArray algorithm;
    QByteArray sig;
};
