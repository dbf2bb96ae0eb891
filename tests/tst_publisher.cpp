// The publisher's signed manifest: the SSHSIG reader, what verification refuses, runs that refuse an
// untrusted server, files checked before they replace anything, and a check that reads only the manifest.
// Every signature is made by OpenSSH's ssh-keygen, every manifest by the built quillon-publish.

#include "support/DownloaderRun.h"
#include "support/PublisherKeys.h"
#include "support/TestMain.h"

#include "transfer/PublisherTrust.h"

#include <QtEndian>

using Found = QHash<QString, QString>;

namespace {

QByteArray armor(const QByteArray &blob) {
    return "-----BEGIN SSH SIGNATURE-----\n" + blob.toBase64() + "\n-----END SSH SIGNATURE-----\n";
}

QByteArray withLength(QByteArray blob, int offset, quint32 length) {
    qToBigEndian<quint32>(length, blob.data() + offset);
    return blob;
}

} // namespace

class PublisherTest : public QObject {
    Q_OBJECT
    QTemporaryDir work, keys, tree, install;
    QString publisherKey, otherKey; // public key lines
    const QString listings = work.filePath("listings.log"), reads = work.filePath("reads.log");
    std::unique_ptr<AsyncsshServer> server;
    const QByteArray big = randomTestBytes(5 * 1024 * 1024);

    QString root() const { return tree.path() + componentsRoot; }
    QString served(const QString &path) const { return root() + path; }
    QString local(const QString &path) const { return install.filePath("Brightfen Meter/" + path); }
    // Publishes the tree as it is now, signed with the publisher's key, and trusts that key.
    bool publish() {
        settingsStore()->setValue(PublisherTrust::keySetting, publisherKey);
        return publishTree(root(), keys.filePath("publisher"));
    }
    // An install run of Brightfen Meter and the CP210x driver below the target.
    static RunResult installMeter(const QString &target) {
        return installRun(target, {"Brightfen Meter", "CP210x"});
    }
    // An update run of these installed files of Brightfen Meter, as the check listed them.
    RunResult updateMeter(const QStringList &names) {
        QHash<QString, QString> pending;
        for (const QString &name : names) {
            const QString size = QString::number(QFileInfo(served("Brightfen Meter/" + name)).size());
            pending[local(name)] = componentsRoot + "Brightfen Meter/" + name + "|" + size;
        }
        return updateRun(&pending);
    }

private slots:
    void initTestCase() {
        QVERIFY(QDir::setCurrent(work.path()));
        useTestSettings();
        publisherKey = makePublisherKey(keys.filePath("publisher"));
        otherKey = makePublisherKey(keys.filePath("other"));
        QVERIFY2(!publisherKey.isEmpty() && !otherKey.isEmpty(), "ssh-keygen (openssh-client) is needed");
        server = serveFiles(tree,
                            {{"Brightfen Meter/Meter.exe", "meter v2"},
                             {"Brightfen Meter/docs/Manual.txt", "manual"},
                             {"Brightfen Meter/config.xml", "never compared"},
                             {"Brightfen Meter/big.bin", big},
                             {"CP210x/setup.exe", "driver"}},
                            {"--log-listings", listings, "--log-reads", reads});
        QVERIFY(server);
        settingsStore()->setValue("Path/Brightfen Meter", install.filePath("Brightfen Meter"));
    }
    void init() {
        pointSettingsAt(*server);
        QVERIFY(publish());
        takeLogLines();
    }

    // Only the manifest as published, signed by a trusted key and not older than one accepted before, is
    // accepted; every other signature and every malformed envelope is refused with a reason.
    void verificationRefusesWhatThePublisherDidNotSign_data() {
        QTest::addColumn<QString>("keySetting");
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<int>("serialOffset"); // highest accepted serial = the manifest's + this
        QTest::addColumn<bool>("accepted");
        QVERIFY(publish());
        const QString path = root() + "quillon-manifest";
        const QByteArray manifest = readTestFile(path), good = readTestFile(path + ".sig");
        const auto signedBy = [&](const char *key, const char *nameSpace) {
            return signWithSshKeygen(keys.filePath(key), path, nameSpace) ? readTestFile(path + ".sig") : "";
        };
        const auto envelope = [&](const QString &name, const QByteArray &signature) {
            QTest::newRow(qPrintable(name)) << publisherKey << manifest << signature << 0 << false;
        };
        QTest::newRow("signed") << publisherKey << manifest << good << 0 << true;
        QTest::newRow("second of two keys")
            << otherKey + ";" + publisherKey << manifest << good << -5 << true;
        QTest::newRow("line added") << publisherKey << manifest + QByteArray(64, 'a') + " 5 Meter/evil.exe\n"
                                    << good << 0 << false;
        QTest::newRow("older serial") << publisherKey << manifest << good << 1 << false;
        QTest::newRow("key setting not a key")
            << "ssh-ed25519 AAAAnot-a-key" << manifest << good << 0 << false;
        envelope("other key", signedBy("other", "quillon-manifest"));
        envelope("other namespace", signedBy("publisher", "file"));
        envelope("unsigned", "");
        // An Ed25519 SSHSIG blob: magic 6, version 4, key length at 10 (51 bytes), namespace length at 65
        // (16 bytes), reserved length at 85, hash name length at 89 ("sha512"), signature length at 99.
        const QByteArray blob = QByteArray::fromBase64(good.split('\n').mid(1, 4).join());
        QCOMPARE(blob.size(), 186);
        envelope("no armour", blob.toBase64());
        envelope("not base64", armor(blob).replace("U1NIU0lH", "U1N*U0lH"));
        envelope("too large", armor(blob) + QByteArray(20000, ' '));
        envelope("other magic", armor("SSHSIX" + blob.mid(6)));
        envelope("version 2", armor(withLength(blob, 6, 2)));
        for (int cut : {3, 8, 12, 40, 70, 95, 120, 185})
            envelope(QString("cut at %1").arg(cut), armor(blob.left(cut)));
        for (int offset : {10, 65, 85, 89, 99}) {
            envelope(QString("length at %1 past the end").arg(offset), armor(withLength(blob, offset, 186)));
            envelope(QString("length at %1 of 4 GB").arg(offset),
                     armor(withLength(blob, offset, 0xffffffff)));
        }
        envelope("bytes after the end", armor(blob + "x"));
        QByteArray flipped = blob;
        flipped[150] = char(flipped.at(150) ^ 1);
        envelope("signature flipped", armor(flipped));
    }
    void verificationRefusesWhatThePublisherDidNotSign() {
        QFETCH(QString, keySetting);
        QFETCH(QByteArray, manifest);
        QFETCH(QByteArray, signature);
        QFETCH(int, serialOffset);
        QFETCH(bool, accepted);
        PublisherManifest published;
        QVERIFY(published.parse(manifest));
        PublisherTrust trust;
        const PublisherTrust::Outcome outcome =
            trust.verify(keySetting, manifest, signature, published.serial() + serialOffset);
        QCOMPARE(outcome, accepted ? PublisherTrust::Accepted : PublisherTrust::Refused);
        QCOMPARE(trust.refusal().isEmpty(), accepted);
        QCOMPARE(trust.manifest() ? trust.manifest()->fileCount() : 0, accepted ? 5 : 0);
    }

    // A manifest is read with bounds even when signed: a publisher's tool could still write nonsense.
    void manifestReaderRefusesMalformedLines_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("files"); // -1: refused
        const QByteArray head = "quillon-manifest 1\nserial 7\n", hash(64, 'b');
        QTest::newRow("files") << head + hash + " 1 Brightfen Meter/a b.exe\n" + hash + " 0 x\n" << 2;
        QTest::newRow("no files") << head << 0;
        QTest::newRow("other format") << QByteArray("quillon-manifest 2\nserial 7\n") << -1;
        QTest::newRow("no serial") << QByteArray("quillon-manifest 1\n") << -1;
        QTest::newRow("serial signed") << QByteArray("quillon-manifest 1\nserial -7\n") << -1;
        QTest::newRow("no line end") << head.chopped(1) << -1;
        for (const QByteArray &line : {hash + " 1 ../outside.exe", hash + " 1 /etc/passwd", hash + " 1 a//b",
                                       hash + " -1 a", hash + " 1e3 a", hash + " 1 ", hash.left(63) + " 1 a",
                                       hash.toUpper() + " 1 a", hash + " 1 tab\there", QByteArray("b 1 a")})
            QTest::newRow(line.right(12).constData()) << head + line + '\n' << -1;
        QTest::newRow("twice") << head + hash + " 1 a\n" + hash + " 2 a\n" << -1;
    }
    void manifestReaderRefusesMalformedLines() {
        QFETCH(QByteArray, text);
        QFETCH(int, files);
        PublisherManifest manifest;
        QCOMPARE(manifest.parse(text), files >= 0);
        QCOMPARE(manifest.error().isEmpty(), files >= 0);
        QCOMPARE(manifest.fileCount(), qMax(files, 0));
    }

    // Whatever is wrong with the manifest, the check, an install run, an update run and quillon-cli
    // fetch nothing and change nothing, and each writes one log line.
    void runsRefuseAServerTheyCannotTrust_data() {
        QTest::addColumn<QString>("tampering");
        for (const char *kind : {"no signature", "no manifest", "replayed"})
            QTest::newRow(kind) << QString(kind);
    }
    void runsRefuseAServerTheyCannotTrust() {
        QFETCH(QString, tampering);
        const QString manifest = root() + "quillon-manifest", signature = manifest + ".sig";
        if (tampering == "no signature" || tampering == "no manifest")
            QVERIFY(QFile::remove(signature));
        if (tampering == "no manifest")
            QVERIFY(QFile::remove(manifest));
        if (tampering == "replayed") {
            // The old manifest and its genuine signature come back after a newer one was accepted.
            const QByteArray oldManifest = readTestFile(manifest), oldSignature = readTestFile(signature);
            QTest::qWait(1100); // a newer serial even within the same second
            QVERIFY(publish());
            QVERIFY(!checkFound().contains("Error Signature"));
            QVERIFY(writeTestFile(manifest, oldManifest) && writeTestFile(signature, oldSignature));
        }
        QVERIFY(writeTestFile(local("Meter.exe"), "meter v1"));
        takeLogLines();

        QCOMPARE(checkFound(), Found({{"Error Signature", "Error"}}));
        QTemporaryDir target;
        QCOMPARE(installMeter(target.path()).events, QStringList{"publisher refused"});
        QCOMPARE(filesBelow(target.path()), QStringList());
        QCOMPARE(updateMeter({"Meter.exe"}).events, QStringList{"publisher refused"});
        for (const char *command : {"check", "update"}) {
            const ProgramRun cli = runProgram(QUILLON_BINARY_DIR "/tools/quillon-cli",
                                              {"--settings", useTestSettings(), command}, work.path());
            QVERIFY2(cli.exitCode == 4, qPrintable(QString::number(cli.exitCode) + cli.output + cli.errors));
        }
        QCOMPARE(readTestFile(local("Meter.exe")), QByteArray("meter v1"));
        const QStringList lines = takeLogLines();
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.filter(PublisherTrust::refusalLogPrefix).size(), 5);
    }

    // A fetch cut short leaves a partial file; the fetch that goes on from it hashes those bytes too, so a
    // whole file arrives, and a partial changed on the disk in between is caught like a changed server file.
    void resumedFetchIsCheckedWhole_data() {
        QTest::addColumn<bool>("partialChanged");
        QTest::newRow("partial as fetched") << false;
        QTest::newRow("partial changed on the disk") << true;
    }
    void resumedFetchIsCheckedWhole() {
        QFETCH(bool, partialChanged);
        const QString target = local("big.bin");
        QVERIFY(writeTestFile(target, "old big"));
        QByteArray before; // a cut before the first write leaves nothing to resume from: cut again
        for (int attempt = 0; attempt < 10 && before.isEmpty(); ++attempt) {
            const auto cutServer = serveFiles(tree, {}, {"--drop-after", "2000000"});
            QCOMPARE(updateMeter({"big.bin"}).events.last(), QString("error connection"));
            QCOMPARE(partialsOf(target).size(), 1);
            before = readTestFile(partialsOf(target).first());
        }
        QVERIFY(before.size() > 0 && before.size() < big.size());
        if (partialChanged) {
            before[0] = char(~before.at(0));
            QVERIFY(writeTestFile(partialsOf(target).first(), before));
        }
        const auto wholeServer = serveFiles(tree, {});
        const RunResult run = updateMeter({"big.bin"});
        QCOMPARE(fetchedBytes(run.events), big.size() - before.size());
        QCOMPARE(run.failed, partialChanged ? 1 : 0);
        QCOMPARE(readTestFile(target), partialChanged ? QByteArray("old big") : big);
        QCOMPARE(partialsOf(target), QStringList());
    }

    // The check asks the server for the manifest and its signature only: no listing, no file byte.
    void checkReadsOnlyTheSignedManifest() {
        QVERIFY(writeTestFile(local("Meter.exe"), "meter v1"));
        QVERIFY(writeTestFile(local("docs/Manual.txt"), "manual"));
        QVERIFY(writeTestFile(local("config.xml"), "mine"));
        QFile::remove(local("big.bin"));
        // A file changed on the server after signing is not seen: only what the publisher signed counts.
        QVERIFY(writeTestFile(served("Brightfen Meter/docs/Manual.txt"), "unsigned"));
        QFile::remove(listings);
        QFile::remove(reads);
        const QString remote = componentsRoot + "Brightfen Meter/";
        const Found expected{{local("Meter.exe"), remote + "Meter.exe|8"},
                             {local("big.bin"), remote + "big.bin|" + QString::number(big.size())}};
        QCOMPARE(checkFound(), expected);
        QCOMPARE(logFileLines(listings), QStringList());
        QStringList read = logFileLines(reads).replaceInStrings(QRegularExpression(" \\d+$"), "");
        read.removeDuplicates();
        QCOMPARE(read,
                 QStringList({componentsRoot + "quillon-manifest", componentsRoot + "quillon-manifest.sig"}));
        QVERIFY(writeTestFile(served("Brightfen Meter/docs/Manual.txt"), "manual"));
        // A local file whose size and time are unchanged is not hashed again: its digest is cached.
        const QString manual = local("docs/Manual.txt");
        const QDateTime time = QFileInfo(manual).lastModified();
        QVERIFY(writeTestFile(manual, "MANUAL", time));
        QCOMPARE(checkFound(), expected);
        // Once its time changes it is hashed again, and its new bytes show.
        QVERIFY(writeTestFile(manual, "MANUAL", time.addSecs(60)));
        QCOMPARE(checkFound().value(manual), remote + "docs/Manual.txt|6");
    }

    // Last: it leaves the served tree changed.
    // Files changed or added on the server after signing never land: an installer stays unstarted, the
    // installed file stays, the run counts each as failed and one log line names each. Small files arrive
    // whole in memory, the large one through a partial file: both are hashed as they stream in.
    void eachFileIsCheckedBeforeItReplacesAnything() {
        QVERIFY(writeTestFile(served("Brightfen Meter/Meter.exe"), "meter v3"));
        QVERIFY(writeTestFile(served("CP210x/setup.exe"), "trojan"));
        QVERIFY(writeTestFile(served("Brightfen Meter/extra.dll"), "unlisted"));
        QByteArray changed = big;
        changed[4000000] = char(~changed.at(4000000));
        QVERIFY(writeTestFile(served("Brightfen Meter/big.bin"), changed));

        QTemporaryDir target;
        RunResult run = installMeter(target.path());
        QVERIFY(run.events.contains("finished install"));
        QCOMPARE(filesBelow(target.path()),
                 QStringList({"LoRa/Brightfen Meter/config.xml", "LoRa/Brightfen Meter/docs/Manual.txt"}));
        QCOMPARE(run.context->driverInstallers, QStringList());
        QCOMPARE(run.failed, 4);
        const QStringList lines = takeLogLines();
        QCOMPARE(lines.size(), 4);
        for (const char *file : {"LoRa/Brightfen Meter/Meter.exe", "LoRa/Brightfen Meter/big.bin",
                                 "LoRa/Brightfen Meter/extra.dll", "Drivers/CP210x/setup.exe"})
            QVERIFY2(lines.filter(target.filePath(file)).size() == 1, file);

        // The update run: the installed files stay as they were, and no partial file is left to resume.
        QVERIFY(writeTestFile(local("Meter.exe"), "meter v1") && writeTestFile(local("big.bin"), "old big"));
        run = updateMeter({"Meter.exe", "big.bin"});
        QVERIFY(run.events.contains("finish update"));
        QCOMPARE(run.failed, 2);
        QCOMPARE(readTestFile(local("Meter.exe")), QByteArray("meter v1"));
        QCOMPARE(readTestFile(local("big.bin")), QByteArray("old big"));
        QCOMPARE(partialsOf(local("big.bin")), QStringList());
        QCOMPARE(takeLogLines().size(), 2);

        // Once published as they are, the same files arrive and the installer may run.
        QVERIFY(publish());
        run = installMeter(target.path());
        QCOMPARE(run.failed, 0);
        QCOMPARE(readTestFile(target.filePath("LoRa/Brightfen Meter/big.bin")), changed);
        QCOMPARE(run.context->driverInstallers, QStringList{target.filePath("Drivers/CP210x/setup.exe")});
    }

    void cleanupTestCase() { settingsStore()->remove(PublisherTrust::keySetting); }
};

QUILLON_GUILESS_TEST_MAIN(PublisherTest)

#include "tst_publisher.moc"
