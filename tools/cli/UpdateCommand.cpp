#include "UpdateCommand.h"

#include "InstallCommand.h"
#include "transfer/Downloader.h"
#include "transfer/UpdateChecker.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QSet>
#include <QThread>

#include <cstdio>

namespace {

void printError(const QString &text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Fills `pending` the way the tray controller's check does, on a worker thread of its own.
void checkForUpdates(QHash<QString, QString> *pending) {
    QThread thread;
    UpdateChecker checker(pending);
    checker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &checker, &UpdateChecker::Checking_Updates_On_Server);
    QObject::connect(&checker, &UpdateChecker::Finish_Check_Update, &thread, &QThread::quit,
                     Qt::DirectConnection);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    thread.wait();
}

} // namespace

int runUpdateCommand(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Checks the installed components against the server and fetches every "
                                     "file that differs.");
    const QCommandLineOption waitOption(
        "wait-running", "Wait for a program that is still running to end instead of skipping it.");
    parser.addOption(waitOption);
    parser.addHelpOption();
    if (!parser.parse(QStringList("quillon-cli update") + arguments)) {
        printError(parser.errorText());
        return 64;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError("update takes no component names.");
        return 64;
    }
    const bool waitRunning = parser.isSet(waitOption);

    QHash<QString, QString> pending;
    checkForUpdates(&pending);
    if (pending.value("Error Connect") == "Error") {
        printError("Cannot reach the server; see LogFile.log for the cause.");
        return 2;
    }
    if (pending.value("Error Signature") == "Error") {
        printError(publisherRefusedText);
        return 4;
    }
    if (pending.isEmpty()) {
        std::printf("Everything is up to date.\n");
        return 0;
    }
    std::printf("%lld file(s) to update.\n", static_cast<long long>(pending.size()));
    std::fflush(stdout);

    QHash<QString, bool> everything;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        everything.insert(it.key(), true);

    ProgressLine progress;
    bool unreachable = false;
    int skipped = 0;
    QSet<QString> waitingFor;
    Downloader downloader(everything, &pending);
    QObject receiver;
    QObject::connect(&downloader, &Downloader::New_Progress_Value, &receiver,
                     [&progress](int value) { progress.setPercent(value); });
    QObject::connect(&downloader, &Downloader::Counter_Data, &receiver,
                     [&progress](int size) { progress.addBytes(size); });
    QObject::connect(&downloader, &Downloader::Set_NewLog_On_LogList, &receiver,
                     [&progress](const QString &path, int) { progress.message("Updated " + path); });
    QObject::connect(&downloader, &Downloader::Close_Application_For_Update, &receiver,
                     [&](const QString &path, int *answer) {
                         if (waitRunning) {
                             // Leaving the answer at "asked" makes the run wait until the program ends.
                             if (!waitingFor.contains(path))
                                 progress.message("Waiting for " + path.section('/', -1) + " to end...");
                             waitingFor.insert(path);
                             return;
                         }
                         ++skipped;
                         progress.message("Skipped " + path + ": the program is running.");
                         *answer = 2;
                     });
    QObject::connect(&downloader, &Downloader::Error_connection, &receiver,
                     [&unreachable] { unreachable = true; });
    bool refused = false;
    QObject::connect(&downloader, &Downloader::Publisher_Refused, &receiver, [&refused] { refused = true; });
    runDownloaderOnThread(&downloader, &Downloader::Update);
    progress.finish();

    if (unreachable) {
        printError("Cannot reach the server; see LogFile.log for the cause.");
        return 2;
    }
    if (refused) {
        printError(publisherRefusedText);
        return 4;
    }
    const int failed = downloader.failedFileCount();
    if (failed > 0)
        printError(QString::number(failed) + " file(s) did not arrive; see LogFile.log.");
    return failed > 0 || skipped > 0 ? 1 : 0;
}
