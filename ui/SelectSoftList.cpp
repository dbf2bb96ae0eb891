#include "ui/SelectSoftList.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/InstallContext.h"
#include "ui/SelectPathSoftInstall.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>

namespace {

enum Group { LoRaGroup = 0, NbIotGroup = 1, CarMonitoringGroup = 2, DriversGroup = 3 };

// The component key of a row is kept beside its text, so lookups never depend on the language.
constexpr int keyRole = Qt::UserRole + 1;

struct Row {
    const char *english;
    const char *russian; // nullptr: same text in both languages
    const char *key;
};

const Row loraRows[] = {
    {"Brightfen Hub Server", nullptr, "Brightfen Hub Server"},
    {"Brightfen Radio Setup", nullptr, "Brightfen Radio Setup"},
    {"Brightfen Console", nullptr, "Brightfen Console"},
    {"Brightfen Meter", nullptr, "Brightfen Meter"},
    {"Brightfen Bridge", nullptr, "Brightfen Bridge"},
    {"Brightfen Fieldlink", nullptr, "Brightfen Fieldlink"},
    {"Brightfen Sniffer", nullptr, "Brightfen Sniffer"},
    {"Brightfen Decoder", nullptr, "Brightfen Decoder"},
    {"Brightfen Clocksync(Zip archive)", "Brightfen Clocksync(Архив zip)", "Brightfen Clocksync"},
    {"Brightfen Alerter(Zip archive)", "Brightfen Alerter(Архив zip)", "Brightfen Alerter"},
};

const Row nbIotRows[] = {
    {"Brightfen Cell Setup", nullptr, "Brightfen Cell Setup"},
};

const Row carMonitoringRows[] = {
    {"Engineering server", "Инженерный сервер", "Brightfen Fleet Server"},
    {"Brightfen Fleet Upload", nullptr, "Brightfen Fleet Upload"},
    {"Brightfen Fleet Setup", nullptr, "Brightfen Fleet Setup"},
    {"Brightfen Tracker A Setup", nullptr, "Brightfen Tracker A Setup"},
    {"Brightfen Tracker B Setup", nullptr, "Brightfen Tracker B Setup"},
};

const Row driverRows[] = {
    {"CP210x(COM port driver)", "CP210x(Драйвер для COM-порта)", "CP210x"},
    {"MCP2200(COM port driver)", "MCP2200(Дайвер для COM-порта)", "MCP2200"},
    {"STM32102(USB driver)", "STM32102(Драйвер для USB)", "STM32102"},
    {"OpenSSL", nullptr, "OpenSSL"},
    {"CDC Drivers", nullptr, "CDC Drivers"},
    {"CH9340(WCHIP driver)", "CH9340(Драйвер для WCHIP)", "CH9340"},
};

template <size_t N> void addRows(QTreeWidgetItem *group, const Row (&rows)[N], bool ru) {
    for (const Row &row : rows) {
        auto *item = new QTreeWidgetItem(group);
        item->setText(0, QString::fromUtf8(ru && row.russian ? row.russian : row.english));
        item->setData(0, keyRole, QString::fromUtf8(row.key));
        item->setCheckState(0, Qt::Unchecked);
    }
}

bool isGroupTitle(const QString &text) {
    static const QStringList titles = {"LoRa",    "NB-IoT",  "Transport monitoring", "Мониторинг транспорта",
                                       "Drivers", "Драйверы"};
    return titles.contains(text);
}

} // namespace

SelectSoftList::SelectSoftList(InstallContext *context) : QWidget(nullptr), context(context) {
    setFixedSize(615, 467);
    setWindowIcon(QIcon(":/Icon.ico"));
    context->softListPage = this;

    const bool ru = System_Language() == "ru";

    componentTree = new QTreeWidget(this);
    componentTree->setGeometry(30, 90, 451, 311);
    componentTree->setColumnCount(2);
    componentTree->setHeaderLabels(
        {ru ? "Программное обеспечение для установки" : "Installation software", ru ? "Состояние" : "State"});
    componentTree->setFrameShape(QFrame::NoFrame);
    componentTree->header()->setSectionResizeMode(QHeaderView::Fixed);
    componentTree->header()->resizeSection(0, 371);
    componentTree->header()->resizeSection(1, 80);
    componentTree->setSelectionMode(QAbstractItemView::NoSelection);
    componentTree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    fillTree();
    markInstalled();

    loraBox = new QCheckBox("LoRa", this);
    loraBox->setGeometry(500, 90, 78, 22);
    nbIotBox = new QCheckBox("NB-IoT", this);
    nbIotBox->setGeometry(500, 120, 78, 22);
    transportBox = new QCheckBox(ru ? "Мониторинг\nтранспорта" : "Transport\nmonitoring", this);
    transportBox->setGeometry(500, 150, 101, 31);
    driversBox = new QCheckBox(ru ? "Драйверы" : "Drivers", this);
    driversBox->setGeometry(500, 180, 101, 31);

    nextButton = new QPushButton(ru ? "Далее" : "Next", this);
    nextButton->setGeometry(510, 430, 80, 24);
    cancelButton = new QPushButton(ru ? "Отмена" : "Cancel", this);
    cancelButton->setGeometry(420, 430, 80, 24);

    headerPicture = new QLabel(this);
    headerPicture->setGeometry(10, 5, 591, 81);
    headerPicture->setPixmap(QPixmap(":/Header.png"));

    connect(nextButton, &QPushButton::clicked, this, &SelectSoftList::Push_Next_Button);
    connect(cancelButton, &QPushButton::clicked, this, &SelectSoftList::Push_Cancel_Button);
    connect(loraBox, &QCheckBox::stateChanged, this, &SelectSoftList::Checked_All_Soft_LoRa);
    connect(nbIotBox, &QCheckBox::stateChanged, this, &SelectSoftList::Checked_All_Soft_NB_IoT);
    connect(transportBox, &QCheckBox::stateChanged, this, &SelectSoftList::Checked_All_Soft_CarMonitoring);
    connect(driversBox, &QCheckBox::stateChanged, this, &SelectSoftList::Checked_All_Soft_Drivers);
    connect(componentTree, &QTreeWidget::itemDoubleClicked, this, &SelectSoftList::Reverse_State_Item);
    connect(componentTree->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            &SelectSoftList::Adjust_Weight_Coll);

    SelectPathSoftInstall *pathPage = context->pathSelectPage;
    if (pathPage) {
        connect(this, &SelectSoftList::Checkbox_Selection_Check_LoRa, pathPage,
                &SelectPathSoftInstall::Unlock_Select_Path_LoRa, Qt::DirectConnection);
        connect(this, &SelectSoftList::Checkbox_Selection_Check_NB_IoT, pathPage,
                &SelectPathSoftInstall::Unlock_Select_Path_NB_IoT, Qt::DirectConnection);
        connect(this, &SelectSoftList::Checkbox_Selection_Check_CarMonitoring, pathPage,
                &SelectPathSoftInstall::Unlock_Select_Path_CarMonitoring, Qt::DirectConnection);
    }
}

SelectSoftList::~SelectSoftList() {
    componentTree->clear();
}

void SelectSoftList::fillTree() {
    const bool ru = System_Language() == "ru";
    auto *lora = new QTreeWidgetItem(componentTree, {"LoRa"});
    addRows(lora, loraRows, ru);
    auto *nbIot = new QTreeWidgetItem(componentTree, {"NB-IoT"});
    addRows(nbIot, nbIotRows, ru);
    auto *carMonitoring =
        new QTreeWidgetItem(componentTree, {ru ? "Мониторинг транспорта" : "Transport monitoring"});
    addRows(carMonitoring, carMonitoringRows, ru);
    auto *drivers = new QTreeWidgetItem(componentTree, {ru ? "Драйверы" : "Drivers"});
    addRows(drivers, driverRows, ru);
}

// Looked up by the component key, the name under which the progress page records an install,
// so that the engineering server also shows as installed.
void SelectSoftList::markInstalled() {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    const QString installed = System_Language() == "ru" ? "Установлено" : "Installed";
    for (int group : {LoRaGroup, NbIotGroup, CarMonitoringGroup}) {
        QTreeWidgetItem *groupItem = componentTree->topLevelItem(group);
        for (int i = 0; i < groupItem->childCount(); ++i) {
            QTreeWidgetItem *item = groupItem->child(i);
            const QString key = item->data(0, keyRole).toString();
            if (settings && !settings->value("Path/" + key, QString()).toString().isEmpty()) {
                item->setDisabled(true);
                item->setText(1, installed);
            }
        }
    }
}

void SelectSoftList::setGroupChecked(int group, int state) {
    QTreeWidgetItem *groupItem = componentTree->topLevelItem(group);
    if (state == Qt::Checked)
        groupItem->setExpanded(true);
    const Qt::CheckState rowState = state == Qt::Checked ? Qt::Checked : Qt::Unchecked;
    for (int i = 0; i < groupItem->childCount(); ++i) {
        QTreeWidgetItem *item = groupItem->child(i);
        if (!item->isDisabled())
            item->setCheckState(0, rowState);
    }
}

bool SelectSoftList::collectGroup(int group, QHash<QString, bool> &selection) {
    bool any = false;
    QTreeWidgetItem *groupItem = componentTree->topLevelItem(group);
    for (int i = 0; i < groupItem->childCount(); ++i) {
        QTreeWidgetItem *item = groupItem->child(i);
        if (item->checkState(0) == Qt::Checked) {
            selection.insert(item->data(0, keyRole).toString(), true);
            any = true;
        }
    }
    return any;
}

void SelectSoftList::Push_Next_Button() {
    emit Close_Software_Window_For_Next();

    // Emptied first, so that rows unticked after Back are not installed.
    context->selectedLoRa.clear();
    context->selectedNbIot.clear();
    context->selectedCarMonitoring.clear();
    context->selectedDrivers.clear();

    bool lora = collectGroup(LoRaGroup, context->selectedLoRa);
    emit Checkbox_Selection_Check_LoRa(&lora);
    bool nbIot = collectGroup(NbIotGroup, context->selectedNbIot);
    emit Checkbox_Selection_Check_NB_IoT(&nbIot);
    bool carMonitoring = collectGroup(CarMonitoringGroup, context->selectedCarMonitoring);
    emit Checkbox_Selection_Check_CarMonitoring(&carMonitoring);
    collectGroup(DriversGroup, context->selectedDrivers);
    if (!context->msvcInstalled)
        context->selectedDrivers.insert("MSVC", true);

    hide();
}

void SelectSoftList::Push_Cancel_Button() {
    close();
}

void SelectSoftList::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
    emit Delete_Install_Window();
}

void SelectSoftList::Checked_All_Soft_LoRa(int state) {
    setGroupChecked(LoRaGroup, state);
}

void SelectSoftList::Checked_All_Soft_NB_IoT(int state) {
    setGroupChecked(NbIotGroup, state);
}

void SelectSoftList::Checked_All_Soft_CarMonitoring(int state) {
    setGroupChecked(CarMonitoringGroup, state);
}

void SelectSoftList::Checked_All_Soft_Drivers(int state) {
    setGroupChecked(DriversGroup, state);
}

// Only the name column carries a check box; a double-click anywhere on the row toggles it.
void SelectSoftList::Reverse_State_Item(QTreeWidgetItem *Item, int column) {
    Q_UNUSED(column);
    if (!Item || Item->isDisabled() || isGroupTitle(Item->text(0)) || !Item->parent())
        return;
    Item->setCheckState(0, Item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void SelectSoftList::Adjust_Weight_Coll(int Min, int Max) {
    Q_UNUSED(Min);
    if (Max >= 1) {
        componentTree->header()->resizeSection(0, 356);
        componentTree->header()->resizeSection(1, 95);
    } else {
        componentTree->header()->resizeSection(0, 371);
        componentTree->header()->resizeSection(1, 80);
    }
}
