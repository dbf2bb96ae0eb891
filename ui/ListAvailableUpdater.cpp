#include "ui/ListAvailableUpdater.h"

#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/PublisherTrust.h"

#include <QAtomicInt>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>

#include <memory>

namespace {

// Marks a row whose component the current run has fetched.
constexpr int updatedRole = Qt::UserRole + 1;

bool russianByLocaleName() {
    return localeNameContainsRu();
}
bool russianBySystemLanguage() {
    return System_Language() == QLatin1String("ru");
}

// The status column is narrow for the Russian texts in some fonts; the tip shows them whole.
void setStatus(QTreeWidgetItem *row, const QString &status) {
    row->setText(1, status);
    row->setToolTip(1, status);
}

} // namespace

ListAvailableUpdater::ListAvailableUpdater(QWidget *parent) : QWidget(parent) {
    const bool ru = russianByLocaleName();
    if (objectName().isEmpty())
        setObjectName(ru ? QStringLiteral("Обновления") : QStringLiteral("Updates"));
    setFixedSize(615, 467);
    setWindowIcon(QIcon(QStringLiteral(":/Upload.ico")));

    updateButton = new QPushButton(ru ? QStringLiteral("Обновить") : QStringLiteral("Update"), this);
    updateButton->setGeometry(510, 430, 80, 24);
    hideButton = new QPushButton(ru ? QStringLiteral("Свернуть") : QStringLiteral("Hide"), this);
    hideButton->setGeometry(420, 430, 80, 24);
    updateAllBox = new QCheckBox(ru ? QStringLiteral("Обновить все") : QStringLiteral("Update All"), this);
    updateAllBox->setGeometry(210, 430, 120, 24);
    dontUpdateButton =
        new QPushButton(ru ? QStringLiteral("Не обновлять") : QStringLiteral("Don't update"), this);
    dontUpdateButton->setGeometry(320, 430, 90, 24);

    updateTree = new QTreeWidget(this);
    updateTree->setGeometry(10, 100, 591, 321);
    updateTree->setColumnCount(2);
    // Plain rows without children: no room is kept for branch marks.
    updateTree->setRootIsDecorated(false);
    updateTree->setHeaderLabels(
        {ru ? QStringLiteral("Доступны новые обновления") : QStringLiteral("New updates are available"),
         ru ? QStringLiteral("Статус") : QStringLiteral("Status")});
    updateTree->setColumnWidth(0, 451);
    updateTree->setColumnWidth(1, 130);
    updateTree->header()->setSectionResizeMode(0, QHeaderView::Fixed);
    updateTree->header()->setSectionResizeMode(1, QHeaderView::Fixed);

    headerPicture = new QLabel(this);
    headerPicture->setGeometry(10, 10, 591, 71);
    headerPicture->setPixmap(QPixmap(QStringLiteral(":/Header.png")));

    progressBar = new QProgressBar(this);
    progressBar->hide();

    connect(updateButton, &QPushButton::pressed, this, &ListAvailableUpdater::Start_Update);
    connect(hideButton, &QPushButton::pressed, this, &QWidget::hide);
    connect(dontUpdateButton, &QPushButton::pressed, this, &ListAvailableUpdater::Distruct_Window);
    connect(updateAllBox, &QCheckBox::stateChanged, this, &ListAvailableUpdater::Unselect_Select_All_Updates);
}

ListAvailableUpdater::~ListAvailableUpdater() = default;

void ListAvailableUpdater::Filling_Three_Update(QHash<QString, QString> &PathToInstall) {
    pendingMap = &PathToInstall;
    updateTree->clear();
    for (auto it = PathToInstall.cbegin(); it != PathToInstall.cend(); ++it) {
        auto *row = new QTreeWidgetItem(updateTree);
        row->setText(0, it.key());
        row->setCheckState(0, Qt::Unchecked);
        setStatus(row, russianBySystemLanguage() ? QStringLiteral("Доступно обновление")
                                                 : QStringLiteral("Update available"));
        // Long paths are cut off in the fixed column.
        row->setToolTip(0, it.key());
        progressBar->setValue(0);
    }
    show();
}

void ListAvailableUpdater::Start_Update() {
    if (!pendingMap)
        return;
    QCoreApplication::processEvents();
    workerThread = new QThread;
    for (int i = 0; i < updateTree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = updateTree->topLevelItem(i);
        if (row->checkState(0) == Qt::Checked)
            updateSet.insert(row->text(0), true);
    }
    downloader = new Downloader(updateSet, pendingMap);
    downloader->moveToThread(workerThread);

    progressBar->setRange(0, 100);
    progressBar->setGeometry(20, 430, 391, 23);
    progressBar->setValue(0);
    dontUpdateButton->setEnabled(false);
    dontUpdateButton->hide();
    progressBar->show();
    updateButton->setEnabled(false);

    connect(downloader, &Downloader::Set_NewLog_On_LogList, this,
            &ListAvailableUpdater::Finish_Upload_Component);
    connect(downloader, &Downloader::New_Progress_Value, this, &ListAvailableUpdater::Set_Progress_Value);
    connect(workerThread, &QThread::started, downloader, &Downloader::Update);
    connect(downloader, &Downloader::Finish_Update, workerThread, &QThread::quit);
    connect(workerThread, &QThread::finished, downloader, &QObject::deleteLater);
    connect(workerThread, &QThread::finished, workerThread, &QObject::deleteLater);
    connect(downloader, &Downloader::Finish_Update, this, &ListAvailableUpdater::Finished);
    connect(downloader, &Downloader::Close_Application_For_Update, this, &ListAvailableUpdater::Attachement);

    // A run that cannot reach the server, or loses it, must not leave the list running for ever.
    // The downloader says so by Error_connection; a run that returns without any report (its
    // session never opened) is caught on the worker thread right after Update has returned.
    runningRun = ++lastRun;
    const int run = runningRun;
    connect(downloader, &Downloader::Error_connection, this, [this, run] { runLostConnection(run); });
    auto reported = std::make_shared<bool>(false); // only touched on the worker thread
    connect(downloader, &Downloader::Finish_Update, downloader, [reported] { *reported = true; });
    connect(downloader, &Downloader::Error_connection, downloader, [reported] { *reported = true; });
    connect(downloader, &Downloader::Publisher_Refused, this, [this, run] { runLostConnection(run, true); });
    connect(downloader, &Downloader::Publisher_Refused, downloader, [reported] { *reported = true; });
    connect(workerThread, &QThread::started, downloader, [this, reported, run] {
        if (!*reported)
            QMetaObject::invokeMethod(
                this, [this, run] { runLostConnection(run); }, Qt::QueuedConnection);
    });

    workerThread->start(QThread::InheritPriority);
}

void ListAvailableUpdater::Set_Progress_Value(int value) {
    progressBar->setValue(value);
}

void ListAvailableUpdater::Finish_Upload_Component(QString Component) {
    for (int i = 0; i < updateTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = updateTree->topLevelItem(i);
        if (row->text(0) == Component) {
            setStatus(row, russianByLocaleName() ? QStringLiteral("Обновлено") : QStringLiteral("Updated"));
            row->setData(0, updatedRole, true);
        }
    }
}

void ListAvailableUpdater::Finished() {
    // A late report of a run that already ended as a connection failure changes nothing.
    if (sender() && (sender() != downloader || runningRun == 0))
        return;
    runningRun = 0;
    // A ticked file that did not arrive (refused by the signed manifest, or failed) is not updated:
    // like a skipped one it stays listed for later.
    for (int i = 0; i < updateTree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = updateTree->topLevelItem(i);
        if (!row->data(0, updatedRole).toBool())
            updateSet.remove(row->text(0));
    }

    const bool ru = russianBySystemLanguage();
    QMessageBox box;
    box.setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    box.setWindowTitle(ru ? QStringLiteral("Обновления успешно установлены!")
                          : QStringLiteral("The updates have been successfully installed!"));
    if (updateSet.size() == pendingMap->size()) {
        box.setStandardButtons(QMessageBox::Ok);
        box.setText(ru ? QStringLiteral("Нажмите ОК, чтобы продолжить.")
                       : QStringLiteral("Press OK to continue."));
    } else {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(ru ? tr("Обновить позже") : tr("Update later"));
        box.button(QMessageBox::No)->setText(ru ? tr("Завершить обновление") : tr("Complete the update"));
        box.setText(ru ? QStringLiteral("Некоторые компопнеты не были обновлены.\nОбновить их позже?")
                       : QStringLiteral("Some compnets have not been updated.\nShould I update them later?"));
    }
    const int result = box.exec();

    if (result == QMessageBox::Ok || result == QMessageBox::No) {
        pendingMap->clear();
        updateTree->clear();
        hide();
        emit Finish_Update();
        return;
    }

    hide();
    for (auto it = updateSet.cbegin(); it != updateSet.cend(); ++it)
        pendingMap->remove(it.key());
    updateSet.clear();
    updateTree->clear();
    Filling_Three_Update(*pendingMap);
    updateButton->setEnabled(true);
    progressBar->hide();
    dontUpdateButton->setEnabled(true);
    dontUpdateButton->show();
}

void ListAvailableUpdater::Attachement(QString AppName, int *value) {
    const QString name = AppName.mid(AppName.lastIndexOf(QLatin1Char('/')) + 1);
    const bool ru = russianBySystemLanguage();
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Quillon"));
    box.setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::No);
    box.button(QMessageBox::No)->setText(ru ? tr("Пропустить") : tr("Skip"));
    box.setText(ru ? QStringLiteral("Перед обновлением закройте приложение ") + name
                   : QStringLiteral("Before updating, close the ") + name + QStringLiteral(" application."));
    const int result = box.exec();

    // The cell is the downloader's atomic answer, polled from its thread.
    static_assert(sizeof(QAtomicInt) == sizeof(int), "the answer cell is an atomic int");
    auto *answer = reinterpret_cast<QAtomicInt *>(value);
    if (result == QMessageBox::Ok) {
        answer->storeRelease(0);
    } else {
        answer->storeRelease(2);
        updateSet.remove(AppName);
    }
}

void ListAvailableUpdater::Distruct_Window() {
    if (pendingMap)
        pendingMap->clear();
    updateTree->clear();
    hide();
    emit Finish_Update();
}

void ListAvailableUpdater::Unselect_Select_All_Updates(int state) {
    for (int i = 0; i < updateTree->topLevelItemCount(); ++i)
        updateTree->topLevelItem(i)->setCheckState(0, state ? Qt::Checked : Qt::Unchecked);
}

void ListAvailableUpdater::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
}

void ListAvailableUpdater::runLostConnection(int run, bool refused) {
    if (run != runningRun)
        return;
    runningRun = 0;
    // The list goes back to its listed state once the worker has let go of the pending map.
    connect(workerThread, &QThread::finished, this, &ListAvailableUpdater::returnToList);
    workerThread->quit();

    const bool ru = russianBySystemLanguage();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Quillon"),
                    refused ? PublisherTrust::refusedText(ru)
                    : ru ? QStringLiteral("Не удалось присоединиться к серверу")
                         : QStringLiteral("Failed to join the server"),
                    QMessageBox::Ok);
    box.setWindowIcon(QIcon(QStringLiteral(":/Icon.ico")));
    box.exec();
}

void ListAvailableUpdater::returnToList() {
    // Files that arrived before the connection was lost are done; the rest stays listed.
    for (int i = 0; i < updateTree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = updateTree->topLevelItem(i);
        if (row->data(0, updatedRole).toBool())
            pendingMap->remove(row->text(0));
    }
    updateSet.clear();
    Filling_Three_Update(*pendingMap);
    updateButton->setEnabled(true);
    progressBar->hide();
    dontUpdateButton->setEnabled(true);
    dontUpdateButton->show();
}
