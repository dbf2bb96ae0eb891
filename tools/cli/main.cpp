// quillon-cli: the headless client over the same library and workers as the tray program.

#include "CheckCommand.h"
#include "InstallCommand.h"
#include "UpdateCommand.h"

#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

static int run(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quillon-cli");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Quillon headless client: checks, installs and updates Brightfen software.");
    const QCommandLineOption settingsOption(
        "settings", "The encrypted settings file (default: settings.ini beside this program).", "FILE");
    parser.addOption(settingsOption);
    parser.addHelpOption();
    parser.addPositionalArgument("command", "check, install or update; '<command> --help' says more.");
    // Everything after the command belongs to the command.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return 64;
    }
    QStringList arguments = parser.positionalArguments();
    if (parser.isSet("help") || arguments.isEmpty()) {
        std::printf("%s", qPrintable(parser.helpText()));
        return arguments.isEmpty() && !parser.isSet("help") ? 64 : 0;
    }
    const QString command = arguments.takeFirst();

    const QString settingsFile = parser.isSet(settingsOption)
                                     ? QFileInfo(parser.value(settingsOption)).absoluteFilePath()
                                     : QDir(QCoreApplication::applicationDirPath()).filePath("settings.ini");
    if (!QFileInfo::exists(settingsFile)) {
        std::fprintf(stderr, "No settings file %s.\n", qPrintable(QDir::toNativeSeparators(settingsFile)));
        return 64;
    }
    CEncryptedSettings::getInstance(settingsFile, programKey);

    if (command == "check")
        return runCheckCommand(arguments);
    if (command == "install")
        return runInstallCommand(arguments);
    if (command == "update")
        return runUpdateCommand(arguments);
    std::fprintf(stderr, "Unknown command %s; try --help.\n", qPrintable(command));
    return 64;
}

// Ends through Platform::endProcess, never the C runtime's exit (which can hang on Windows), so
// the tool never calls exit() itself: QCommandLineParser::parse(), not process().
int main(int argc, char *argv[]) {
    Platform::endProcess(run(argc, argv));
}
