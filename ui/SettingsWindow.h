#pragma once
// The settings: check period, start with the system, and the recorded install folder of each component.

#include <QStringList>
#include <QWidget>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QLabel;
class QMouseEvent;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;

class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    SettingsWindow();

    // For tests: the item that Modify and Delete act on.
    QTableWidgetItem *selectedItem() const { return Selected_Item; }

signals:
    void Delete_Setting_Window();
    void SetUp_New_Timeout(int value);

public slots:
    void Apply_Settings();

private slots:
    void Activate_Modify_Button(QTableWidgetItem *item);
    void Modify_Changed_Item();
    void Delete_Changed_Item();
    void Open_Soft_Directory(QTableWidgetItem *item);
    void Add_New_Item();

protected:
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void fillPeriodBox();
    void fillTable();
    void setHeaderLabel(bool russian);
    void forgetSelection();
    bool isOwnFolderOrAbove(const QString &folder) const;

    QTableWidget *Table = nullptr;
    QComboBox *Period_Box = nullptr;
    QPushButton *Apply_Button = nullptr;
    QPushButton *Close_Button = nullptr;
    QPushButton *Add_Button = nullptr;
    QPushButton *Modify_Button = nullptr;
    QPushButton *Delete_Button = nullptr;
    QLabel *Period_Label = nullptr;
    QTableWidgetItem *Selected_Item = nullptr;
    QStringList Component_Names;
    QCheckBox *Autorun_Box = nullptr;
};
