// Tests of the start-up steps, run against a temporary program folder.

#include "support/TestMain.h"
#include "app/Startup.h"
#include "core/CEncryptedSettings.h"
#include "core/CSettingsCipher.h"
#include "core/DefaultSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
#include "support/TestFiles.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTranslator>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void defaultSettingsAreWrittenOnlyWhenMissing();
    void cleanupScriptRunsAndIsRemoved();
    void cleanupScriptStillRunningIsStoppedAndRemoved();
    void translatorLoadsTheFirstLanguageWithAResource();
    void storeOpensDefaultsAndFolderIsRecordedOnlyWhenItDiffers();
};

void StartupTest::defaultSettingsAreWrittenOnlyWhenMissing() {
    QTemporaryDir folder;
    const QString path = folder.filePath("settings.ini");
    QCOMPARE(settingsFilePath(folder.path()), path);
    QVERIFY(writeDefaultSettingsIfMissing(folder.path()));
    const QByteArray written = readTestFile(path);
    QCOMPARE(written, defaultSettingsContent());

    CSettingsCipher cipher;
    cipher.setKey(programKey);
    const QByteArray plaintext = cipher.decrypt(written);
    QCOMPARE(cipher.lastError(), CSettingsCipher::CipherOk);
    QCOMPARE(written.at(1), char(0x05));
    QVERIFY(plaintext.contains("[SFTP]\nIP=updates.brightfen.example\nport=22\n"));
    QVERIFY(plaintext.contains("\nLogin="));
    QVERIFY(plaintext.contains("\nPswd="));
    QVERIFY(plaintext.contains("[Timer]\nTimeout=7\n"));

    // An existing file, readable or not, is left alone.
    QVERIFY(writeTestFile(path, "not a cyphertext"));
    QVERIFY(!writeDefaultSettingsIfMissing(folder.path()));
    QCOMPARE(readTestFile(path), QByteArray("not a cyphertext"));
}

void StartupTest::cleanupScriptRunsAndIsRemoved() {
    QTemporaryDir folder;
    bool started = false;
    QVERIFY(!runPendingCleanupScript(folder.path(), [&] { started = true; }));
    QVERIFY(started); // without a script the start goes straight on

    const QString oldProgram = folder.filePath(Platform::oldProgramFileName());
    const QString script = folder.filePath(Platform::cleanupScriptName());
    QVERIFY(writeTestFile(oldProgram, "the previous program"));
    // The old program takes a moment to go, as after a restart.
    QVERIFY(writeTestFile(script, "sleep 0.5\n" + Platform::cleanupScriptText(oldProgram)));
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    int ticksWhenStarted = -1;
    QStringList leftWhenStarted;
    QVERIFY(runPendingCleanupScript(folder.path(), [&] {
        ticksWhenStarted = ticks;
        leftWhenStarted = QDir(folder.path()).entryList(QDir::Files);
    }));
    // The call came back at once; the rest of the start follows the script.
    QCOMPARE(ticksWhenStarted, -1);
    QTRY_VERIFY_WITH_TIMEOUT(ticksWhenStarted >= 0, 10000);
    QVERIFY2(ticksWhenStarted > 0, "the event loop stood still while the script ran");
    QCOMPARE(leftWhenStarted, QStringList());
}

void StartupTest::cleanupScriptStillRunningIsStoppedAndRemoved() {
#ifndef Q_OS_UNIX
    QSKIP("the never-ending script is a POSIX shell script");
#else
    QTemporaryDir folder;
    const QString script = folder.filePath(Platform::cleanupScriptName());
    const QString pidFile = folder.filePath("pid");
    QVERIFY(writeTestFile(script, QStringLiteral("echo $$ > '%1'\nexec sleep 60\n").arg(pidFile).toUtf8()));
    bool started = false, scriptLeft = true;
    // A short wait keeps the test quick; the program passes 3000 ms.
    QVERIFY(runPendingCleanupScript(
        folder.path(),
        [&] {
            started = true;
            scriptLeft = QFile::exists(script);
        },
        300));
    // Far below the script's own 60 s: it was stopped, not waited for.
    QTRY_VERIFY_WITH_TIMEOUT(started, 20000);
    QVERIFY(!scriptLeft);
    const qint64 pid = readTestFile(pidFile).trimmed().toLongLong();
    QVERIFY(pid > 0);
    QTRY_VERIFY2(::kill(pid_t(pid), 0) != 0, "the script still runs");
#endif
}

void StartupTest::translatorLoadsTheFirstLanguageWithAResource() {
    QTranslator none;
    QVERIFY(!installTranslator(none, {"en-US", "de-DE"}));
    QVERIFY(none.isEmpty());
    QVERIFY(none.language().isEmpty());

    QTranslator russian;
    QVERIFY(installTranslator(russian, {"en-US", "ru-RU", "ru"}));
    QCOMPARE(russian.language(), QStringLiteral("ru_RU"));
    // It carries no messages: texts pass through unchanged.
    QCOMPARE(QCoreApplication::translate("MainTrayIcon", "Exit"), QStringLiteral("Exit"));
    QCoreApplication::removeTranslator(&russian);
}

void StartupTest::storeOpensDefaultsAndFolderIsRecordedOnlyWhenItDiffers() {
    QTemporaryDir folder;
    QVERIFY(!recordProgramFolder(folder.path())); // no store yet
    writeDefaultSettingsIfMissing(folder.path());
    CEncryptedSettings *settings = openSettingsStore(folder.path());
    QVERIFY(settings);
    QCOMPARE(settings->fileName(), settingsFilePath(folder.path()));
    QCOMPARE(settings->value("SFTP/IP").toString(), QStringLiteral("updates.brightfen.example"));
    QCOMPARE(settings->value("SFTP/port").toInt(), 22);
    QCOMPARE(settings->value("Timer/Timeout").toInt(), 7);
    QVERIFY(!settings->value("Path/Quillon").isValid());

    QVERIFY(recordProgramFolder(folder.path()));
    QCOMPARE(settings->value("Path/Quillon").toString(), folder.path());
    // Every save draws a new random byte, so an unneeded save would change the file.
    const QByteArray saved = readTestFile(settings->fileName());
    QVERIFY(!recordProgramFolder(folder.path()));
    QCOMPARE(readTestFile(settings->fileName()), saved);

    settings->setValue("Path/Quillon", folder.path().toUpper());
    QVERIFY(recordProgramFolder(folder.path()));
    QCOMPARE(settings->value("Path/Quillon").toString(), folder.path());

    const QString moved = folder.filePath("moved");
    QVERIFY(recordProgramFolder(moved));
    CSettingsCipher cipher;
    cipher.setKey(programKey);
    QVERIFY(cipher.decrypt(readTestFile(settings->fileName())).contains("Quillon=" + moved.toUtf8() + "\n"));
}

QUILLON_GUILESS_TEST_MAIN(StartupTest)
#include "tst_startup.moc"
