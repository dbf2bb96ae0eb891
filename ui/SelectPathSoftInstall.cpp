#include "ui/SelectPathSoftInstall.h"

#include "core/Language.h"
#include "transfer/InstallContext.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

SelectPathSoftInstall::SelectPathSoftInstall(InstallContext *context) : QWidget(nullptr), context(context) {
    setFixedSize(615, 467);
    setWindowIcon(QIcon(":/Icon.ico"));
    context->pathSelectPage = this;

    const bool ru = System_Language() == "ru";
    loraLabel = new QLabel(ru ? "ПО для работы с сетями LoRa" : "LoRa networking software", this);
    loraLabel->setGeometry(40, 110, 461, 16);
    nbIotLabel = new QLabel(ru ? "ПО для работы с NB-IoT" : "NB-IoT software", this);
    nbIotLabel->setGeometry(40, 180, 461, 16);
    transportLabel = new QLabel(
        ru ? "ПО для работы с мониторингом транспорта" : "Software for work with transport monitoring", this);
    transportLabel->setGeometry(40, 250, 461, 16);

    headerPicture = new QLabel(this);
    headerPicture->setGeometry(10, 5, 591, 81);
    headerPicture->setPixmap(QPixmap(":/Header.png"));

    loraField = new QLineEdit(context->groupFolders.value("LoRa"), this);
    loraField->setGeometry(30, 130, 481, 24);
    nbIotField = new QLineEdit(context->groupFolders.value("NB-IoT"), this);
    nbIotField->setGeometry(30, 200, 481, 24);
    transportField = new QLineEdit(context->groupFolders.value("CarMonitoring"), this);
    transportField->setGeometry(30, 270, 481, 24);

    loraBrowse = new QPushButton("...", this);
    loraBrowse->setGeometry(530, 130, 31, 24);
    nbIotBrowse = new QPushButton("...", this);
    nbIotBrowse->setGeometry(530, 200, 31, 24);
    transportBrowse = new QPushButton("...", this);
    transportBrowse->setGeometry(530, 270, 31, 24);

    installButton = new QPushButton(ru ? "Установить" : "Install", this);
    installButton->setGeometry(510, 430, 80, 24);
    backButton = new QPushButton(ru ? "Назад" : "Back", this);
    backButton->setGeometry(420, 430, 80, 24);

    connect(installButton, &QPushButton::clicked, this, &SelectPathSoftInstall::Push_Next_Button);
    connect(backButton, &QPushButton::clicked, this, &SelectPathSoftInstall::Push_Previous_Button);
    connect(loraBrowse, &QPushButton::pressed, this, &SelectPathSoftInstall::Open_Search_Path);
    connect(nbIotBrowse, &QPushButton::pressed, this, &SelectPathSoftInstall::Open_Search_Path);
    connect(transportBrowse, &QPushButton::pressed, this, &SelectPathSoftInstall::Open_Search_Path);
    connect(loraField, &QLineEdit::textEdited, this, &SelectPathSoftInstall::New_Path_LoRa_Insert);
    connect(nbIotField, &QLineEdit::textEdited, this, &SelectPathSoftInstall::New_Path_NB_IoT_Insert);
    connect(transportField, &QLineEdit::textEdited, this,
            &SelectPathSoftInstall::New_Path_CarMonitoring_Insert);
}

void SelectPathSoftInstall::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
    emit Delete_Install_Window();
}

void SelectPathSoftInstall::Push_Next_Button() {
    hide();
    emit Close_Path_Select_Window_For_Next();
}

void SelectPathSoftInstall::Push_Previous_Button() {
    hide();
    emit Close_Path_Select_Window();
}

void SelectPathSoftInstall::Unlock_Select_Path_LoRa(bool *state) {
    loraField->setEnabled(*state);
    loraBrowse->setEnabled(*state);
}

void SelectPathSoftInstall::Unlock_Select_Path_NB_IoT(bool *state) {
    nbIotField->setEnabled(*state);
    nbIotBrowse->setEnabled(*state);
}

void SelectPathSoftInstall::Unlock_Select_Path_CarMonitoring(bool *state) {
    transportField->setEnabled(*state);
    transportBrowse->setEnabled(*state);
}

void SelectPathSoftInstall::Open_Search_Path() {
    QLineEdit *field = nullptr;
    QString groupKey;
    QString suffix;
    if (loraBrowse->isDown()) {
        field = loraField;
        groupKey = "LoRa";
        suffix = System_Language() == "ru" ? " LoRa" : " LoRa software";
    } else if (nbIotBrowse->isDown()) {
        field = nbIotField;
        groupKey = "NB-IoT";
        suffix = System_Language() == "ru" ? " NB-IoT" : " NB-IoT software";
    } else if (transportBrowse->isDown()) {
        field = transportField;
        groupKey = "CarMonitoring";
        suffix = System_Language() == "ru" ? " мониторинга транспорта" : " transport monitoring software";
    } else {
        return;
    }
    const QString prefix =
        System_Language() == "ru" ? "Выберете директорию для софта" : "Select the directory for the";
    const QString folder = QFileDialog::getExistingDirectory(
        this, prefix + suffix, context->groupFolders.value(groupKey), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    context->groupFolders[groupKey] = folder;
    field->setText(folder);
}

void SelectPathSoftInstall::New_Path_LoRa_Insert(QString NewPath) {
    context->groupFolders["LoRa"] = NewPath;
}

void SelectPathSoftInstall::New_Path_NB_IoT_Insert(QString NewPath) {
    context->groupFolders["NB-IoT"] = NewPath;
}

void SelectPathSoftInstall::New_Path_CarMonitoring_Insert(QString NewPath) {
    context->groupFolders["CarMonitoring"] = NewPath;
}
