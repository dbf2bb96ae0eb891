#pragma once
// The small chooser of the settings window: picks a component that is not yet in the folder table.

#include <QDialog>
#include <QStringList>

class QComboBox;
class QTableWidget;

class Dialog : public QDialog {
    Q_OBJECT
public:
    Dialog(QTableWidget *table, QStringList componentNames);

    // The component picked in the box; empty when the box is empty.
    QString chosenName() const;
    // The components already in the table, in table order.
    QStringList existingNames() const { return Existing_Names; }
    QComboBox *namesBox() const { return Names_Box; }

private:
    QComboBox *Names_Box = nullptr;
    QStringList Existing_Names;
};
