// Tests of the built-in component tables and the install context under different system versions.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/TestSettings.h"
#include "transfer/InstallContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>

namespace {

const QString root = QStringLiteral("/upload/Softwares/For Download/");

// Every row that does not depend on the system version or on the runtime package.
const QStringList fixedComponents = {"Brightfen Hub Server",
                                     "Brightfen Radio Setup",
                                     "Brightfen Decoder",
                                     "Brightfen Console",
                                     "Brightfen Meter",
                                     "Brightfen Bridge",
                                     "Brightfen Fieldlink",
                                     "Brightfen Sniffer",
                                     "Brightfen Clocksync",
                                     "Brightfen Alerter",
                                     "Brightfen Cell Setup",
                                     "Brightfen Fleet Upload",
                                     "Brightfen Fleet Setup",
                                     "Brightfen Tracker A Setup",
                                     "Brightfen Tracker B Setup",
                                     "CP210x",
                                     "MCP2200",
                                     "OpenSSL",
                                     "CH9340"};

} // namespace

class TestCatalog : public QObject {
    Q_OBJECT
private slots:
    void contextNeedsNoSettingsStore();
    void init();
    void cleanup();
    void fixedRowsPointBelowTheDownloadFolder();
    void driverRowsFollowTheReportedVersion();
    void runtimePackageRowOnlyUntilItWasFetched();
    void groupFoldersStartAtTheirDefaults();
    void updatableComponentsAreTheSeventeenInOrder();
};

void TestCatalog::contextNeedsNoSettingsStore() {
    // Runs first, before init() has opened the store: a context made then treats "MSVC" as not fetched.
    QVERIFY(CEncryptedSettings::getInstance(QString(), 0) == nullptr);
    InstallContext context;
    QVERIFY(!context.msvcInstalled);
    QCOMPARE(context.remoteFolders.value("MSVC"), root + "MSVC");
}

void TestCatalog::init() {
    if (QByteArray(QTest::currentTestFunction()) != "contextNeedsNoSettingsStore")
        useTestSettings();
}

void TestCatalog::cleanup() {
    Platform::setVersionForTesting(-1, 0);
    if (CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0))
        settings->setValue("MSVC/Inst", false);
}

void TestCatalog::fixedRowsPointBelowTheDownloadFolder() {
    // A system older than every driver variant, as Linux answers: the real one under Wine is newer.
    Platform::setVersionForTesting(5, 0);
    InstallContext context;
    for (const QString &name : fixedComponents)
        QCOMPARE(context.remoteFolders.value(name), root + name);
    // The x64 build of the server is the one installed; updates compare the whole folder.
    QCOMPARE(context.remoteFolders.value("Brightfen Fleet Server"), root + "Brightfen Fleet Server/x64");
    // 19 fixed rows (the decoder once), the fleet server, "MSVC" and the STM driver; no CDC row
    // on a system that meets none of its versions.
    QCOMPARE(context.remoteFolders.size(), 22);
    QVERIFY(!context.remoteFolders.contains("CDC Drivers"));
    QVERIFY(!context.remoteFolders.contains("Quillon")); // the program updates itself by its own row
    QCOMPARE(context.remoteFolders.value("STM32102"), root + "STM/Win7");
    QVERIFY(context.selectedLoRa.isEmpty() && context.selectedDrivers.isEmpty());
    QVERIFY(context.driverInstallers.isEmpty());
    QVERIFY(!context.softListPage && !context.pathSelectPage);
}

void TestCatalog::driverRowsFollowTheReportedVersion() {
    struct Step {
        int major, minor;
        const char *cdc, *stm;
    };
    const Step steps[] = {{5, 0, nullptr, "STM/Win7"},
                          {5, 1, "CDC Drivers/Wxp", "STM/Win7"},
                          {5, 2, "CDC Drivers/Wxp", "STM/Win7"},
                          {6, 0, "CDC Drivers/Vista", "STM/Win7"},
                          {6, 1, "CDC Drivers/Win7", "STM/Win7"},
                          {6, 2, "CDC Drivers/Win8", "STM/Win8"},
                          {6, 3, "CDC Drivers/Win81", "STM/Win8"},
                          {10, 0, "CDC Drivers/Win10", "STM/Win8"},
                          {11, 0, "CDC Drivers/Win10", "STM/Win8"}};
    for (const Step &step : steps) {
        Platform::setVersionForTesting(step.major, step.minor);
        InstallContext context;
        const QString version = QString("%1.%2").arg(step.major).arg(step.minor);
        QVERIFY2(context.remoteFolders.contains("CDC Drivers") == (step.cdc != nullptr), qPrintable(version));
        if (step.cdc)
            QCOMPARE(context.remoteFolders.value("CDC Drivers"), root + step.cdc);
        QCOMPARE(context.remoteFolders.value("STM32102"), root + step.stm);
        QCOMPARE(context.remoteFolders.size(), step.cdc ? 23 : 22);
    }
}

void TestCatalog::runtimePackageRowOnlyUntilItWasFetched() {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    settings->setValue("MSVC/Inst", true);
    {
        InstallContext context;
        QVERIFY(context.msvcInstalled);
        QVERIFY(!context.remoteFolders.contains("MSVC"));
        QCOMPARE(context.remoteFolders.value("CP210x"), root + "CP210x");
    }
    // Read back from the file after a restart the flag is text.
    settings->setValue("MSVC/Inst", QStringLiteral("true"));
    QVERIFY(InstallContext().msvcInstalled);
    settings->setValue("MSVC/Inst", QStringLiteral("false"));
    {
        InstallContext context;
        QVERIFY(!context.msvcInstalled);
        QCOMPARE(context.remoteFolders.value("MSVC"), root + "MSVC");
    }
}

void TestCatalog::groupFoldersStartAtTheirDefaults() {
    InstallContext context;
    const QString drive = QDir::root().absolutePath();
    QCOMPARE(context.groupFolders.size(), 4);
    QCOMPARE(context.groupFolders.value("LoRa"), drive + "Brightfen/LoRa");
    QCOMPARE(context.groupFolders.value("NB-IoT"), drive + "Brightfen/NB-IoT");
    QCOMPARE(context.groupFolders.value("CarMonitoring"), drive + "Brightfen/MT");
    QCOMPARE(context.groupFolders.value("Drivers"), QCoreApplication::applicationDirPath() + "/Drivers");
}

void TestCatalog::updatableComponentsAreTheSeventeenInOrder() {
    const QStringList expected = {"Brightfen Hub Server",
                                  "Brightfen Radio Setup",
                                  "Brightfen Console",
                                  "Brightfen Meter",
                                  "Brightfen Bridge",
                                  "Brightfen Fieldlink",
                                  "Brightfen Sniffer",
                                  "Brightfen Clocksync",
                                  "Brightfen Alerter",
                                  "Brightfen Decoder",
                                  "Brightfen Cell Setup",
                                  "Brightfen Fleet Server",
                                  "Brightfen Fleet Upload",
                                  "Brightfen Fleet Setup",
                                  "Brightfen Tracker A Setup",
                                  "Brightfen Tracker B Setup",
                                  "Quillon"};
    QCOMPARE(updatableComponents(), expected);
}

QUILLON_GUILESS_TEST_MAIN(TestCatalog)
#include "tst_catalog.moc"
