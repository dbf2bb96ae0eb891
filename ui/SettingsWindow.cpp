#include "ui/SettingsWindow.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "platform/Platform.h"
#include "transfer/InstallContext.h"
#include "ui/Dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>

namespace {
struct Period {
    const char *russian;
    const char *english;
    int days;
};

const Period Periods[] = {
    {"1 раз в сутки", "Once a day", 1},
    {"1 раз в неделю", "Once a week", 7},
    {"1 раз в месяц", "Once a month", 25},
    {"2 раза в месяц", "2 times per month", 12},
    {"1 раз в 6 месяцев", "Once every 6 months", 183},
};

bool russian() {
    return System_Language() == QLatin1String("ru");
}

QString tr2(const char *russianText, const char *englishText) {
    return QString::fromUtf8(russian() ? russianText : englishText);
}

QString periodText(const Period &period) {
    return tr2(period.russian, period.english);
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

#ifdef Q_OS_WIN
const Qt::CaseSensitivity PathCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity PathCase = Qt::CaseSensitive;
#endif

// The same folder seen as written and, when it exists, with links resolved.
QStringList pathForms(const QString &path) {
    const QFileInfo info(path);
    QStringList forms{QDir::cleanPath(info.absoluteFilePath())};
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        forms << canonical;
    return forms;
}
} // namespace

SettingsWindow::SettingsWindow() : QWidget(nullptr) {
    setFixedSize(615, 467);
    setWindowIcon(QIcon(QStringLiteral(":/SettingsIcon.ico")));

    Table = new QTableWidget(this);
    Table->setObjectName(QStringLiteral("folderTable"));
    Table->setGeometry(20, 20, 481, 351);
    Table->setColumnCount(1);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setMaximumSectionSize(481);
    Table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setDefaultSectionSize(20);

    Period_Box = new QComboBox(this);
    Period_Box->setObjectName(QStringLiteral("periodBox"));
    Period_Box->setGeometry(20, 390, 121, 24);
    Apply_Button = new QPushButton(tr2("Применить", "Apply"), this);
    Apply_Button->setObjectName(QStringLiteral("applyButton"));
    Apply_Button->setGeometry(510, 430, 80, 24);
    Close_Button = new QPushButton(tr2("Закрыть", "Close"), this);
    Close_Button->setObjectName(QStringLiteral("closeButton"));
    Close_Button->setGeometry(410, 430, 80, 24);
    Add_Button = new QPushButton(tr2("Добавить", "Add"), this);
    Add_Button->setObjectName(QStringLiteral("addButton"));
    Add_Button->setGeometry(520, 20, 80, 24);
    Modify_Button = new QPushButton(tr2("Изменить", "Modify"), this);
    Modify_Button->setObjectName(QStringLiteral("modifyButton"));
    Modify_Button->setGeometry(520, 50, 80, 24);
    Modify_Button->setEnabled(false);
    Delete_Button = new QPushButton(tr2("Удалить", "Delete"), this);
    Delete_Button->setObjectName(QStringLiteral("deleteButton"));
    Delete_Button->setGeometry(520, 80, 80, 24);
    Delete_Button->setEnabled(false);
    Period_Label = new QLabel(tr2("Период проверки обновлений", "Update check period"), this);
    Period_Label->setObjectName(QStringLiteral("periodLabel"));
    Period_Label->setGeometry(150, 390, 181, 21);
    Autorun_Box = new QCheckBox(tr2("Запускать при старте Windows", "Run at Windows startup"), this);
    Autorun_Box->setObjectName(QStringLiteral("autorunBox"));
    Autorun_Box->setGeometry(330, 390, 261, 22);

    Component_Names = updatableComponents();
    fillPeriodBox();
    setHeaderLabel(russian());
    fillTable();
    Autorun_Box->setChecked(settings()->value(QStringLiteral("Autorun")).toBool());

    connect(Apply_Button, &QPushButton::pressed, this, &SettingsWindow::Apply_Settings);
    connect(Close_Button, &QPushButton::pressed, this, &QWidget::close);
    connect(Table, &QTableWidget::itemPressed, this, &SettingsWindow::Activate_Modify_Button);
    connect(Add_Button, &QPushButton::pressed, this, &SettingsWindow::Add_New_Item);
    connect(Modify_Button, &QPushButton::pressed, this, &SettingsWindow::Modify_Changed_Item);
    connect(Delete_Button, &QPushButton::pressed, this, &SettingsWindow::Delete_Changed_Item);
    connect(Table, &QTableWidget::itemDoubleClicked, this, &SettingsWindow::Open_Soft_Directory);
}

void SettingsWindow::fillPeriodBox() {
    const int current = settings()->value(QStringLiteral("Timer/Timeout")).toInt();
    QString first;
    for (const Period &period : Periods) {
        if (period.days == current)
            first = periodText(period);
    }
    Period_Box->addItem(first);
    for (const Period &period : Periods) {
        if (period.days != current)
            Period_Box->addItem(periodText(period));
    }
}

void SettingsWindow::setHeaderLabel(bool russianHeader) {
    Table->setHorizontalHeaderLabels({russianHeader ? QStringLiteral("Путь") : QStringLiteral("Path")});
}

void SettingsWindow::fillTable() {
    QStringList names;
    QStringList folders;
    for (const QString &name : Component_Names) {
        const QString folder = settings()->value(QStringLiteral("Path/") + name).toString();
        if (!folder.isEmpty()) {
            names << name;
            folders << folder;
        }
    }
    Table->setRowCount(names.size());
    Table->setVerticalHeaderLabels(names);
    for (int row = 0; row < folders.size(); ++row)
        Table->setItem(row, 0, new QTableWidgetItem(folders.at(row)));
}

void SettingsWindow::forgetSelection() {
    Table->clearSelection();
    Modify_Button->setEnabled(false);
    Delete_Button->setEnabled(false);
    Selected_Item = nullptr;
}

void SettingsWindow::Activate_Modify_Button(QTableWidgetItem *item) {
    Modify_Button->setEnabled(false);
    Delete_Button->setEnabled(false);
    if (!item)
        return;
    Modify_Button->setEnabled(true);
    Delete_Button->setEnabled(true);
    Selected_Item = item;
}

void SettingsWindow::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        forgetSelection();
    QWidget::mousePressEvent(event);
}

void SettingsWindow::Add_New_Item() {
    Dialog dialog(Table, Component_Names);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString name = dialog.chosenName();
    if (name.isEmpty())
        return;
    const QString folder =
        QFileDialog::getExistingDirectory(this, name, QStringLiteral("./"), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    const int row = Table->rowCount();
    Table->insertRow(row);
    Table->setVerticalHeaderLabels(dialog.existingNames() << name);
    Table->setItem(row, 0, new QTableWidgetItem(folder));
}

void SettingsWindow::Modify_Changed_Item() {
    if (!Selected_Item)
        return;
    const QString folder = QFileDialog::getExistingDirectory(this, Selected_Item->text(),
                                                             QStringLiteral("./"), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        Selected_Item->setText(folder);
    Selected_Item->setSelected(false);
    forgetSelection();
}

// The program's own folder, or a folder that holds it, is never removed from disk.
bool SettingsWindow::isOwnFolderOrAbove(const QString &folder) const {
    if (folder.trimmed().isEmpty())
        return true;
    const QStringList own = pathForms(QCoreApplication::applicationDirPath());
    for (const QString &candidate : pathForms(folder)) {
        for (const QString &ownForm : own) {
            if (ownForm.compare(candidate, PathCase) == 0)
                return true;
            const QString prefix =
                candidate.endsWith(QLatin1Char('/')) ? candidate : candidate + QLatin1Char('/');
            if (ownForm.startsWith(prefix, PathCase))
                return true;
        }
    }
    return false;
}

void SettingsWindow::Delete_Changed_Item() {
    if (!Selected_Item)
        return;
    const QString folder = Selected_Item->text();
    if (isOwnFolderOrAbove(folder))
        return;
    const QTableWidgetItem *header = Table->verticalHeaderItem(Selected_Item->row());
    const QString name = header ? header->text() : QString();

    QMessageBox box(QMessageBox::Question, QStringLiteral("Quillon"),
                    russian() ? QStringLiteral("Удалить директорию ") + name + QStringLiteral(" ?")
                              : QStringLiteral("Delete directory  ") + name + QStringLiteral(" ?"),
                    QMessageBox::Yes | QMessageBox::No);
    box.setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    if (russian()) {
        box.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
        box.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    }
    if (box.exec() == QMessageBox::Yes)
        QDir(folder).removeRecursively();

    Selected_Item->setText(QString());
    Selected_Item->setSelected(false);
    Modify_Button->setEnabled(false);
    Delete_Button->setEnabled(false);
    if (!name.isEmpty())
        settings()->setValue(QStringLiteral("Path/") + name, QString());
    delete Table->takeItem(Selected_Item->row(), Selected_Item->column());
    Selected_Item = nullptr;
}

void SettingsWindow::Open_Soft_Directory(QTableWidgetItem *item) {
    // A folder that is gone has nothing to show; the file browser is not bothered with it.
    if (!item || item->text().isEmpty() || !QFileInfo(item->text()).isDir())
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(item->text()));
}

void SettingsWindow::Apply_Settings() {
    for (int row = 0; row < Table->rowCount(); ++row) {
        const QTableWidgetItem *header = Table->verticalHeaderItem(row);
        if (!header || header->text().isEmpty())
            continue;
        const QTableWidgetItem *item = Table->item(row, 0);
        settings()->setValue(QStringLiteral("Path/") + header->text(), item ? item->text() : QString());
    }

    int days = 0;
    for (const Period &period : Periods) {
        if (periodText(period) == Period_Box->currentText())
            days = period.days;
    }
    settings()->setValue(QStringLiteral("Timer/Timeout"), days);
    emit SetUp_New_Timeout(days);

    const bool stored = settings()->value(QStringLiteral("Autorun")).toBool();
    const QString programPath = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    if (!stored && Autorun_Box->isChecked()) {
        if (Platform::setStartWithSystem(true, programPath))
            settings()->setValue(QStringLiteral("Autorun"), true);
    } else if (stored && !Autorun_Box->isChecked()) {
        if (Platform::setStartWithSystem(false, programPath))
            settings()->setValue(QStringLiteral("Autorun"), false);
    }

    QMessageBox done(QMessageBox::Information, QStringLiteral("Complete"),
                     tr2("Настройки примененны", "Settings applied"), QMessageBox::Ok);
    done.exec();

    Selected_Item = nullptr;
    Modify_Button->setEnabled(false);
    Delete_Button->setEnabled(false);
    Table->clear();
    Table->setRowCount(0);
    Period_Box->clear();
    fillPeriodBox();
    setHeaderLabel(localeNameContainsRu());
    fillTable();
    Autorun_Box->setChecked(settings()->value(QStringLiteral("Autorun")).toBool());
}

void SettingsWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
    emit Delete_Setting_Window();
}
