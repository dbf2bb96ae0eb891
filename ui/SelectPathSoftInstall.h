#pragma once
// Second install-wizard page: one install folder per ticked software group.

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
struct InstallContext;

class SelectPathSoftInstall : public QWidget {
    Q_OBJECT
    friend class SelectSoftList; // connects its group signals to the Unlock_ slots
public:
    explicit SelectPathSoftInstall(InstallContext *context);

signals:
    void Close_Path_Select_Window_For_Next();
    void Close_Path_Select_Window();
    void Delete_Install_Window();

private slots:
    void Push_Next_Button();
    void Push_Previous_Button();
    void Unlock_Select_Path_LoRa(bool *state);
    void Unlock_Select_Path_NB_IoT(bool *state);
    void Unlock_Select_Path_CarMonitoring(bool *state);
    void Open_Search_Path();
    void New_Path_LoRa_Insert(QString NewPath);
    void New_Path_NB_IoT_Insert(QString NewPath);
    void New_Path_CarMonitoring_Insert(QString NewPath);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *loraLabel = nullptr;
    QLabel *nbIotLabel = nullptr;
    QLabel *transportLabel = nullptr;
    QLabel *headerPicture = nullptr;
    QLineEdit *loraField = nullptr;
    QLineEdit *nbIotField = nullptr;
    QLineEdit *transportField = nullptr;
    QPushButton *loraBrowse = nullptr;
    QPushButton *nbIotBrowse = nullptr;
    QPushButton *transportBrowse = nullptr;
    QPushButton *installButton = nullptr;
    QPushButton *backButton = nullptr;
    InstallContext *context = nullptr;
};
