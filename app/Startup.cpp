#include "app/Startup.h"

#include "core/CEncryptedSettings.h"
#include "core/DefaultSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTranslator>

QString settingsFilePath(const QString &programFolder) {
    return programFolder + QStringLiteral("/settings.ini");
}

bool writeDefaultSettingsIfMissing(const QString &programFolder) {
    QFile file(settingsFilePath(programFolder));
    if (file.exists())
        return false;
    // Failures are not examined: the store then starts empty and says so in the debug output.
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(defaultSettingsContent());
    file.close();
    return true;
}

bool runPendingCleanupScript(const QString &programFolder, int timeoutMs) {
    const QString scriptPath = programFolder + QLatin1Char('/') + Platform::cleanupScriptName();
    if (!QFile::exists(scriptPath))
        return false;
    QStringList arguments;
    const QString program = Platform::cleanupScriptProgram(scriptPath, &arguments);
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(timeoutMs);
    QFile::remove(scriptPath);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
    return true;
}

bool installTranslator(QTranslator &translator) {
    return installTranslator(translator, QLocale::system().uiLanguages());
}

bool installTranslator(QTranslator &translator, const QStringList &uiLanguages) {
    for (const QString &language : uiLanguages) {
        const QString baseName = QStringLiteral("Quillon_") + QLocale(language).name();
        if (translator.load(QStringLiteral(":/i18n/") + baseName)) {
            QCoreApplication::installTranslator(&translator);
            return true;
        }
    }
    return false;
}

CEncryptedSettings *openSettingsStore(const QString &programFolder) {
    CEncryptedSettings::getInstance(settingsFilePath(programFolder), programKey);
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool recordProgramFolder(const QString &programFolder) {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    if (!settings)
        return false;
    if (settings->value(QStringLiteral("Path/Quillon"), QString()).toString() == programFolder)
        return false;
    settings->setValue(QStringLiteral("Path/Quillon"), programFolder);
    return true;
}
