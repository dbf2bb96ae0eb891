#pragma once
// First install-wizard page: the component tree in four groups; Next records the ticked components.

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
struct InstallContext;

class SelectSoftList : public QWidget {
    Q_OBJECT
public:
    explicit SelectSoftList(InstallContext *context);
    ~SelectSoftList() override;

signals:
    void Close_Software_Window_For_Next();
    void Checkbox_Selection_Check_LoRa(bool *state);
    void Checkbox_Selection_Check_NB_IoT(bool *state);
    void Checkbox_Selection_Check_CarMonitoring(bool *state);
    void Delete_Install_Window();

private slots:
    void Push_Next_Button();
    void Push_Cancel_Button();
    void Checked_All_Soft_LoRa(int state);
    void Checked_All_Soft_NB_IoT(int state);
    void Checked_All_Soft_CarMonitoring(int state);
    void Checked_All_Soft_Drivers(int state);
    void Reverse_State_Item(QTreeWidgetItem *Item, int column);
    void Adjust_Weight_Coll(int Min, int Max);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void fillTree();
    void markInstalled();
    void setGroupChecked(int group, int state);
    bool collectGroup(int group, QHash<QString, bool> &selection);

    QLabel *headerPicture = nullptr;
    QPushButton *nextButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QTreeWidget *componentTree = nullptr;
    QCheckBox *loraBox = nullptr;
    QCheckBox *nbIotBox = nullptr;
    QCheckBox *transportBox = nullptr;
    QCheckBox *driversBox = nullptr;
    InstallContext *context = nullptr;
};
