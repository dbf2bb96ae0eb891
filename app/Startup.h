#pragma once
// The start-up steps before the tray appears, each over a given program folder so they can run anywhere.

#include <QString>
#include <QStringList>

#include <functional>

class CEncryptedSettings;
class QTranslator;

// Program folder + "/settings.ini".
QString settingsFilePath(const QString &programFolder);

// Writes the compiled-in default settings when the folder has no "settings.ini"; true when it wrote them.
bool writeDefaultSettingsIfMissing(const QString &programFolder);

// Runs a clean-up script left by a self-update for at most timeoutMs while the event loop goes on, deletes
// it, stops it if it still runs, and then calls `then`; without a script `then` runs at once. True when
// there was a script.
bool runPendingCleanupScript(const QString &programFolder, const std::function<void()> &then,
                             int timeoutMs = 3000);

// Loads ":/i18n/Quillon_<locale>" for the first of the languages that has one and installs it into the
// application. The first form asks the system for its interface languages.
bool installTranslator(QTranslator &translator);
bool installTranslator(QTranslator &translator, const QStringList &uiLanguages);

// Creates the settings store on the folder's "settings.ini" with the program key and returns it.
CEncryptedSettings *openSettingsStore(const QString &programFolder);

// Sets "Path/Quillon" to the program folder unless it already holds exactly that; true when it wrote.
bool recordProgramFolder(const QString &programFolder);
