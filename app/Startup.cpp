#include "app/Startup.h"

#include "core/CEncryptedSettings.h"
#include "core/DefaultSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTimer>
#include <QTranslator>

#include <memory>

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

bool runPendingCleanupScript(const QString &programFolder, const std::function<void()> &then, int timeoutMs) {
    const QString scriptPath = programFolder + QLatin1Char('/') + Platform::cleanupScriptName();
    if (!QFile::exists(scriptPath)) {
        then();
        return false;
    }
    QStringList arguments;
    const QString program = Platform::cleanupScriptProgram(scriptPath, &arguments);
    auto *process = new QProcess();
    auto ended = std::make_shared<bool>(false);
    const auto scriptEnded = [process, scriptPath, then, ended] {
        if (*ended)
            return;
        *ended = true;
        QFile::remove(scriptPath);
        // A script still running is stopped; its object goes once the stop is through.
        if (process->state() == QProcess::NotRunning)
            process->deleteLater();
        else
            process->kill();
        then();
    };
    QObject::connect(process, &QProcess::finished, process, [process, scriptEnded, ended] {
        if (*ended)
            process->deleteLater();
        scriptEnded();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [scriptEnded](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            scriptEnded();
    });
    QTimer::singleShot(timeoutMs, process, scriptEnded);
    process->start(program, arguments);
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
