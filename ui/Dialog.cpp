#include "ui/Dialog.h"

#include "core/Language.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTableWidget>

Dialog::Dialog(QTableWidget *table, QStringList componentNames) : QDialog(nullptr) {
    const bool russian = System_Language() == QLatin1String("ru");
    setWindowTitle(russian ? QStringLiteral("Выберете необходимый софт из списка")
                           : QStringLiteral("Select the required software from the list"));

    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *header = table->verticalHeaderItem(row);
        Existing_Names << (header ? header->text() : QString());
    }
    Names_Box = new QComboBox(this);
    for (const QString &name : componentNames) {
        if (!Existing_Names.contains(name))
            Names_Box->addItem(name);
    }

    auto *okButton = new QPushButton(russian ? QStringLiteral("Ок") : QStringLiteral("Ok"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    auto *cancelButton = new QPushButton(russian ? QStringLiteral("Отмена") : QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *row = new QHBoxLayout(this);
    row->addWidget(Names_Box);
    row->addWidget(okButton);
    row->addWidget(cancelButton);
}

QString Dialog::chosenName() const {
    return Names_Box->currentText();
}
