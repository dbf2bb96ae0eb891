// Tests of the start-up steps, run against a temporary program folder.

#include "app/Startup.h"
#include "core/CEncryptedSettings.h"
#include "core/DefaultSettings.h"
#include "platform/Platform.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void defaultSettingsAreWrittenOpenedAndGivenTheProgramFolder() {
        QTemporaryDir folder;
        const QString path = folder.filePath("settings.ini");
        QVERIFY(!recordProgramFolder(folder.path())); // no store yet
        // An existing file, readable or not, is left alone.
        QVERIFY(writeTestFile(path, "not a cyphertext"));
        QVERIFY(!writeDefaultSettingsIfMissing(folder.path()));
        QCOMPARE(readTestFile(path), QByteArray("not a cyphertext"));
        QVERIFY(QFile::remove(path));
        QVERIFY(writeDefaultSettingsIfMissing(folder.path()));
        QCOMPARE(readTestFile(path), defaultSettingsContent());
        // The store reads what was written (the values themselves are the program's own file).
        CEncryptedSettings *settings = openSettingsStore(folder.path());
        QVERIFY(settings && settings->fileName() == path);
        for (const char *key : {"SFTP/IP", "SFTP/port", "SFTP/Login", "SFTP/Pswd", "Timer/Timeout"})
            QVERIFY2(!settings->value(key).toString().isEmpty(), key);
        QVERIFY(recordProgramFolder(folder.path()));
        QCOMPARE(settings->value("Path/Quillon").toString(), folder.path());
        // Every save draws a new random byte, so an unneeded save would change the file.
        const QByteArray saved = readTestFile(path);
        QVERIFY(!recordProgramFolder(folder.path()));
        QCOMPARE(readTestFile(path), saved);
        settings->setValue("Path/Quillon", folder.path().toUpper());
        QVERIFY(recordProgramFolder(folder.path()));
        QCOMPARE(settings->value("Path/Quillon").toString(), folder.path());
    }

    void cleanupScriptRunsWhileTheStartWaitsAndIsRemoved() {
        QTemporaryDir folder;
        bool started = false;
        QVERIFY(!runPendingCleanupScript(folder.path(), [&] { started = true; }));
        QVERIFY(started); // without a script the start goes straight on
        const QString oldProgram = folder.filePath(Platform::oldProgramFileName());
        const QString script = folder.filePath(Platform::cleanupScriptName());
        QVERIFY(writeTestFile(oldProgram, "the previous program"));
        // The old program takes a moment to go, as after a restart.
        QVERIFY(writeTestFile(script, "sleep 0.5\n" + Platform::cleanupScriptText(oldProgram)));
        QStringList left{"not called"};
        QVERIFY(runPendingCleanupScript(folder.path(),
                                        [&] { left = QDir(folder.path()).entryList(QDir::Files); }));
        QCOMPARE(left, QStringList{"not called"}); // the event loop goes on meanwhile
        QTRY_COMPARE_WITH_TIMEOUT(left, QStringList(), 10000);
#ifdef Q_OS_UNIX
        // Still running after the wait (shortened here): stopped, and its file gone before the start goes on.
        started = false;
        QVERIFY(writeTestFile(
            script, QStringLiteral("echo $$ > '%1/pid'\nexec sleep 60\n").arg(folder.path()).toUtf8()));
        QVERIFY(runPendingCleanupScript(
            folder.path(), [&] { started = !QFile::exists(script); }, 300));
        QTRY_VERIFY_WITH_TIMEOUT(started, 20000);
        const qint64 pid = readTestFile(folder.filePath("pid")).trimmed().toLongLong();
        QTRY_VERIFY2(pid > 0 && !Platform::isProcessRunning(pid), "the script still runs");
#endif
    }

    void translatorLoadsTheFirstLanguageWithAResource() {
        QTranslator none, russian;
        QVERIFY(!installTranslator(none, {"en-US", "de-DE"}));
        QVERIFY(none.language().isEmpty());
        QVERIFY(installTranslator(russian, {"en-US", "ru-RU", "ru"}));
        QCOMPARE(russian.language(), QStringLiteral("ru_RU"));
        QVERIFY(QCoreApplication::removeTranslator(&russian)); // it was installed
    }
};

QUILLON_GUILESS_TEST_MAIN(StartupTest)
#include "tst_startup.moc"
