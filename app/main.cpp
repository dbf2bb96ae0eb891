// The entry function: prepares the settings, puts the controller into the tray and runs the event loop.

#include "app/MainTrayIcon.h"
#include "app/Startup.h"
#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "ui/WelcomeWindow.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTranslator>

namespace {
void destroyWelcomeWindow(WelcomeWindow *window) {
    if (window)
        window->deleteLater();
}

// Without a tray the program would run unseen: say so, without holding up start-up.
void reportMissingTray() {
    Write_Log(QStringLiteral("System tray is not available - ") + QGuiApplication::platformName());
    const bool russian = System_Language() == QLatin1String("ru");
    auto *box = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Quillon"),
        russian ? QStringLiteral("Системный трей недоступен: значок Quillon не будет виден.\n"
                                 "Quillon продолжает работать; для выхода завершите процесс.")
                : QStringLiteral("The system tray is not available: the Quillon icon cannot be shown.\n"
                                 "Quillon keeps running; end its process to quit."),
        QMessageBox::Ok);
    box->setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}
} // namespace

int main(int argc, char *argv[]) {
    auto *application = new QApplication(argc, argv);
    const QString programFolder = QCoreApplication::applicationDirPath();
    // A second start in the same folder only calls the running program to the front, touching nothing.
    if (!Platform::claimProgramFolder(programFolder)) {
        Platform::callRunningProgram(programFolder);
        delete application;
        return 0;
    }
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setQuitOnLastWindowClosed(false);

    writeDefaultSettingsIfMissing(programFolder);
    auto *translator = new QTranslator();
    MainTrayIcon *trayController = nullptr;
    // The rest of the start waits for a clean-up script left by a self-update, with the event loop running.
    runPendingCleanupScript(programFolder, [&] {
        installTranslator(*translator);

        openSettingsStore(programFolder);
        CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
        recordProgramFolder(programFolder);

        const bool firstStartDone = settings->value(QStringLiteral("Start/FirstStart"), QString()).toBool();

        trayController = new MainTrayIcon();
        trayController->Show_Start_Notice();
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            reportMissingTray();
        Platform::listenForLaterStarts(trayController,
                                       [trayController] { trayController->Show_Already_Running(); });

        if (!firstStartDone) {
            auto *welcome = new WelcomeWindow(&destroyWelcomeWindow);
            welcome->show();
            settings->setValue(QStringLiteral("Start/FirstStart"), 1);
            QObject::connect(welcome, &WelcomeWindow::Start_Download_Soft, trayController,
                             &MainTrayIcon::Install_Software);
        }
    });

    QApplication::exec();

    delete trayController;
    delete translator;
    Platform::releaseProgramFolder();
    delete application;
    Platform::endProcess(0);
}
