// The update checker against the asyncssh test server: what counts as an update, what is never
// compared, how failures and hostile servers end a check.

#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "transfer/DigestCache.h"
#include "transfer/InstallContext.h"
#include "transfer/sftp/SftpSession.h"
#include "transfer/UpdateChecker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

static const QString serverRoot = "upload/Softwares/For Download/";
static const QString remoteRootText = "/upload/Softwares/For Download/";

static CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

static QStringList logLines() {
    QFile file("LogFile.log");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

static QStringList logLinesWith(const QString &text) {
    return logLines().filter(text);
}

static QString cachePath() {
    return QFileInfo(useTestSettings()).dir().filePath(DigestCache::fileName);
}

static bool setModified(const QString &path, const QDateTime &time) {
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime);
}

static QDateTime modified(const QString &path) {
    return QFileInfo(path).lastModified();
}

class UpdateCheckerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir workFolder;
    QTemporaryDir *tree = nullptr;    // the server's "/"
    QTemporaryDir *install = nullptr; // local install folders
    QString readsLog;                 // the server's --log-reads file

    // File data the server sent since the log was last cleared.
    qint64 serverBytesRead() const {
        qint64 total = 0;
        for (const QString &line : logFileLines(readsLog))
            total += line.section(' ', -1).toLongLong();
        return total;
    }
    QStringList serverLogSwitch() const { return {"--log-reads", readsLog}; }

    // Puts the same bytes on the server and (unless serverOnly) in the local install folder.
    bool both(const QString &component, const QString &relative, const QByteArray &bytes) {
        return writeTestFile(tree->filePath(serverRoot + component + "/" + relative), bytes) &&
               writeTestFile(localPath(component, relative), bytes);
    }
    bool onServer(const QString &component, const QString &relative, const QByteArray &bytes) {
        return writeTestFile(tree->filePath(serverRoot + component + "/" + relative), bytes);
    }
    QString localFolder(const QString &component) const { return install->filePath(component); }
    QString localPath(const QString &component, const QString &relative) const {
        return localFolder(component) + "/" + relative;
    }
    void installAt(const QString &component, const QString &folder) {
        settings()->setValue("Path/" + component, folder);
    }
    static QString entry(const QString &component, const QString &relative, int size) {
        return remoteRootText + component + "/" + relative + "|" + QString::number(size);
    }

    // One whole check, the result map and whether Finish_Check_Update came exactly once.
    QHash<QString, QString> check() {
        QHash<QString, QString> result;
        UpdateChecker checker(&result);
        QSignalSpy finished(&checker, &UpdateChecker::Finish_Check_Update);
        checker.Checking_Updates_On_Server();
        if (finished.count() != 1)
            result.insert("finished signals", QString::number(finished.count()));
        return result;
    }

private slots:
    void initTestCase() {
        useTestSettings();
        QVERIFY(QDir::setCurrent(workFolder.path()));
    }
    void init() {
        tree = new QTemporaryDir;
        install = new QTemporaryDir;
        QFile::remove("LogFile.log");
        QFile::remove(cachePath());
        readsLog = workFolder.filePath("reads.log");
        QFile::remove(readsLog);
        setSessionTimeoutsForTesting(0, 0);
        setDigestCacheClockForTesting(QDateTime());
        for (const QString &name : updatableComponents())
            settings()->setValue("Path/" + name, "");
    }
    void cleanup() {
        delete tree;
        delete install;
    }

    void identicalTreeHasNoUpdates() {
        QVERIFY(both("Brightfen Meter", "Meter.exe", QByteArray(300000, 'm')));
        QVERIFY(both("Brightfen Meter", "lib/deep/er/core.dll", "core"));
        QVERIFY(both("Brightfen Meter", "Документы/Руководство пользователя.pdf", "pdf"));
        QVERIFY(both("Brightfen Meter", "empty.txt2", ""));
        QVERIFY(both("Quillon", "Quillon", "self"));
        installAt("Brightfen Meter", localFolder("Brightfen Meter"));
        installAt("Quillon", localFolder("Quillon"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QCOMPARE(check(), (QHash<QString, QString>{}));
        // The uninstalled components share the empty folder: one line for all of them.
        QCOMPARE(logLines(), QStringList{logLines().value(0)});
        QVERIFY(logLines().value(0).endsWith("] - Failed to create a directory - "));
    }

    void changedAndMissingFilesAreUpdatesAndLocalExtrasAreIgnored() {
        QVERIFY(both("Brightfen Console", "same.exe", "same"));
        QVERIFY(both("Brightfen Console", "sub/folder/lib.dll", "old"));
        QVERIFY(onServer("Brightfen Console", "sub/folder/lib.dll", "new!"));
        QVERIFY(onServer("Brightfen Console", "sub/new file.txt", "12345"));
        QVERIFY(onServer("Brightfen Console", "big.bin", QByteArray(1000000, 'b')));
        QVERIFY(writeTestFile(localPath("Brightfen Console", "big.bin"), QByteArray(1000000, 'b') + "x"));
        QVERIFY(writeTestFile(localPath("Brightfen Console", "local-only.log"), "mine"));
        installAt("Brightfen Console", localFolder("Brightfen Console"));
        AsyncsshServer server(tree->path(), {"--max-read", "32768"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{
            {localPath("Brightfen Console", "sub/folder/lib.dll"),
             entry("Brightfen Console", "sub/folder/lib.dll", 4)},
            {localPath("Brightfen Console", "sub/new file.txt"),
             entry("Brightfen Console", "sub/new file.txt", 5)},
            {localPath("Brightfen Console", "big.bin"), entry("Brightfen Console", "big.bin", 1000000)},
        };
        QCOMPARE(check(), expected);
    }

    void excludedNamesAreNeverComparedNorDescended() {
        QVERIFY(both("Brightfen Bridge", "app.exe", "v1"));
        QVERIFY(onServer("Brightfen Bridge", "app.exe", "v2"));
        for (const QString name : {"config.xml", "settings.ini", "data.db", "port.cfg", "my.config.bak"})
            QVERIFY(onServer("Brightfen Bridge", name, "server copy"));
        QVERIFY(onServer("Brightfen Bridge", "deviceFolder/device.bin", "dev"));
        QVERIFY(onServer("Brightfen Bridge", "x.dbase/inner.exe", "in"));
        QVERIFY(writeTestFile(localPath("Brightfen Bridge", "config.xml"), "local copy"));
        installAt("Brightfen Bridge", localFolder("Brightfen Bridge"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{
            {localPath("Brightfen Bridge", "app.exe"), entry("Brightfen Bridge", "app.exe", 2)}};
        QCOMPARE(check(), expected);
        // Excluded folders are not even looked at: the local side of deviceFolder does not exist,
        // and "x.dbase" ("...db..." with a dot before) is excluded as a whole.
        QVERIFY(logLinesWith(localPath("Brightfen Bridge", "deviceFolder")).isEmpty());
    }

    void namesWithADotFirstOrSecondAreSkipped() {
        QVERIFY(both("Brightfen Sniffer", "keep.txt", "k"));
        QVERIFY(onServer("Brightfen Sniffer", "a.txt", "skipped"));
        QVERIFY(onServer("Brightfen Sniffer", ".hidden", "skipped"));
        QVERIFY(onServer("Brightfen Sniffer", "x.exe", "skipped"));
        QVERIFY(onServer("Brightfen Sniffer", "ab", "listed"));
        QVERIFY(onServer("Brightfen Sniffer", "sub/ab.txt", "listed"));
        QVERIFY(QDir().mkpath(localPath("Brightfen Sniffer", "sub")));
        QVERIFY(writeTestFile(localPath("Brightfen Sniffer", "sub/keep"), "k"));
        installAt("Brightfen Sniffer", localFolder("Brightfen Sniffer"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{
            {localPath("Brightfen Sniffer", "ab"), entry("Brightfen Sniffer", "ab", 6)},
            {localPath("Brightfen Sniffer", "sub/ab.txt"), entry("Brightfen Sniffer", "sub/ab.txt", 6)}};
        QCOMPARE(check(), expected);
    }

    void fleetServerIsComparedWholeNotOnlyItsX64Folder() {
        QVERIFY(onServer("Brightfen Fleet Server", "readme.txt", "top"));
        QVERIFY(both("Brightfen Fleet Server", "x64/server.exe", "old"));
        QVERIFY(onServer("Brightfen Fleet Server", "x64/server.exe", "new"));
        installAt("Brightfen Fleet Server", localFolder("Brightfen Fleet Server"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{{localPath("Brightfen Fleet Server", "readme.txt"),
                                                entry("Brightfen Fleet Server", "readme.txt", 3)},
                                               {localPath("Brightfen Fleet Server", "x64/server.exe"),
                                                entry("Brightfen Fleet Server", "x64/server.exe", 3)}};
        QCOMPARE(check(), expected);
    }

    void missingInstallFoldersAreLoggedAndSkipped() {
        // Only Meter is installed: the 16 others share the empty key and give one line; a recorded
        // folder that is gone gives its own line; a folder new on the server brings its files as updates.
        QVERIFY(onServer("Brightfen Meter", "new/inside.exe", "n"));
        QVERIFY(onServer("Brightfen Meter", "new/deeper/lib.dll", "lib"));
        QVERIFY(both("Brightfen Meter", "app.exe", "a"));
        QVERIFY(onServer("Brightfen Alerter", "alert.zip", "z"));
        installAt("Brightfen Meter", localFolder("Brightfen Meter"));
        installAt("Brightfen Alerter", install->filePath("gone"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{
            {localPath("Brightfen Meter", "new/inside.exe"), entry("Brightfen Meter", "new/inside.exe", 1)},
            {localPath("Brightfen Meter", "new/deeper/lib.dll"),
             entry("Brightfen Meter", "new/deeper/lib.dll", 3)}};
        QCOMPARE(check(), expected);
        const QStringList failed = logLinesWith("] - Failed to create a directory - ");
        QCOMPARE(failed.size(), 2);
        QCOMPARE(logLinesWith("Failed to create a directory - " + install->filePath("gone")).size(), 1);
        QCOMPARE(logLines().filter(QRegularExpression("Failed to create a directory - $")).size(), 1);
    }

    void unchangedFilesAreNotReadAgainAndChangesAreFound() {
        const QString meter = "Brightfen Meter";
        QVERIFY(both(meter, "Meter.exe", QByteArray(300000, 'm')));
        QVERIFY(both(meter, "lib/core.dll", "core"));
        QVERIFY(both(meter, "lib/deep/data.bin", QByteArray(1000000, 'd')));
        QVERIFY(both(meter, "differs.txt", "old"));
        QVERIFY(onServer(meter, "differs.txt", "new"));
        installAt(meter, localFolder(meter));
        AsyncsshServer server(tree->path(), serverLogSwitch());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QHash<QString, QString> expected{{localPath(meter, "differs.txt"), entry(meter, "differs.txt", 3)}};
        QCOMPARE(check(), expected);
        QCOMPARE(serverBytesRead(), 300000 + 4 + 1000000 + 3);

        // Nothing changed: the known difference is reported again and not a byte is read.
        QFile::remove(readsLog);
        QCOMPARE(check(), expected);
        QCOMPARE(serverBytesRead(), 0);

        // Same sizes, new times: the changed server file is read again; the changed local file is
        // compared with the server digest already known.
        const QString serverMeter = tree->filePath(serverRoot + meter + "/Meter.exe");
        QVERIFY(writeTestFile(serverMeter, QByteArray(300000, 'M')));
        QVERIFY(setModified(serverMeter, modified(serverMeter).addSecs(60)));
        QVERIFY(writeTestFile(localPath(meter, "lib/core.dll"), "CORE"));
        QVERIFY(setModified(localPath(meter, "lib/core.dll"),
                            modified(localPath(meter, "lib/core.dll")).addSecs(60)));
        QFile::remove(readsLog);
        expected.insert(localPath(meter, "Meter.exe"), entry(meter, "Meter.exe", 300000));
        expected.insert(localPath(meter, "lib/core.dll"), entry(meter, "lib/core.dll", 4));
        QCOMPARE(check(), expected);
        QCOMPARE(serverBytesRead(), 300000);
    }

    void damagedCacheIsRebuilt_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("not JSON") << "not JSON";
        QTest::newRow("cut short") << "cut short";
        QTest::newRow("other version") << "other version";
        QTest::newRow("bad digests") << "bad digests";
    }
    void damagedCacheIsRebuilt() {
        QFETCH(QString, damage);
        const QString console = "Brightfen Console";
        QVERIFY(both(console, "console.exe", QByteArray(200000, 'c')));
        QVERIFY(both(console, "app.dll", "old"));
        installAt(console, localFolder(console));
        AsyncsshServer server(tree->path(), serverLogSwitch());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QCOMPARE(check(), (QHash<QString, QString>{}));

        // The server changes under a damaged cache: the change is found and everything read again.
        const QString serverApp = tree->filePath(serverRoot + console + "/app.dll");
        QVERIFY(writeTestFile(serverApp, "new"));
        QVERIFY(setModified(serverApp, modified(serverApp).addSecs(60)));
        QByteArray bytes = readTestFile(cachePath());
        if (damage == "not JSON") {
            bytes = QByteArray(2000, '\x9c');
        } else if (damage == "cut short") {
            bytes.truncate(bytes.size() / 2);
        } else {
            QJsonObject root = QJsonDocument::fromJson(bytes).object();
            QVERIFY(!root.value("files").toObject().isEmpty());
            if (damage == "other version") {
                root.insert("version", 2);
            } else {
                QJsonObject files = root.value("files").toObject();
                for (auto it = files.begin(); it != files.end(); ++it) {
                    QJsonObject file = it.value().toObject();
                    file.insert("serverMd5", "not a digest");
                    it.value() = file;
                }
                root.insert("files", files);
            }
            bytes = QJsonDocument(root).toJson();
        }
        QVERIFY(writeTestFile(cachePath(), bytes));
        QFile::remove(readsLog);
        const QHash<QString, QString> expected{{localPath(console, "app.dll"), entry(console, "app.dll", 3)}};
        QCOMPARE(check(), expected);
        QCOMPARE(serverBytesRead(), 200000 + 3);
        QFile::remove(readsLog);
        QCOMPARE(check(), expected);
        QCOMPARE(serverBytesRead(), 0);
        QVERIFY(logLinesWith("check cache").isEmpty());
    }

    void entryOlderThanThirtyDaysIsComparedInFull() {
        // A server file replaced with one of the same size and time is only caught by the full comparison.
        const QString decoder = "Brightfen Decoder";
        QVERIFY(both(decoder, "decoder.exe", QByteArray(200000, 'd')));
        installAt(decoder, localFolder(decoder));
        AsyncsshServer server(tree->path(), serverLogSwitch());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QDateTime start = QDateTime::currentDateTimeUtc();
        setDigestCacheClockForTesting(start);
        QCOMPARE(check(), (QHash<QString, QString>{}));

        const QString serverFile = tree->filePath(serverRoot + decoder + "/decoder.exe");
        const QDateTime time = modified(serverFile);
        QVERIFY(writeTestFile(serverFile, QByteArray(200000, 'D')));
        QVERIFY(setModified(serverFile, time));
        const QHash<QString, QString> changed{
            {localPath(decoder, "decoder.exe"), entry(decoder, "decoder.exe", 200000)}};
        const struct {
            int days;
            bool found;
            qint64 read;
        } checks[] = {{29, false, 0}, {31, true, 200000}, {32, true, 0}, {-1, true, 200000}};
        for (const auto &step : checks) {
            setDigestCacheClockForTesting(start.addDays(step.days));
            QFile::remove(readsLog);
            QCOMPARE(check(), (step.found ? changed : QHash<QString, QString>{}));
            QCOMPARE(serverBytesRead(), step.read);
        }
    }

    void unreachableServerGivesOnlyTheErrorConnectEntry() {
        QVERIFY(onServer("Brightfen Meter", "app.exe", "a"));
        installAt("Brightfen Meter", localFolder("Brightfen Meter"));
        const QHash<QString, QString> failed{{"Error Connect", "Error"}};
        {
            AsyncsshServer server(tree->path());
            QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
            pointSettingsAt(server);
            settings()->setValue("SFTP/Pswd", "not the password");
            QCOMPARE(check(), failed);
            server.stop();
            QCOMPARE(check(), failed);
        }
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).contains("] - Error auth conect - "), qPrintable(lines.at(0)));
        QVERIFY2(lines.at(1).contains("] - Error ssh conect - "), qPrintable(lines.at(1)));
    }

    void changedHostKeyRefusesTheCheckBeforeComparingAnything() {
        QVERIFY(onServer("Brightfen Meter", "app.exe", "a"));
        QVERIFY(QDir().mkpath(localFolder("Brightfen Meter")));
        QVERIFY(writeTestFile(localPath("Brightfen Meter", "other"), "o"));
        installAt("Brightfen Meter", localFolder("Brightfen Meter"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QString pinned = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
        settings()->setValue("SFTP/HostKey", pinned);
        QCOMPARE(check(), (QHash<QString, QString>{{"Error Connect", "Error"}}));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains("Error host key - "));
        QVERIFY(lines.first().contains(pinned) && lines.first().contains(server.fingerprint()));
        QCOMPARE(settings()->value("SFTP/HostKey").toString(), pinned);
    }

    void hostileNamesAreRefusedWithOneLineEach() {
        const QString folder = remoteRootText + "Brightfen Hub Server";
        QVERIFY(both("Brightfen Hub Server", "ok.exe", "ok"));
        QVERIFY(onServer("Brightfen Hub Server", "fresh", "new"));
        QStringList switches;
        for (const QString name :
             {"sub/../../x", "C:x", "CON", "nul.txt", "ab ", "xy\\..\\..\\evil.exe", "../evil.exe"})
            switches << "--extra-entry" << folder + "|" + name + "|4";
        installAt("Brightfen Hub Server", localFolder("Brightfen Hub Server"));
        AsyncsshServer server(tree->path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QHash<QString, QString> expected{
            {localPath("Brightfen Hub Server", "fresh"), entry("Brightfen Hub Server", "fresh", 3)}};
        QCOMPARE(check(), expected);
        // "../evil.exe" already falls to the dot rule; the six others are refused and logged.
        QCOMPARE(logLinesWith("] - Unsafe name refused - " + folder + "/").size(), 6);
    }

    void linksAreNotFollowedOutOfTheComponentAndLoopsEnd() {
#ifdef Q_OS_WIN
        QSKIP("the server tree's links are made with QFile::link, which makes shortcut files on Windows");
#endif
        QVERIFY(both("Brightfen Radio Setup", "radio.exe", "r"));
        QVERIFY(both("Brightfen Radio Setup", "sub/inner.dll", "i"));
        QVERIFY(onServer("Brightfen Meter", "secret.exe", "s"));
        const QString component = tree->filePath(serverRoot + "Brightfen Radio Setup");
        QVERIFY(QFile::link("/", component + "/root"));
        QVERIFY(QFile::link("../Brightfen Meter", component + "/neighbour"));
        QVERIFY(QFile::link("..", component + "/sub/back"));
        QVERIFY(QFile::link("radio.exe", component + "/linked"));
        QVERIFY(QFile::link("sub", component + "/alias"));
        QVERIFY(QDir().mkpath(localPath("Brightfen Radio Setup", "sub/back")));
        QVERIFY(writeTestFile(localPath("Brightfen Radio Setup", "sub/back/keep"), "k"));
        QVERIFY(writeTestFile(localPath("Brightfen Radio Setup", "alias/keep"), "k"));
        installAt("Brightfen Radio Setup", localFolder("Brightfen Radio Setup"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        // The link to a file inside is compared like the file; the alias of sub is walked once.
        const QHash<QString, QString> expected{
            {localPath("Brightfen Radio Setup", "linked"), entry("Brightfen Radio Setup", "linked", 1)},
            {localPath("Brightfen Radio Setup", "alias/inner.dll"),
             entry("Brightfen Radio Setup", "alias/inner.dll", 1)}};
        QCOMPARE(check(), expected);
        QCOMPARE(logLinesWith("Link out of the folder refused - ").size(), 2);
        QCOMPARE(logLinesWith("Folder loop skipped - ").size(), 2); // sub/back and alias/back
    }

    void stalledServerEndsAsAConnectionFailure() {
        QVERIFY(both("Brightfen Decoder", "decoder.exe", QByteArray(400000, 'd')));
        QVERIFY(onServer("Brightfen Decoder", "new.exe", "n"));
        installAt("Brightfen Decoder", localFolder("Brightfen Decoder"));
        AsyncsshServer server(tree->path(), {"--stall-after", "100000"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        setSessionTimeoutsForTesting(5000, 700);
        QCOMPARE(check(), (QHash<QString, QString>{{"Error Connect", "Error"}}));
        QCOMPARE(logLinesWith("] - Error server timeout - ").size(), 1);
    }

    void readErrorMidFileCountsAsAnUpdate() {
        QVERIFY(both("Brightfen Cell Setup", "big.bin", QByteArray(300000, 'c')));
        QVERIFY(both("Brightfen Cell Setup", "small.bin", QByteArray(1000, 's')));
        QVERIFY(both("Brightfen Cell Setup", "locked.exe", "old"));
        QVERIFY(onServer("Brightfen Cell Setup", "locked.exe", "new"));
        installAt("Brightfen Cell Setup", localFolder("Brightfen Cell Setup"));
        AsyncsshServer server(tree->path(), {"--read-error-after", "131070", "--fail-open", "locked"});
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        // big.bin loses its tail and counts as changed; locked.exe cannot be opened and is skipped.
        const QHash<QString, QString> expected{
            {localPath("Brightfen Cell Setup", "big.bin"), entry("Brightfen Cell Setup", "big.bin", 300000)}};
        QCOMPARE(check(), expected);
    }

    void checkOnlyInsertsIntoTheMap() {
        QVERIFY(onServer("Brightfen Meter", "app.exe", "new"));
        QVERIFY(writeTestFile(localPath("Brightfen Meter", "app.exe"), "old"));
        installAt("Brightfen Meter", localFolder("Brightfen Meter"));
        AsyncsshServer server(tree->path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        QHash<QString, QString> result{{"kept", "from before"},
                                       {localPath("Brightfen Meter", "app.exe"), "replaced"}};
        UpdateChecker checker(&result);
        checker.Checking_Updates_On_Server();
        const QHash<QString, QString> expected{
            {"kept", "from before"},
            {localPath("Brightfen Meter", "app.exe"), entry("Brightfen Meter", "app.exe", 3)}};
        QCOMPARE(result, expected);
        QCOMPARE(md5Hex("new"), QString("22af645d1859cb5ca6da0c484f1f37ea"));
    }
};

QUILLON_GUILESS_TEST_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"
