// Tests of the settings cipher: known answers, the format under each policy, damage and failures.

#include "core/CSettingsCipher.h"
#include "support/TestMain.h"

#include <QtTest>

class CipherTest : public QObject {
    Q_OBJECT

private slots:
    void encryptsDecryptsAndRefusesDamage_data() {
        QTest::addColumn<quint64>("key");
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("integrity");
        QTest::addColumn<int>("randomByte"); // -1: the generator's
        QTest::addColumn<QByteArray>("plaintext");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QByteArray>("vector"); // the cyphertext computed independently, if any
        const quint64 key = 0xFEDCBA9876543210ULL;
        const QByteArray longRun(500, 'z');
        QTest::newRow("vector: crc, never") << 0x0123456789ABCDEFULL << 2 << 1 << 0x00 << QByteArray("Hello")
                                            << 2 << QByteArray::fromHex("0302ef76f130321b543a");
        QTest::newRow("vector: none, never") << 0x0123456789ABCDEFULL << 2 << 0 << 0xFF << QByteArray("Hello")
                                             << 0 << QByteArray::fromHex("030010955bbeb59f");
        QTest::newRow("vector: sha1, always")
            << 0xA5A5A5A5DEADBEEFULL << 1 << 2 << 0x42
            << QByteArray("Autorun=true\n[Path]\nQuillon=C:/Program Files/Quillon\n[Timer]\nTimeout=7\n") << 5
            << QByteArray::fromHex(
                   "0305ad84a82a464a80883c1f20134f0034a86dda8816f752f752fa3c4be66fe78b01c4b7a95a"
                   "d659b1f19424c1335f72329d5e2d4c5b375d4b9bc2ae0cfa957ff51a39d20f1a739f17640cf825"
                   "be9c5d1e1de49f401f124b3c8b3ff271afa8ac10f7");
        // Compressing if smaller keeps what compression would lengthen, the empty text among it.
        QTest::newRow("empty, if smaller, sha1") << key << 0 << 2 << -1 << QByteArray() << 4 << QByteArray();
        QTest::newRow("binary, if smaller, none")
            << key << 0 << 0 << -1 << QByteArray("\0\xff", 2) << 0 << QByteArray();
        QTest::newRow("long run, if smaller, crc") << key << 0 << 1 << -1 << longRun << 3 << QByteArray();
        QTest::newRow("one byte, always, crc") << key << 1 << 1 << -1 << QByteArray("a") << 3 << QByteArray();
        QTest::newRow("long run, never, sha1") << key << 2 << 2 << -1 << longRun << 4 << QByteArray();
        QTest::newRow("unknown policy and check") << key << 3 << 3 << -1 << longRun << 0 << QByteArray();
    }
    void encryptsDecryptsAndRefusesDamage() {
        QFETCH(quint64, key);
        QFETCH(int, compression);
        QFETCH(int, integrity);
        QFETCH(int, randomByte);
        QFETCH(QByteArray, plaintext);
        QFETCH(int, flags);
        QFETCH(QByteArray, vector);
        CSettingsCipher cipher;
        cipher.setKey(key);
        cipher.setCompressionPolicy(CSettingsCipher::CompressionPolicy(compression));
        cipher.setIntegrityCheck(CSettingsCipher::IntegrityCheck(integrity));
        cipher.setFixedRandomByte(randomByte);
        const QByteArray cyphertext = cipher.encrypt(plaintext);
        if (!vector.isEmpty())
            QCOMPARE(cyphertext.toHex(), vector.toHex());
        QCOMPARE(cyphertext.at(0), '\x03');
        QCOMPARE(int(cyphertext.at(1)), flags);
        if (!(flags & 0x01))
            QCOMPARE(cyphertext.size(), 3 + (flags & 0x02 ? 2 : flags & 0x04 ? 20 : 0) + plaintext.size());
        QVERIFY(cipher.decrypt(cyphertext) == plaintext && cipher.lastError() == CSettingsCipher::CipherOk);
        if (!(flags & 0x06))
            return;
        // Every body byte chains into the next, the discarded random one too.
        for (int i = 2; i < cyphertext.size(); ++i) {
            QByteArray damaged = cyphertext;
            damaged[i] = char(damaged.at(i) ^ 0x01);
            QVERIFY2(refuses(cipher, damaged, CSettingsCipher::CipherIntegrityFailed),
                     qPrintable(QString::number(i)));
        }
        QVERIFY(
            refuses(cipher, cyphertext.left(4), CSettingsCipher::CipherIntegrityFailed)); // cut in the digest
    }

    void failuresGiveEmptyResultsAndDefaultsHold() {
        CSettingsCipher cipher;
        QVERIFY(cipher.encrypt("text").isEmpty() && cipher.lastError() == CSettingsCipher::CipherNoKey);
        QVERIFY(refuses(cipher, QByteArray("\x03\x00\x00\x00", 4), CSettingsCipher::CipherNoKey));
        cipher.setKey(7); // compresses if smaller, with a CRC, unless told otherwise
        QCOMPARE(cipher.encrypt("a").at(1), '\x02');
        QByteArray cyphertext = cipher.encrypt(QByteArray(500, 'a'));
        QCOMPARE(cyphertext.at(1), '\x03');
        cyphertext[0] = 0x02;
        QVERIFY(refuses(cipher, cyphertext, CSettingsCipher::CipherBadVersion));
        // Too short to be anything: empty, and the last error stays as it was.
        QVERIFY(refuses(cipher, QByteArray("\x03\x02", 2), CSettingsCipher::CipherBadVersion));
        cipher.decrypt(cipher.encrypt("ok"));
        QVERIFY(refuses(cipher, QByteArray(), CSettingsCipher::CipherOk));
        // The first byte is random unless fixed: the same text encrypts differently.
        QSet<QByteArray> seen;
        for (int i = 0; i < 16; ++i)
            seen.insert(cipher.encrypt("Timeout=7\n"));
        QVERIFY(seen.size() > 1);
    }

private:
    static bool refuses(CSettingsCipher &cipher, const QByteArray &bytes,
                        CSettingsCipher::CipherError error) {
        return cipher.decrypt(bytes).isEmpty() && cipher.lastError() == error;
    }
};

QUILLON_APPLESS_TEST_MAIN(CipherTest)
#include "tst_cipher.moc"
