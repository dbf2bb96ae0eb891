#include "app/MainTrayIcon.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "platform/Platform.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "transfer/UpdateChecker.h"
#include "ui/AboutWindow.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"
#include "ui/WelcomeWindow.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QTimer>

namespace {
const char *const BalloonTitle = "Quillon";
const int BalloonMsec = 30000;
const int DayMsec = 86400000;

// Asks a Yes/No question the way every question of the controller is asked.
bool askYesNo(const QString &question, bool relabel) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Quillon"), question,
                    QMessageBox::Yes | QMessageBox::No);
    box.setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    if (relabel) {
        box.button(QMessageBox::Yes)->setText(QObject::tr("Да"));
        box.button(QMessageBox::No)->setText(QObject::tr("Нет"));
    }
    return box.exec() == QMessageBox::Yes;
}
} // namespace

MainTrayIcon::MainTrayIcon() : QWidget(nullptr) {
    Program_File = QCoreApplication::applicationFilePath();

    Tray_Icon = new QSystemTrayIcon(this);
    Tray_Icon->setObjectName(QStringLiteral("trayIcon"));
    Tray_Icon->setToolTip(QStringLiteral("Quillon"));
    setPicture(QStringLiteral(":/TrayIcon.ico"));

    Tray_Menu = new QMenu();
    Install_Action = new QAction(text("Install Software", "Установить ПО"));
    Check_Action = new QAction(text("Check updates", "Проверить обновления"));
    Settings_Action = new QAction(text("Settings", "Настройки"));
    About_Action = new QAction(text("About", "О программе"));
    Exit_Action = new QAction(text("Exit", "Выход"));
    Tray_Menu->addAction(Install_Action);
    Tray_Menu->addAction(Check_Action);
    Tray_Menu->addAction(Settings_Action);
    Tray_Menu->addAction(About_Action);
    Tray_Menu->addAction(Exit_Action);
    Tray_Icon->setContextMenu(Tray_Menu);
    Tray_Icon->show();

    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    Timeout = settings->value(QStringLiteral("Timer/Timeout"), QString()).toInt();
    Days_Left = Timeout;

    Check_Timer = new QTimer(this);
    Check_Timer->setObjectName(QStringLiteral("checkTimer"));
    connect(Check_Timer, &QTimer::timeout, this, &MainTrayIcon::Timer_Counting);
    connect(Install_Action, &QAction::triggered, this, &MainTrayIcon::Install_Software);
    connect(Check_Action, &QAction::triggered, this, &MainTrayIcon::Start_Check_Update_Soft);
    connect(Settings_Action, &QAction::triggered, this, &MainTrayIcon::Open_Settings);
    connect(About_Action, &QAction::triggered, this, &MainTrayIcon::Open_About);
    connect(Exit_Action, &QAction::triggered, this, &MainTrayIcon::Exit_Application);
    Check_Timer->setSingleShot(false);
    Check_Timer->start(DayMsec);

    Settings_Open = false;
}

MainTrayIcon::~MainTrayIcon() {
    // A check still running writes into PathToInstall: let it end before the map goes away.
    if (Check_Running && Checker_Thread) {
        disconnect(Update_Checker, nullptr, this, nullptr);
        Checker_Thread->quit();
        Checker_Thread->wait();
    }
    delete Tray_Icon;
    Tray_Icon = nullptr;
    delete Tray_Menu;
    delete Install_Action;
    delete Check_Action;
    delete Settings_Action;
    delete About_Action;
    delete Exit_Action;
    delete Settings_Window;
    delete About_Window;
    delete Updater_Window;
    if (Install_Window)
        destroyInstallWizard({Install_Window, Progress_Window, Path_Window, Soft_List_Window});
}

QString MainTrayIcon::text(const char *english, const char *russian) const {
    return QString::fromUtf8(System_Language() == QLatin1String("ru") ? russian : english);
}

void MainTrayIcon::setPicture(const QString &resource) {
    Picture_Name = resource;
    Tray_Icon->setIcon(QIcon(QPixmap(resource)));
}

void MainTrayIcon::showBalloon(const QString &message, const QString &picture) {
    Last_Balloon = message;
    Tray_Icon->showMessage(QString::fromLatin1(BalloonTitle), message, QIcon(QPixmap(picture)), BalloonMsec);
}

void MainTrayIcon::setInstallAndCheckEnabled(bool enabled) {
    Install_Action->setEnabled(enabled);
    Check_Action->setEnabled(enabled);
}

bool MainTrayIcon::busy() const {
    return Check_Running || Install_Window || Updater_Window;
}

void MainTrayIcon::Show_Start_Notice() {
    showBalloon(text("Right-click the mouse to open the context menu.",
                     "Щелкните правой кнопкой мыши для вызова контекстного меню."),
                QStringLiteral(":/Main.png"));
}

void MainTrayIcon::Show_Already_Running() {
    QList<QWidget *> open;
    for (QWidget *window : {static_cast<QWidget *>(Install_Window), static_cast<QWidget *>(Updater_Window),
                            static_cast<QWidget *>(Settings_Window), static_cast<QWidget *>(About_Window)})
        if (window && window->isVisible())
            open << window;
    // The welcome window belongs to start-up; a question asked meanwhile stays in front of everything.
    for (QWidget *window : QApplication::topLevelWidgets())
        if (qobject_cast<WelcomeWindow *>(window) && window->isVisible())
            open << window;
    if (QWidget *question = QApplication::activeModalWidget())
        open << question;
    if (open.isEmpty()) {
        showBalloon(text("Quillon is already running. Right-click the mouse to open the context menu.",
                         "Quillon уже запущен. Щелкните правой кнопкой мыши для вызова контекстного меню."),
                    QStringLiteral(":/Main.png"));
        return;
    }
    for (QWidget *window : open) {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
    }
    open.last()->activateWindow();
}

void MainTrayIcon::Timer_Counting() {
    --Days_Left;
    if (Days_Left > 0)
        return;
    // While a check runs, the wizard is open or an update list exists the check waits: the count stays
    // due, so it comes at the next tick after that.
    if (busy())
        return;
    Start_Check_Update_Soft();
    Days_Left = Timeout;
}

void MainTrayIcon::SetUp_New_Timeout(int value) {
    Timeout = value;
    Days_Left = value;
}

void MainTrayIcon::Start_Check_Update_Soft() {
    // The map belongs to the running check or to the open update list until they are done.
    if (Check_Running || Updater_Window)
        return;
    Check_Running = true;
    setInstallAndCheckEnabled(false);
    Tray_Icon->setToolTip(QStringLiteral("Quillon\nПроверка обновлений..."));
    setPicture(QStringLiteral(":/SearchUpdate.ico"));
    showBalloon(text("Check updates...", "Проверка обновлений..."), QStringLiteral(":/Search.png"));

    Update_Checker = new UpdateChecker(&PathToInstall);
    Checker_Thread = new QThread();
    Update_Checker->moveToThread(Checker_Thread);
    connect(Checker_Thread, &QThread::started, Update_Checker, &UpdateChecker::Checking_Updates_On_Server);
    connect(Update_Checker, &UpdateChecker::Finish_Check_Update, this, &MainTrayIcon::Run_Update);
    connect(Update_Checker, &UpdateChecker::Finish_Check_Update, Checker_Thread, &QThread::quit);
    connect(Checker_Thread, &QThread::finished, Update_Checker, &QObject::deleteLater);
    connect(Checker_Thread, &QThread::finished, Checker_Thread, &QObject::deleteLater);
    Checker_Thread->start(QThread::InheritPriority);
}

void MainTrayIcon::Run_Update() {
    Check_Running = false;
    Checker_Thread = nullptr;
    Update_Checker = nullptr;

    const bool refused = PathToInstall.contains(QStringLiteral("Error Signature"));
    if (refused || PathToInstall.contains(QStringLiteral("Error Connect"))) {
        setPicture(QStringLiteral(":/TrayIcon.ico"));
        showBalloon(refused ? PublisherTrust::refusedText(System_Language() == QLatin1String("ru"))
                            : text("Failed to join the server", "Не удалось присоединиться к серверу"),
                    QStringLiteral(":/Main.png"));
        PathToInstall.clear();
        // The wizard keeps both entries disabled for as long as it is open.
        if (!Install_Window)
            setInstallAndCheckEnabled(true);
    } else if (!PathToInstall.isEmpty()) {
        setPicture(QStringLiteral(":/Upload.ico"));
        Tray_Icon->setToolTip(QStringLiteral("Quillon\nДоступны обновления"));
        Updater_Window = new ListAvailableUpdater();
        connect(this, &MainTrayIcon::Available_Upadate, Updater_Window,
                &ListAvailableUpdater::Filling_Three_Update);
        connect(Updater_Window, &ListAvailableUpdater::Finish_Update, this,
                &MainTrayIcon::Delete_Updates_Window);
        connect(Tray_Icon, &QSystemTrayIcon::activated, this, &MainTrayIcon::Activated, Qt::UniqueConnection);
        showBalloon(text("Updates are available", "Доступны обновления"), QStringLiteral(":/Upload.png"));
        emit Available_Upadate(PathToInstall);
    } else {
        setPicture(QStringLiteral(":/TrayIcon.ico"));
        showBalloon(text("Updates not found", "Обновления не найдены"), QStringLiteral(":/Main.png"));
        if (!Install_Window)
            setInstallAndCheckEnabled(true);
    }
}

void MainTrayIcon::Activated(QSystemTrayIcon::ActivationReason Reason) {
    if (Reason != QSystemTrayIcon::DoubleClick || !Updater_Window)
        return;
    Updater_Window->show();
    Updater_Window->raise();
    Updater_Window->activateWindow();
}

void MainTrayIcon::Delete_Updates_Window() {
    setPicture(QStringLiteral(":/TrayIcon.ico"));
    if (!Install_Window)
        setInstallAndCheckEnabled(true);
    PathToInstall.clear();
    if (Updater_Window) {
        Updater_Window->deleteLater();
        Updater_Window = nullptr;
    }

    // An update of the program's own file left the old file beside the new one: restart into the new one.
    const QFileInfo program(Program_File);
    if (!program.fileName().contains(Platform::programFileName()))
        return;
    const QString oldPath =
        program.path() + QLatin1Char('/') +
        program.fileName().replace(Platform::programFileName(), Platform::oldProgramFileName());
    if (!QFile::exists(oldPath))
        return;
    writeCleanupScript(oldPath);
    // The new program must find the folder free, or it would take itself for a second start.
    Platform::releaseProgramFolder();
    // The new program must not inherit our output channels: whoever reads them goes away with us.
    QProcess restart;
    restart.setProgram(Program_File);
    restart.setStandardOutputFile(QProcess::nullDevice());
    restart.setStandardErrorFile(QProcess::nullDevice());
    restart.startDetached();
    QCoreApplication::exit(0);
}

void MainTrayIcon::writeCleanupScript(const QString &oldPath) {
    const QString scriptPath =
        QFileInfo(Program_File).path() + QLatin1Char('/') + Platform::cleanupScriptName();
    QFile script(QDir::toNativeSeparators(scriptPath));
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    script.write(Platform::cleanupScriptText(QDir::toNativeSeparators(oldPath)));
    script.close();
}

void MainTrayIcon::Exit_Application() {
    const bool russian = System_Language() == QLatin1String("ru");
    if (!askYesNo(text("Do you really want to get out?", "Вы действительно хотите выйти?"), russian))
        return;
    if (Settings_Open && Settings_Window &&
        askYesNo(QStringLiteral("Сохранить настройки перед выходом?"), true))
        Settings_Window->Apply_Settings();
    QCoreApplication::exit(0);
}

void MainTrayIcon::Open_Settings() {
    if (Settings_Window) {
        Settings_Window->show();
        Settings_Window->raise();
        return;
    }
    Settings_Window = new SettingsWindow();
    connect(Settings_Window, &SettingsWindow::Delete_Setting_Window, this, &MainTrayIcon::Close_Settings);
    connect(Settings_Window, &SettingsWindow::SetUp_New_Timeout, this, &MainTrayIcon::SetUp_New_Timeout);
    Settings_Window->show();
    Settings_Action->setEnabled(false);
    Settings_Open = true;
}

void MainTrayIcon::Close_Settings() {
    Settings_Action->setEnabled(true);
    if (Settings_Window) {
        Settings_Window->deleteLater();
        Settings_Window = nullptr;
    }
    Settings_Open = false;
}

void MainTrayIcon::Open_About() {
    if (About_Window) {
        About_Window->show();
        About_Window->raise();
        return;
    }
    About_Window = new AboutWindow(nullptr);
    connect(About_Window, &AboutWindow::Close_About, this, &MainTrayIcon::Close_About);
    About_Window->show();
    About_Action->setEnabled(false);
}

void MainTrayIcon::Close_About() {
    About_Action->setEnabled(true);
    if (About_Window) {
        About_Window->deleteLater();
        About_Window = nullptr;
    }
}

void MainTrayIcon::Install_Software() {
    // One wizard at a time: a second request brings the open one to the front.
    if (Install_Window) {
        Install_Window->show();
        Install_Window->raise();
        Install_Window->activateWindow();
        return;
    }
    setInstallAndCheckEnabled(false);
    Install_Context = new InstallContext();
    const InstallWizard wizard = buildInstallWizard(Install_Context);
    Install_Window = wizard.container;
    Progress_Window = wizard.progressPage;
    Path_Window = wizard.pathPage;
    Soft_List_Window = wizard.softPage;
    connectInstallWizardTeardown(wizard, this, &MainTrayIcon::Install_Software_Finish);
    Install_Window->show();
}

void MainTrayIcon::Install_Software_Finish() {
    // Several parts of the wizard may ask one after the other; the first request tears it down.
    if (!Install_Window)
        return;
    if (!Check_Running && !Updater_Window)
        setInstallAndCheckEnabled(true);
    destroyInstallWizard({Install_Window, Progress_Window, Path_Window, Soft_List_Window});
    Install_Window = nullptr;
    Progress_Window = nullptr;
    Path_Window = nullptr;
    Soft_List_Window = nullptr;
    // The context stays: a run that is still ending may hold it.
}
