// The update checker against the asyncssh test server: what counts as an update, what is never compared,
// what the check cache spares, and how a refused login ends a check.

#include "support/DownloaderRun.h"
#include "support/TestMain.h"

#include "transfer/DigestCache.h"
#include "transfer/UpdateChecker.h"

using Found = QHash<QString, QString>;

class UpdateCheckerTest : public QObject {
    Q_OBJECT
    QTemporaryDir work, tree, install;
    const QString cache = QFileInfo(useTestSettings()).dir().filePath(DigestCache::fileName);
    const QString readsLog = work.filePath("reads.log");
    Found updates; // what the tree holds as updates

    QString local(const QString &path) const { return install.filePath(path); }
    static QString entry(const QString &path, qint64 size) {
        return componentsRoot + path + "|" + QString::number(size);
    }
    // What the lines logged since the last call name (their wording left out), sorted.
    QStringList logged() {
        QStringList lines = logFileLines().replaceInStrings(QRegularExpression("^.*?\\] - .*? - "), "");
        QFile::remove("LogFile.log");
        lines.sort();
        return lines;
    }
    // File bytes the server sent since the last call; the file that fails midway is read at every check.
    qint64 serverBytesRead() {
        qint64 total = 0;
        for (const QString &line : logFileLines(readsLog))
            total += line.contains("Cell Setup/big") ? 0 : line.section(' ', -1).toLongLong();
        QFile::remove(readsLog);
        return total;
    }

private slots:
    void initTestCase() {
        QVERIFY(QDir::setCurrent(work.path()));
        const QByteArray null, big(300000, 'm'), huge(1000000, 'b');
        // Each file's bytes on the server and in the install folder (null: absent there), and whether the
        // check reports it. Excluded names are never compared ("x.dbase" holds ".db"); names with a dot first
        // or second are skipped; folders new on the server bring their files; the fleet server is compared
        // whole; a read that fails midway counts as a change, a file that cannot be opened is skipped.
        const struct {
            QString path; // below the component's folder, "Brightfen " left out
            QByteArray server, local;
            bool update;
        } files[] = {
            // clang-format off
            {"Meter/Meter.exe", big, big, 0}, {"Meter/lib/deep/er/core.dll", "core", "core", 0},
            {"Meter/empty.txt2", "", "", 0}, {"Meter/Документы/Руководство.pdf", "pdf", "pdf", 0},
            {"Console/same.exe", "same", "same", 0}, {"Console/big.bin", huge, huge + "x", 1},
            {"Console/sub/folder/lib.dll", "new!", "old", 1}, {"Console/sub/new file.txt", "12345", null, 1},
            {"Console/new/deeper/lib.dll", "lib", null, 1}, {"Console/local-only.log", null, "mine", 0},
            {"Bridge/app.exe", "v2", "v1", 1}, {"Bridge/config.xml", "server", "local", 0},
            {"Bridge/settings.ini", "s", null, 0}, {"Bridge/port.cfg", "s", null, 0},
            {"Bridge/deviceFolder/device.bin", "d", null, 0}, {"Bridge/x.dbase/inner.exe", "in", null, 0},
            {"Sniffer/a.txt", "skipped", null, 0}, {"Sniffer/.hidden", "skipped", null, 0},
            {"Sniffer/ab", "listed", null, 1}, {"Sniffer/sub/ab.txt", "listed", null, 1},
            {"Sniffer/sub/keep", null, "k", 0}, {"Fleet Server/readme.txt", "top", null, 1},
            {"Fleet Server/x64/server.exe", "new", "old", 1}, {"Alerter/alert.zip", "z", null, 0},
            {"Radio Setup/radio.exe", "r", "r", 0}, {"Radio Setup/sub/inner.dll", "i", "i", 0},
            {"Radio Setup/sub/back/keep", null, "k", 0}, {"Radio Setup/alias/keep", null, "k", 0},
            {"Fieldlink/secret.exe", "s", null, 0}, {"Cell Setup/big.bin", big, big, 1},
            {"Cell Setup/locked.exe", "new", "old", 0}, {"Quillon/Quillon", "new", "old", 1},
            // clang-format on
        };
        for (const auto &file : files) {
            const QString path = file.path.startsWith("Quillon") ? file.path : "Brightfen " + file.path;
            QVERIFY(file.server.isNull() || writeTestFile(tree.path() + componentsRoot + path, file.server));
            QVERIFY(file.local.isNull() || writeTestFile(local(path), file.local));
            if (file.update)
                updates.insert(local(path), entry(path, file.server.size()));
        }
        // Installed where a local folder exists; Alerter in a folder that is gone; Fieldlink not at all.
        for (const QString &name : updatableComponents())
            settingsStore()->setValue("Path/" + name, QFileInfo::exists(local(name)) ? local(name) : "");
        settingsStore()->setValue("Path/Brightfen Alerter", local("gone"));
    }

    void wholeCheckFindsExactlyTheUpdatesAndRemembersWhatItRead() {
        // The components not installed share the empty folder: one line for all of them.
        QStringList log = {"", local("gone")};
        const QStringList switches = {"--max-read",         "32768",  "--fail-open",        "locked",
                                      "--read-error-after", "131070", "--read-error-match", "Cell Setup/big",
                                      "--log-reads",        readsLog};
        Found found = updates;
#ifndef Q_OS_WIN // QFile::link makes shortcut files on Windows
        const QString radio = "Brightfen Radio Setup/", served = tree.path() + componentsRoot + radio;
        QVERIFY(QFile::link("/", served + "root") &&
                QFile::link("../Brightfen Fieldlink", served + "neighbour"));
        QVERIFY(QFile::link("..", served + "sub/back") && QFile::link("sub", served + "alias"));
        QVERIFY(QFile::link("radio.exe", served + "linked"));
        // A link to a file inside is compared like the file; the alias of sub is walked once.
        found.insert(local(radio + "linked"), entry(radio + "linked", 1));
        found.insert(local(radio + "alias/inner.dll"), entry(radio + "alias/inner.dll", 1));
        const QString remote = componentsRoot + radio;
        log << remote + "root -> " << remote + "neighbour -> " + componentsRoot + "Brightfen Fieldlink"
            << remote + "sub/back" << remote + "alias/back";
#endif
        log.sort();
        AsyncsshServer server(tree.path(), switches);
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
        // A check only inserts into the map it is given.
        Found result = checkFound({{"kept", "from before"}, {local("Brightfen Bridge/app.exe"), "replaced"}});
        QCOMPARE(result.take("kept"), QString("from before"));
        QCOMPARE(result, found);
        QCOMPARE(logged(), log);
        const qint64 everything = serverBytesRead();
        QCOMPARE(everything, 1300025); // every server file with a local copy, the excluded ones aside

        // Nothing changed: the known differences are reported again and not a byte is read.
        QCOMPARE(checkFound(), found);
        QCOMPARE(serverBytesRead(), 0);
        QCOMPARE(logged(), log);

        // Same sizes, new times: the changed server file is read again; the changed local file is
        // compared with the server digest already known.
        const QString core = local("Brightfen Meter/lib/deep/er/core.dll");
        const QDateTime later = QDateTime::currentDateTime().addSecs(60);
        QVERIFY(writeTestFile(tree.path() + componentsRoot + "Brightfen Meter/Meter.exe",
                              QByteArray(300000, 'M'), later));
        QVERIFY(writeTestFile(core, "CORE", later));
        found.insert(local("Brightfen Meter/Meter.exe"), entry("Brightfen Meter/Meter.exe", 300000));
        found.insert(core, entry("Brightfen Meter/lib/deep/er/core.dll", 4));
        QCOMPARE(checkFound(), found);
        QCOMPARE(serverBytesRead(), 300000);

        // A damaged cache, or one whose entries name other server paths, is not trusted: everything is read
        // again, and the check writes it anew (the first check below reads nothing).
        const QByteArray good = readTestFile(cache);
        QCOMPARE(good.count("\"serverMd5\""), 12); // every whole comparison
        for (const QByteArray &damaged :
             {QByteArray(2000, '\x9c'), good.left(good.size() / 2),
              QByteArray(good).replace("\"version\": 1", "\"version\": 2"),
              QByteArray(good).replace("\"remote\": \"", "\"remote\": \"/moved"),
              QString(good)
                  .replace(QRegularExpression("(\"serverMd5\": \")\\w+"), "\\1not a digest")
                  .toUtf8()}) {
            QVERIFY(writeTestFile(cache, damaged));
            QCOMPARE(checkFound(), found);
            QCOMPARE(serverBytesRead(), everything);
        }
        QCOMPARE(logged().filter("cache"), QStringList());

        // A server file replaced by one of the same size and time is only found once its entry is older
        // than 30 days; an entry from the future is not trusted either.
        const QString same = tree.path() + componentsRoot + "Brightfen Console/same.exe";
        QVERIFY(writeTestFile(same, "SAME", QFileInfo(same).lastModified()));
        const QDateTime start = QDateTime::currentDateTimeUtc();
        Found changed = found;
        changed.insert(local("Brightfen Console/same.exe"), entry("Brightfen Console/same.exe", 4));
        for (const int days : {29, 31, 32, -1}) {
            setDigestCacheClockForTesting(start.addDays(days));
            QCOMPARE(checkFound(), days == 29 ? found : changed);
            QCOMPARE(serverBytesRead(), days == 29 || days == 32 ? 0 : everything);
            QCOMPARE(logged(), log);
        }
        setDigestCacheClockForTesting(QDateTime());

        QCOMPARE(md5Hex("new"), QString("22af645d1859cb5ca6da0c484f1f37ea"));
    }
};

QUILLON_GUILESS_TEST_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"
