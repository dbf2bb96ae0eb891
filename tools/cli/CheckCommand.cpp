#include "CheckCommand.h"

#include "InstallCommand.h"

#include "transfer/UpdateChecker.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QThread>

#include <algorithm>
#include <cstdio>

int runCheckCommand(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Compares every installed component with the server and prints each file "
        "to update as: local path, a tab, remote path.");
    parser.addHelpOption();
    if (!parser.parse(QStringList("quillon-cli check") + arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return 64;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "check takes no arguments.\n");
        return 64;
    }

    // The same worker on a thread of its own, wired the way the tray program wires it.
    QHash<QString, QString> found;
    QThread thread;
    UpdateChecker checker(&found);
    checker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &checker, &UpdateChecker::Checking_Updates_On_Server);
    QObject::connect(&checker, &UpdateChecker::Finish_Check_Update, &thread, &QThread::quit);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    thread.wait();

    if (found.contains("Error Connect")) {
        std::fprintf(stderr, "Failed to join the server (LogFile.log says why).\n");
        return 2;
    }
    if (found.contains("Error Signature")) {
        std::fprintf(stderr, "%s\n", publisherRefusedText);
        return 4;
    }
    QStringList localPaths = found.keys();
    std::sort(localPaths.begin(), localPaths.end());
    for (const QString &localPath : localPaths) {
        const QString value = found.value(localPath);
        const QString remotePath = value.left(value.lastIndexOf('|'));
        std::printf("%s\t%s\n", qPrintable(localPath), qPrintable(remotePath));
    }
    std::fflush(stdout);
    return localPaths.isEmpty() ? 0 : 1;
}
