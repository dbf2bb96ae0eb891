// The install context under each system version and runtime-package state.

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/Scenario.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "transfer/InstallContext.h"

#include <QTest>

class TestCatalog : public QObject {
    Q_OBJECT
private slots:
    void catalogFollowsTheSystemVersionAndTheRuntimePackage_data() {
        QTest::addColumn<QString>("cdc");   // empty: no CDC row
        QTest::addColumn<QVariant>("msvc"); // "MSVC/Inst"; invalid: no settings store opened yet
        QTest::addColumn<QString>("stm");
        QTest::addColumn<bool>("msvcInstalled");
        // Older than every driver variant, as Linux answers; this row runs before the store opens.
        QTest::newRow("5.0 no store") << "" << QVariant() << "Win7" << false;
        QTest::newRow("5.1") << "Wxp" << QVariant(false) << "Win7" << false;
        QTest::newRow("5.2") << "Wxp" << QVariant(true) << "Win7" << true;
        // Read back from the file after a restart the flag is text.
        QTest::newRow("6.0") << "Vista" << QVariant("true") << "Win7" << true;
        QTest::newRow("6.1") << "Win7" << QVariant("false") << "Win7" << false;
        QTest::newRow("6.2") << "Win8" << QVariant(false) << "Win8" << false;
        QTest::newRow("6.3") << "Win81" << QVariant(false) << "Win8" << false;
        QTest::newRow("10.0") << "Win10" << QVariant(true) << "Win8" << true;
        QTest::newRow("11.0") << "Win10" << QVariant(false) << "Win8" << false;
    }
    void catalogFollowsTheSystemVersionAndTheRuntimePackage() {
        QFETCH(QString, cdc);
        QFETCH(QVariant, msvc);
        QFETCH(QString, stm);
        QFETCH(bool, msvcInstalled);
        if (!msvc.isValid())
            QVERIFY(CEncryptedSettings::getInstance(QString(), 0) == nullptr);
        else
            CEncryptedSettings::getInstance(useTestSettings(), 0)->setValue("MSVC/Inst", msvc);
        const QStringList version = QString(QTest::currentDataTag()).section(' ', 0, 0).split('.');
        Platform::setVersionForTesting(version[0].toInt(), version[1].toInt());
        const InstallContext context;
        Platform::setVersionForTesting(-1, 0);
        // Which driver variant the system gets, and the runtime only where it is missing; the rows
        // themselves are the program's own table.
        QCOMPARE(context.remoteFolders.value("STM32102"), componentsRoot + "STM/" + stm);
        QCOMPARE(context.remoteFolders.value("CDC Drivers"),
                 cdc.isEmpty() ? "" : componentsRoot + "CDC Drivers/" + cdc);
        QCOMPARE(context.msvcInstalled, msvcInstalled);
        QCOMPARE(context.remoteFolders.value("MSVC"), msvcInstalled ? "" : componentsRoot + "MSVC");
    }
};

QUILLON_GUILESS_TEST_MAIN(TestCatalog)
#include "tst_catalog.moc"
