// The update checker against the asyncssh test server: what counts as an update, what is never compared,
// what the check cache spares, and how failures and hostile servers end a check.

#include "support/TestSettings.h"
#include "support/TestSftpServer.h"

#include "core/CEncryptedSettings.h"
#include "transfer/DigestCache.h"
#include "transfer/InstallContext.h"
#include "transfer/UpdateChecker.h"
#include "transfer/sftp/SftpSession.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using Found = QHash<QString, QString>;
static const QString downloads = "/upload/Softwares/For Download/";
// Names a hostile server lists, each with the reason it is refused for.
static const QStringList hostile = {
    "sub/../../x (path separator)", "C:x (path separator)",        "CON (device name)",
    "nul.txt (device name)",        "ab  (trailing dot or space)", "xy\\..\\..\\evil.exe (path separator)"};

// One file of the test tree: its bytes on the server and in the install folder (null: absent there),
// and whether the check must report it.
struct TreeFile {
    QString path; // below the download folder, the component first
    QByteArray server, local;
    bool update;
};

class UpdateCheckerTest : public QObject {
    Q_OBJECT
    QTemporaryDir work, tree, install;
    QString cache, readsLog;
    Found updates;           // what the tree below holds as updates
    QStringList expectedLog; // the lines a whole check of the tree logs, sorted

    QString local(const QString &path) const { return install.filePath(path); }
    static QString entry(const QString &path, qint64 size) {
        return downloads + path + "|" + QString::number(size);
    }
    // Writes the file anew and gives it this modification time.
    static bool rewrite(const QString &path, const QByteArray &bytes, const QDateTime &time) {
        QFile file(path);
        return writeTestFile(path, bytes) && file.open(QIODevice::ReadWrite) &&
               file.setFileTime(time, QFileDevice::FileModificationTime);
    }
    // One whole check into a map that may already hold entries; a second Finish_Check_Update shows.
    Found check(Found result = {}) {
        UpdateChecker checker(&result);
        QSignalSpy finished(&checker, &UpdateChecker::Finish_Check_Update);
        checker.Checking_Updates_On_Server();
        if (finished.count() != 1)
            result.insert("finished signals", QString::number(finished.count()));
        return result;
    }
    // The messages logged since the last call, sorted.
    QStringList logged() {
        QStringList lines = logFileLines().replaceInStrings(QRegularExpression("^.*?\\] - "), "");
        QFile::remove("LogFile.log");
        lines.sort();
        return lines;
    }
    // File bytes the server sent since the last call; the file that fails mid-read is read at every check.
    qint64 serverBytesRead() {
        qint64 total = 0;
        for (const QString &line : logFileLines(readsLog))
            total += line.contains("Cell Setup/big") ? 0 : line.section(' ', -1).toLongLong();
        QFile::remove(readsLog);
        return total;
    }

private slots:
    void initTestCase() {
        useTestSettings();
        cache = QFileInfo(useTestSettings()).dir().filePath(DigestCache::fileName);
        readsLog = work.filePath("reads.log");
        QVERIFY(QDir::setCurrent(work.path()));
        const QByteArray null;
        const QList<TreeFile> files = {
            {"Brightfen Meter/Meter.exe", QByteArray(300000, 'm'), QByteArray(300000, 'm'), false},
            {"Brightfen Meter/lib/deep/er/core.dll", "core", "core", false},
            {"Brightfen Meter/Документы/Руководство пользователя.pdf", "pdf", "pdf", false},
            {"Brightfen Meter/empty.txt2", "", "", false},
            {"Quillon/Quillon", "self", "self", false},
            // Changed and missing files are updates, local extras are ignored; new folders bring their files.
            {"Brightfen Console/same.exe", "same", "same", false},
            {"Brightfen Console/sub/folder/lib.dll", "new!", "old", true},
            {"Brightfen Console/sub/new file.txt", "12345", null, true},
            {"Brightfen Console/big.bin", QByteArray(1000000, 'b'), QByteArray(1000000, 'b') + "x", true},
            {"Brightfen Console/local-only.log", null, "mine", false},
            {"Brightfen Console/new/deeper/lib.dll", "lib", null, true},
            // Excluded names are never compared nor descended; "x.dbase" holds ".db".
            {"Brightfen Bridge/app.exe", "v2", "v1", true},
            {"Brightfen Bridge/config.xml", "server copy", "local copy", false},
            {"Brightfen Bridge/settings.ini", "s", null, false},
            {"Brightfen Bridge/data.db", "s", null, false},
            {"Brightfen Bridge/port.cfg", "s", null, false},
            {"Brightfen Bridge/my.config.bak", "s", null, false},
            {"Brightfen Bridge/deviceFolder/device.bin", "dev", null, false},
            {"Brightfen Bridge/x.dbase/inner.exe", "in", null, false},
            // Names with a dot first or second are skipped.
            {"Brightfen Sniffer/keep.txt", "k", "k", false},
            {"Brightfen Sniffer/a.txt", "skipped", null, false},
            {"Brightfen Sniffer/.hidden", "skipped", null, false},
            {"Brightfen Sniffer/x.exe", "skipped", null, false},
            {"Brightfen Sniffer/ab", "listed", null, true},
            {"Brightfen Sniffer/sub/ab.txt", "listed", null, true},
            {"Brightfen Sniffer/sub/keep", null, "k", false},
            // The fleet server is compared whole, not only its x64 folder.
            {"Brightfen Fleet Server/readme.txt", "top", null, true},
            {"Brightfen Fleet Server/x64/server.exe", "new", "old", true},
            {"Brightfen Alerter/alert.zip", "z", null, false}, // installed in a folder that is gone
            {"Brightfen Hub Server/ok.exe", "ok", "ok", false},
            {"Brightfen Hub Server/fresh", "new", null, true},
            {"Brightfen Radio Setup/radio.exe", "r", "r", false},
            {"Brightfen Radio Setup/sub/inner.dll", "i", "i", false},
            {"Brightfen Radio Setup/sub/back/keep", null, "k", false},
            {"Brightfen Radio Setup/alias/keep", null, "k", false},
            {"Brightfen Fieldlink/secret.exe", "s", null, false}, // not installed
            // A read that fails midway counts as a change; a file that cannot be opened is skipped.
            {"Brightfen Cell Setup/big.bin", QByteArray(300000, 'c'), QByteArray(300000, 'c'), true},
            {"Brightfen Cell Setup/small.bin", QByteArray(1000, 's'), QByteArray(1000, 's'), false},
            {"Brightfen Cell Setup/locked.exe", "new", "old", false},
        };
        for (const TreeFile &file : files) {
            QVERIFY(file.server.isNull() ||
                    writeTestFile(tree.filePath(downloads.mid(1) + file.path), file.server));
            QVERIFY(file.local.isNull() || writeTestFile(local(file.path), file.local));
            if (file.update)
                updates.insert(local(file.path), entry(file.path, file.server.size()));
        }
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, QFileInfo::exists(local(name)) ? local(name) : "");
        settingsStore()->setValue("Path/Brightfen Alerter", local("gone"));
        // The components not installed share the empty folder: one line for all of them.
        expectedLog << "Failed to create a directory - "
                    << "Failed to create a directory - " + local("gone");
        for (const QString &refused : hostile)
            expectedLog << "Unsafe name refused - " + downloads + "Brightfen Hub Server/" + refused;
#ifndef Q_OS_WIN // links made by QFile::link are shortcut files on Windows
        const QString radio = tree.filePath(downloads.mid(1) + "Brightfen Radio Setup/");
        QVERIFY(QFile::link("/", radio + "root") &&
                QFile::link("../Brightfen Fieldlink", radio + "neighbour"));
        QVERIFY(QFile::link("..", radio + "sub/back") && QFile::link("radio.exe", radio + "linked"));
        QVERIFY(QFile::link("sub", radio + "alias"));
        // A link to a file inside is compared like the file; the alias of sub is walked once.
        updates.insert(local("Brightfen Radio Setup/linked"), entry("Brightfen Radio Setup/linked", 1));
        updates.insert(local("Brightfen Radio Setup/alias/inner.dll"),
                       entry("Brightfen Radio Setup/alias/inner.dll", 1));
        expectedLog << "Link out of the folder refused - " + downloads + "Brightfen Radio Setup/root -> "
                    << "Link out of the folder refused - " + downloads +
                           "Brightfen Radio Setup/neighbour -> " + downloads + "Brightfen Fieldlink"
                    << "Folder loop skipped - " + downloads + "Brightfen Radio Setup/sub/back"
                    << "Folder loop skipped - " + downloads + "Brightfen Radio Setup/alias/back";
#endif
        expectedLog.sort();
        QCOMPARE(md5Hex("new"), QString("22af645d1859cb5ca6da0c484f1f37ea"));
    }

    void wholeCheckFindsExactlyTheUpdatesAndCachesDigests() {
        QStringList switches = {"--max-read",         "32768",  "--fail-open",        "locked",
                                "--read-error-after", "131070", "--read-error-match", "Cell Setup/big",
                                "--log-reads",        readsLog};
        // "../evil.exe" already falls to the dot rule.
        QStringList names = QStringList(hostile).replaceInStrings(QRegularExpression(" \\(.*"), "");
        for (const QString &name : names << "../evil.exe")
            switches << "--extra-entry" << downloads + "Brightfen Hub Server|" + name + "|4";
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        // A check only inserts into the map it is given.
        const QString bridgeApp = local("Brightfen Bridge/app.exe");
        Found expected = updates;
        expected.insert("kept", "from before");
        QCOMPARE(check({{"kept", "from before"}, {bridgeApp, "replaced"}}), expected);
        QCOMPARE(logged(), expectedLog);
        const qint64 everything = serverBytesRead();
        QCOMPARE(everything, 1301029); // every server file with a local copy, the excluded ones aside

        // Nothing changed: the known differences are reported again and not a byte is read.
        QCOMPARE(check(), updates);
        QCOMPARE(serverBytesRead(), 0);
        QCOMPARE(logged(), expectedLog);

        // Same sizes, new times: the changed server file is read again; the changed local file is
        // compared with the server digest already known.
        const QString serverMeter = tree.filePath(downloads.mid(1) + "Brightfen Meter/Meter.exe");
        const QString core = local("Brightfen Meter/lib/deep/er/core.dll");
        const QDateTime later = QDateTime::currentDateTime().addSecs(60);
        QVERIFY(rewrite(serverMeter, QByteArray(300000, 'M'), later) && rewrite(core, "CORE", later));
        updates.insert(local("Brightfen Meter/Meter.exe"), entry("Brightfen Meter/Meter.exe", 300000));
        updates.insert(core, entry("Brightfen Meter/lib/deep/er/core.dll", 4));
        QCOMPARE(check(), updates);
        QCOMPARE(serverBytesRead(), 300000);

        // A damaged cache is not trusted: everything is read again, and the check writes it anew, which
        // the next damage (made from the file as it is) proves.
        for (const QString damage : {"not JSON", "other version", "cut short", "bad digests"}) {
            const QByteArray good = readTestFile(cache);
            QJsonObject root = QJsonDocument::fromJson(good).object(), files = root.value("files").toObject();
            QCOMPARE(files.size(), 15); // every whole comparison
            for (QJsonValueRef file : files) {
                QJsonObject entry = file.toObject();
                entry.insert("serverMd5", "not a digest");
                file = entry;
            }
            root.insert("version", damage == "other version" ? 2 : 1);
            if (damage == "bad digests")
                root.insert("files", files);
            const QByteArray bytes = damage == "not JSON"    ? QByteArray(2000, '\x9c')
                                     : damage == "cut short" ? good.left(good.size() / 2)
                                                             : QJsonDocument(root).toJson();
            QVERIFY(writeTestFile(cache, bytes));
            QCOMPARE(check(), updates);
            QCOMPARE(serverBytesRead(), everything);
        }
        QCOMPARE(check(), updates);
        QCOMPARE(serverBytesRead(), 0);
        QCOMPARE(logged().filter("cache"), QStringList());

        // A server file replaced by one of the same size and time is only found once its entry is older
        // than 30 days; an entry from the future is not trusted either.
        const QString same = tree.filePath(downloads.mid(1) + "Brightfen Console/same.exe");
        QVERIFY(rewrite(same, "SAME", QFileInfo(same).lastModified()));
        const QDateTime start = QDateTime::currentDateTimeUtc();
        Found changed = updates;
        changed.insert(local("Brightfen Console/same.exe"), entry("Brightfen Console/same.exe", 4));
        const struct {
            int days;
            bool found;
            qint64 read;
        } steps[] = {{29, false, 0}, {31, true, everything}, {32, true, 0}, {-1, true, everything}};
        for (const auto &step : steps) {
            setDigestCacheClockForTesting(start.addDays(step.days));
            QCOMPARE(check(), step.found ? changed : updates);
            QCOMPARE(serverBytesRead(), step.read);
        }
        setDigestCacheClockForTesting(QDateTime());
    }

    void failedCheckGivesOnlyTheErrorConnectEntry_data() {
        QTest::addColumn<QString>("line");
        QTest::newRow("wrong password") << "Error auth conect - ";
        QTest::newRow("server stopped") << "Error ssh conect - ";
        QTest::newRow("changed host key") << "Error host key - ";
        QTest::newRow("stalled") << "Error server timeout - ";
    }
    void failedCheckGivesOnlyTheErrorConnectEntry() {
        QFETCH(QString, line);
        const QString fault = QTest::currentDataTag();
        QFile::remove(cache); // the stall needs reads
        QFile::remove("LogFile.log");
        AsyncsshServer server(tree.path(),
                              fault == "stalled" ? QStringList{"--stall-after", "100000"} : QStringList());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        const QString pinned = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
        if (fault == "wrong password")
            settingsStore()->setValue("SFTP/Pswd", "not the password");
        if (fault == "server stopped")
            server.stop();
        if (fault == "changed host key")
            settingsStore()->setValue("SFTP/HostKey", pinned);
        setSessionTimeoutsForTesting(fault == "stalled" ? 5000 : 0, fault == "stalled" ? 700 : 0);
        QCOMPARE(check(), (Found{{"Error Connect", "Error"}}));
        // Refused before anything is compared; a stall ends the comparison where it was.
        const QStringList lines = logged();
        QCOMPARE(lines.filter(line).size(), 1);
        if (fault != "stalled")
            QCOMPARE(lines.size(), 1);
        if (fault == "changed host key") {
            QVERIFY(lines.value(0).contains(pinned) && lines.value(0).contains(server.fingerprint()));
            QCOMPARE(settingsStore()->value("SFTP/HostKey").toString(), pinned);
        }
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"
