#pragma once
// The program's controller: the tray icon and its menu, the daily check timer, and every window and worker.

#include <QHash>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>

class QAction;
class QMenu;
class QThread;
class QTimer;
class StacketWidget;
class SettingsWindow;
class ProgressBarWindow;
class SelectSoftList;
class UpdateChecker;
class SelectPathSoftInstall;
class AboutWindow;
class ListAvailableUpdater;
struct InstallContext;

class MainTrayIcon : public QWidget {
    Q_OBJECT
public:
    MainTrayIcon();
    ~MainTrayIcon() override;

    // The balloon that tells the user where the menu is.
    void Show_Start_Notice();
    // A later start called: the open windows come to the front, or without any the balloon says Quillon runs.
    void Show_Already_Running();

    // Read access for tests and for start-up.
    QSystemTrayIcon *trayIcon() const { return Tray_Icon; }
    QMenu *trayMenu() const { return Tray_Menu; }
    QAction *installAction() const { return Install_Action; }
    QAction *checkAction() const { return Check_Action; }
    QAction *settingsAction() const { return Settings_Action; }
    QAction *aboutAction() const { return About_Action; }
    QAction *exitAction() const { return Exit_Action; }
    QTimer *checkTimer() const { return Check_Timer; }
    StacketWidget *installWindow() const { return Install_Window; }
    SettingsWindow *settingsWindow() const { return Settings_Window; }
    AboutWindow *aboutWindow() const { return About_Window; }
    ListAvailableUpdater *updateListWindow() const { return Updater_Window; }
    int checkPeriod() const { return Timeout; }
    int daysLeft() const { return Days_Left; }
    bool checkRunning() const { return Check_Running; }
    QString pictureName() const { return Picture_Name; }
    QString lastBalloonText() const { return Last_Balloon; }

    // The program file that a self-update moves aside and restarts; the running executable by default.
    void setProgramFilePath(const QString &path) { Program_File = path; }

signals:
    void Available_Upadate(QHash<QString, QString> &PathToInstall);

public slots:
    void Install_Software();

private slots:
    void Timer_Counting();
    void Install_Software_Finish();
    void Start_Check_Update_Soft();
    void Delete_Updates_Window();
    void Open_Settings();
    void Close_Settings();
    void Exit_Application();
    void SetUp_New_Timeout(int value);
    void Run_Update();
    void Activated(QSystemTrayIcon::ActivationReason Reason);
    void Open_About();
    void Close_About();

private:
    QString text(const char *english, const char *russian) const;
    void setPicture(const QString &resource);
    void showBalloon(const QString &message, const QString &picture);
    void setInstallAndCheckEnabled(bool enabled);
    bool busy() const;
    void writeCleanupScript(const QString &oldPath);

    StacketWidget *Install_Window = nullptr;
    SettingsWindow *Settings_Window = nullptr;
    ProgressBarWindow *Progress_Window = nullptr;
    SelectSoftList *Soft_List_Window = nullptr;
    UpdateChecker *Update_Checker = nullptr;
    SelectPathSoftInstall *Path_Window = nullptr;
    AboutWindow *About_Window = nullptr;
    ListAvailableUpdater *Updater_Window = nullptr;
    QSystemTrayIcon *Tray_Icon = nullptr;
    QAction *Install_Action = nullptr;
    QAction *Check_Action = nullptr;
    QAction *Settings_Action = nullptr;
    QAction *About_Action = nullptr;
    QAction *Exit_Action = nullptr;
    QTimer *Check_Timer = nullptr;
    InstallContext *Install_Context = nullptr;
    QThread *Checker_Thread = nullptr;
    QHash<QString, QString> PathToInstall;
    int Timeout = 0;
    int Days_Left = 0;
    bool Settings_Open = false;

    QMenu *Tray_Menu = nullptr;
    bool Check_Running = false;
    QString Picture_Name;
    QString Last_Balloon;
    QString Program_File;
};
