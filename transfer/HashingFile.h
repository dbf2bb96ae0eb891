#pragma once
// A QFile that, when asked, feeds every byte written through it to a SHA-256, so a fetched file is
// checked against the signed manifest as it streams in instead of being read back afterwards.

#include <QCryptographicHash>
#include <QFile>

class HashingFile : public QFile {
public:
    explicit HashingFile(const QString &name) : QFile(name) {}

    // Starts hashing what is written from now on; bytes already in the file are added by hashExisting().
    void startHashing() { hashing = true; }
    bool isHashing() const { return hashing; }
    // Hashes the file's first `bytes` (what an earlier, interrupted fetch left) and leaves the position
    // there. False when they cannot be read.
    bool hashExisting(qint64 bytes);
    // The SHA-256 of the bytes hashed so far and their count.
    QByteArray sha256() const { return hash.result(); }
    qint64 hashedBytes() const { return count; }

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    QCryptographicHash hash{QCryptographicHash::Sha256};
    qint64 count = 0;
    bool hashing = false;
};
