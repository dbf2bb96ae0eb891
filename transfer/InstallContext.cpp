#include "transfer/InstallContext.h"

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>

namespace {

const QString downloadRoot = QStringLiteral("/upload/Softwares/For Download/");

struct DriverVariant {
    quint16 major;
    quint16 minor;
    const char *folder;
};

// Newest first: the first row the running system meets wins.
const DriverVariant cdcDriverVariants[] = {
    {10, 0, "CDC Drivers/Win10"}, {6, 3, "CDC Drivers/Win81"}, {6, 2, "CDC Drivers/Win8"},
    {6, 1, "CDC Drivers/Win7"},   {6, 0, "CDC Drivers/Vista"}, {5, 1, "CDC Drivers/Wxp"},
};

} // namespace

InstallContext::InstallContext() {
    // Without a settings store (as before start-up has opened it) the runtime package counts as not
    // installed.
    if (CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0))
        msvcInstalled = settings->value(QStringLiteral("MSVC/Inst"), false).toBool();

    const QString root = QDir::root().absolutePath();
    groupFolders.insert(QStringLiteral("LoRa"), root + QStringLiteral("Brightfen/LoRa"));
    groupFolders.insert(QStringLiteral("NB-IoT"), root + QStringLiteral("Brightfen/NB-IoT"));
    groupFolders.insert(QStringLiteral("CarMonitoring"), root + QStringLiteral("Brightfen/MT"));
    groupFolders.insert(QStringLiteral("Drivers"),
                        QCoreApplication::applicationDirPath() + QStringLiteral("/Drivers"));

    const auto add = [this](const QString &name, const QString &folder) {
        remoteFolders.insert(name, downloadRoot + folder);
    };
    const auto addNamed = [&add](const QString &name) { add(name, name); };
    addNamed(QStringLiteral("Brightfen Hub Server"));
    addNamed(QStringLiteral("Brightfen Radio Setup"));
    addNamed(QStringLiteral("Brightfen Decoder"));
    addNamed(QStringLiteral("Brightfen Console"));
    addNamed(QStringLiteral("Brightfen Meter"));
    addNamed(QStringLiteral("Brightfen Bridge"));
    addNamed(QStringLiteral("Brightfen Fieldlink"));
    addNamed(QStringLiteral("Brightfen Sniffer"));
    addNamed(QStringLiteral("Brightfen Clocksync"));
    addNamed(QStringLiteral("Brightfen Alerter"));
    addNamed(QStringLiteral("Brightfen Decoder"));
    addNamed(QStringLiteral("Brightfen Cell Setup"));
    add(QStringLiteral("Brightfen Fleet Server"), QStringLiteral("Brightfen Fleet Server/x64"));
    addNamed(QStringLiteral("Brightfen Fleet Upload"));
    addNamed(QStringLiteral("Brightfen Fleet Setup"));
    addNamed(QStringLiteral("Brightfen Tracker A Setup"));
    addNamed(QStringLiteral("Brightfen Tracker B Setup"));
    // Once the runtime package has been fetched it is not offered again.
    if (!msvcInstalled)
        addNamed(QStringLiteral("MSVC"));
    addNamed(QStringLiteral("CP210x"));
    addNamed(QStringLiteral("MCP2200"));
    add(QStringLiteral("STM32102"), Platform::isWindowsVersionOrGreater(6, 2, 0)
                                        ? QStringLiteral("STM/Win8")
                                        : QStringLiteral("STM/Win7"));
    addNamed(QStringLiteral("OpenSSL"));
    for (const DriverVariant &variant : cdcDriverVariants) {
        if (Platform::isWindowsVersionOrGreater(variant.major, variant.minor, 0)) {
            add(QStringLiteral("CDC Drivers"), QLatin1String(variant.folder));
            break;
        }
    }
    addNamed(QStringLiteral("CH9340"));
}

QStringList updatableComponents() {
    return {QStringLiteral("Brightfen Hub Server"),
            QStringLiteral("Brightfen Radio Setup"),
            QStringLiteral("Brightfen Console"),
            QStringLiteral("Brightfen Meter"),
            QStringLiteral("Brightfen Bridge"),
            QStringLiteral("Brightfen Fieldlink"),
            QStringLiteral("Brightfen Sniffer"),
            QStringLiteral("Brightfen Clocksync"),
            QStringLiteral("Brightfen Alerter"),
            QStringLiteral("Brightfen Decoder"),
            QStringLiteral("Brightfen Cell Setup"),
            QStringLiteral("Brightfen Fleet Server"),
            QStringLiteral("Brightfen Fleet Upload"),
            QStringLiteral("Brightfen Fleet Setup"),
            QStringLiteral("Brightfen Tracker A Setup"),
            QStringLiteral("Brightfen Tracker B Setup"),
            QStringLiteral("Quillon")};
}
