// Measures how long the main thread's event loop stands still in the four waits of the windows: a start
// with a clean-up script, an install run ending in two slow driver installers, Cancel while the server has
// stopped sending in mid-file, and an install against a server that refuses connections.
//
//   quillon-stall-bench [RUNS]      (offscreen: QT_QPA_PLATFORM=offscreen)
//
// A 5 ms timer ticks throughout; the longest time between two ticks is printed per scenario and run, in
// milliseconds. Built with QUILLON_STALL_BENCH_BASE it calls the start-up step the way the earlier,
// blocking code offered it, so the same scenarios run against both.

#include "app/MainTrayIcon.h"
#include "app/Startup.h"
#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "ui/ProgressBarWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// The longest stretch between two turns of the event loop, seen through a fast timer.
class GapMeter {
public:
    GapMeter() {
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
    }
    void start() {
        clock.start();
        last = 0;
        longest = 0;
        ticker.start(5);
    }
    qint64 stop() {
        ticker.stop();
        return std::max(longest, clock.elapsed() - last);
    }

private:
    QTimer ticker;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
};

// Runs `action` directly (a wait inside it holds everything up, as in the program) and then the event loop
// until `done` is set; returns the longest gap.
qint64 measure(const std::function<void(bool &done)> &action) {
    GapMeter meter;
    bool done = false;
    meter.start();
    action(done);
    QElapsedTimer limit;
    limit.start();
    while (!done && limit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 gap = meter.stop();
    return done ? gap : -1;
}

bool writeExecutable(const QString &path, const QByteArray &script) {
    return writeTestFile(path, script) &&
           QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser);
}

// The start: a clean-up script whose old program takes 1.5 s to go, then the tray controller.
qint64 startWithCleanupScript() {
    QTemporaryDir folder;
    const QString old = folder.filePath(Platform::oldProgramFileName());
    writeTestFile(old, "old program");
    writeTestFile(folder.filePath(Platform::cleanupScriptName()),
                  "sleep 1.5\n" + Platform::cleanupScriptText(old));
    MainTrayIcon *tray = nullptr;
    const qint64 gap = measure([&](bool &done) {
        const auto rest = [&] {
            tray = new MainTrayIcon();
            tray->Show_Start_Notice();
            done = true;
        };
#ifdef QUILLON_STALL_BENCH_BASE
        runPendingCleanupScript(folder.path(), 3000);
        rest();
#else
        runPendingCleanupScript(folder.path(), rest, 3000);
#endif
    });
    delete tray;
    return gap;
}

// The end of an install run with two driver installers of one second each.
qint64 installWithTwoSlowInstallers() {
    QTemporaryDir folder;
    InstallContext context;
    context.groupFolders["Drivers"] = folder.filePath("Drivers");
    for (const char *name : {"first", "second"}) {
        const QString path = folder.filePath(QString("Drivers/%1/setup.exe").arg(name));
        writeExecutable(path, "#!/bin/sh\nsleep 1\n");
        context.driverInstallers << path;
    }
    ProgressBarWindow window(&context);
    window.show();
    BoxAnswerer boxes({QMessageBox::Ok});
    return measure([&](bool &done) {
        QObject::connect(&window, &ProgressBarWindow::Delete_Install_Window, [&done] { done = true; });
        window.Finished();
    });
}

// Waits, with the event loop running, until the condition holds (at most 30 s).
bool waitFor(const std::function<bool()> &condition) {
    QElapsedTimer limit;
    limit.start();
    while (!condition() && limit.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return condition();
}

// Cancel while the server has stopped sending in the middle of a file.
qint64 cancelInMidFile(const QString &tree) {
    AsyncsshServer server(tree, {"--stall-after", "1000000"});
    if (!server.isRunning())
        return -1;
    pointSettingsAt(server);
    QTemporaryDir local;
    InstallContext context;
    context.selectedLoRa.insert("Brightfen Meter", true);
    context.groupFolders["LoRa"] = local.path();
    auto *window = new ProgressBarWindow(&context);
    window->Show();
    auto *status = window->findChild<QLabel *>("statusLabel");
    if (!waitFor([status] { return status->text().startsWith("Downloading..."); }))
        return -1;
    QThread::msleep(500); // the server has stalled by now
    const qint64 gap = measure([&](bool &done) {
        QObject::connect(window, &ProgressBarWindow::Delete_Install_Window, [&done] { done = true; });
        emit window->findChild<QPushButton *>("cancelButton")->pressed();
    });
    delete window;
    server.stop(); // the stalled read ends with the connection
    return gap;
}

// An install against a port that refuses connections: three attempts, then the "Error!" box.
qint64 refusedConnection(const QString &tree) {
    int closedPort = 0;
    {
        AsyncsshServer server(tree);
        if (!server.isRunning())
            return -1;
        pointSettingsAt(server);
        closedPort = server.port();
    }
    settingsStore()->setValue("SFTP/port", closedPort);
    connectFailures = 0;
    InstallContext context;
    context.selectedLoRa.insert("Brightfen Meter", true);
    ProgressBarWindow window(&context);
    BoxAnswerer boxes({QMessageBox::Ok});
    return measure([&](bool &done) {
        QObject::connect(&window, &ProgressBarWindow::Delete_Install_Window, [&done] { done = true; });
        window.Show();
    });
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QTemporaryDir work;
    QDir::setCurrent(work.path()); // "LogFile.log"
    useTestSettings();
    settingsStore()->setValue("MSVC/Inst", true);
    const QString tree = work.filePath("tree");
    writeTestFile(tree + "/upload/Softwares/For Download/Brightfen Meter/meter.bin",
                  QByteArray(20 << 20, 'm'));

    const std::pair<const char *, std::function<qint64()>> scenarios[] = {
        {"start with a clean-up script (1.5 s)", startWithCleanupScript},
        {"install ending in two driver installers (1 s each)", installWithTwoSlowInstallers},
        {"Cancel while the server stalls in mid-file", [&] { return cancelInMidFile(tree); }},
        {"refused connection, three attempts", [&] { return refusedConnection(tree); }},
    };
    for (const auto &scenario : scenarios) {
        std::printf("%-52s longest gap (ms):", scenario.first);
        qint64 worst = 0;
        for (int run = 0; run < runs; ++run) {
            const qint64 gap = scenario.second();
            worst = std::max(worst, gap);
            std::printf(" %6lld", static_cast<long long>(gap));
            std::fflush(stdout);
        }
        std::printf("   worst %lld\n", static_cast<long long>(worst));
    }
    return 0;
}
