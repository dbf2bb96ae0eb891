#include "InstallCommand.h"

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "transfer/Downloader.h"
#include "transfer/DriverInstallers.h"
#include "transfer/InstallContext.h"

#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QThread>

#include <cstdio>

namespace {

// The groups of the install wizard's component tree, with the runtime package kept among the drivers.
const QHash<QString, QStringList> &componentsByGroup() {
    static const QHash<QString, QStringList> groups{
        {"LoRa",
         {"Brightfen Hub Server", "Brightfen Radio Setup", "Brightfen Console", "Brightfen Meter",
          "Brightfen Bridge", "Brightfen Fieldlink", "Brightfen Sniffer", "Brightfen Decoder",
          "Brightfen Clocksync", "Brightfen Alerter"}},
        {"NB-IoT", {"Brightfen Cell Setup"}},
        {"CarMonitoring",
         {"Brightfen Fleet Server", "Brightfen Fleet Upload", "Brightfen Fleet Setup",
          "Brightfen Tracker A Setup", "Brightfen Tracker B Setup"}},
        {"Drivers", {"CP210x", "MCP2200", "STM32102", "OpenSSL", "CDC Drivers", "CH9340", "MSVC"}},
    };
    return groups;
}

const QStringList groupOrder{"LoRa", "NB-IoT", "CarMonitoring", "Drivers"};

QHash<QString, bool> *selectionOf(InstallContext &context, const QString &group) {
    if (group == "LoRa")
        return &context.selectedLoRa;
    if (group == "NB-IoT")
        return &context.selectedNbIot;
    if (group == "CarMonitoring")
        return &context.selectedCarMonitoring;
    return &context.selectedDrivers;
}

void printError(const QString &text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

int terminalWidth() {
    const int columns = Platform::terminalColumns();
    return columns > 20 ? columns : 80;
}

} // namespace

ProgressLine::ProgressLine() : terminal(Platform::terminalColumns() > 0) {
    clock.start();
}

void ProgressLine::setStatus(const QString &text) {
    status = text;
    draw(false);
}

void ProgressLine::setPercent(int value) {
    if (value >= 0 && value <= 100)
        percent = value;
    draw(false);
}

void ProgressLine::addBytes(qint64 bytes) {
    received += bytes;
    draw(false);
}

void ProgressLine::message(const QString &line) {
    if (terminal && drawn)
        std::fputs("\r\033[K", stdout);
    std::printf("%s\n", qPrintable(line));
    drawn = false;
    draw(true);
}

void ProgressLine::finish() {
    if (terminal && drawn) {
        draw(true);
        std::fputs("\n", stdout);
    }
    drawn = false;
    std::fflush(stdout);
}

void ProgressLine::draw(bool force) {
    if (!terminal)
        return;
    const qint64 now = clock.elapsed();
    // A few redraws a second are enough to read and cost nothing next to the transfer.
    if (!force && now - lastDrawMs < 200)
        return;
    lastDrawMs = now;
    const double seconds = qMax<qint64>(now, 1) / 1000.0;
    QString line = QString("%1%  %2 MB").arg(percent, 3).arg(received / 1e6, 0, 'f', 1);
    if (total > 0)
        line += QString(" of %1 MB").arg(total / 1e6, 0, 'f', 1);
    line += QString("  %1 MB/s  ").arg(received / 1e6 / seconds, 0, 'f', 1) + status;
    const int width = terminalWidth() - 1;
    if (line.size() > width)
        line = line.left(width);
    std::printf("\r\033[K%s", qPrintable(line));
    std::fflush(stdout);
    drawn = true;
}

void runDownloaderOnThread(Downloader *downloader, void (Downloader::*slot)()) {
    QThread thread;
    downloader->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, downloader, slot);
    // Every run ends with one of these; the thread then stops and the loop below returns.
    for (auto end : {&Downloader::FinishedInstall, &Downloader::Finish_Update, &Downloader::Error_connection,
                     &Downloader::Publisher_Refused})
        QObject::connect(downloader, end, &thread, &QThread::quit, Qt::DirectConnection);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    thread.wait();
    // The queued signals of the run's last moments.
    QCoreApplication::processEvents();
}

int runInstallCommand(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Installs catalog components from the server into their groups' folders.");
    const QCommandLineOption folderOption(
        "folder",
        "Install folder of a group (LoRa, NB-IoT, CarMonitoring or Drivers) instead of the default.",
        "GROUP=PATH");
    parser.addOption(folderOption);
    parser.addHelpOption();
    parser.addPositionalArgument(
        "COMPONENT", "A component name of the catalog, such as \"Brightfen Console\".", "COMPONENT...");
    if (!parser.parse(QStringList("quillon-cli install") + arguments)) {
        printError(parser.errorText());
        return 64;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    const QStringList components = parser.positionalArguments();
    if (components.isEmpty()) {
        printError("Name at least one component to install.");
        return 64;
    }

    InstallContext context;
    for (const QString &assignment : parser.values(folderOption)) {
        const QString group = assignment.section('=', 0, 0);
        const QString path = assignment.section('=', 1);
        if (!groupOrder.contains(group) || path.isEmpty()) {
            printError("Unknown folder assignment \"" + assignment +
                       "\"; use LoRa=PATH, NB-IoT=PATH, CarMonitoring=PATH or Drivers=PATH.");
            return 64;
        }
        context.groupFolders[group] = QDir::cleanPath(QDir(path).absolutePath());
    }

    QStringList unknown;
    for (const QString &component : components) {
        QString groupOfComponent;
        for (const QString &group : groupOrder)
            if (componentsByGroup().value(group).contains(component))
                groupOfComponent = group;
        if (groupOfComponent.isEmpty() || !context.remoteFolders.contains(component))
            unknown << component;
        else
            selectionOf(context, groupOfComponent)->insert(component, true);
    }
    if (!unknown.isEmpty()) {
        printError("Unknown component: " + unknown.join(", "));
        printError("Known components:");
        for (const QString &group : groupOrder)
            for (const QString &name : componentsByGroup().value(group))
                if (context.remoteFolders.contains(name))
                    printError("  " + name + "  (" + group + ")");
        return 3;
    }

    ProgressLine progress;
    bool unreachable = false;
    Downloader downloader(&context);
    QObject receiver;
    QObject::connect(&downloader, &Downloader::New_Process_Set_Text, &receiver,
                     [&progress](const QString &text) { progress.setStatus(text); });
    QObject::connect(&downloader, &Downloader::New_Progress_Value, &receiver,
                     [&progress](int value) { progress.setPercent(value); });
    QObject::connect(&downloader, &Downloader::Counter_Data, &receiver,
                     [&progress](int size) { progress.addBytes(size); });
    bool totalKnown = false;
    QObject::connect(&downloader, &Downloader::Vlaue_Size_All_Soft, &receiver, [&](int value) {
        if (!totalKnown)
            progress.setTotal(value);
        totalKnown = true;
    });
    QObject::connect(&downloader, &Downloader::Set_NewLog_On_LogList, &receiver,
                     [&progress](const QString &name, int state) {
                         if (state == 0)
                             progress.message(name);
                     });
    // Recorded the way the progress window records them: the two archives are not.
    QObject::connect(&downloader, &Downloader::Write_Path_in_Settings, &receiver,
                     [](const QString &key, const QString &path) {
                         if (!key.contains("Alerter") && !key.contains("Clocksync"))
                             CEncryptedSettings::getInstance(QString(), 0)->setValue("Path/" + key, path);
                     });
    QObject::connect(&downloader, &Downloader::Error_connection, &receiver,
                     [&unreachable] { unreachable = true; });
    bool refused = false;
    QObject::connect(&downloader, &Downloader::Publisher_Refused, &receiver, [&refused] { refused = true; });
    runDownloaderOnThread(&downloader, &Downloader::Run);
    progress.finish();

    if (unreachable) {
        printError("Cannot reach the server; see LogFile.log for the cause.");
        return 2;
    }
    if (refused) {
        printError(publisherRefusedText);
        return 4;
    }
    runDriverInstallers(
        context.driverInstallers, [&progress](const QString &row) { progress.message(row); },
        context.groupFolders.value("Drivers"));
    const int failed = downloader.failedFileCount();
    if (failed > 0) {
        printError(QString::number(failed) + " file(s) did not arrive; see LogFile.log.");
        return 1;
    }
    return 0;
}
