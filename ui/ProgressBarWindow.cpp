#include "ui/ProgressBarWindow.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "transfer/Downloader.h"
#include "transfer/DriverInstallers.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>
#include <QThread>
#include <QTimer>

#include <memory>

quint8 connectFailures = 0;

namespace {

bool russian() {
    return System_Language() == "ru";
}

QString twoDigits(quint32 value) {
    return QString("%1").arg(value, 2, 10, QChar('0'));
}

void showMessage(QMessageBox::Icon icon, const QString &title, const QString &text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok);
    box.setWindowIcon(QIcon(":/Icon.ico"));
    box.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.exec();
}

} // namespace

ProgressBarWindow::ProgressBarWindow(InstallContext *context) : QWidget(nullptr), context(context) {
    setFixedSize(615, 467);
    setWindowIcon(QIcon(":/Icon.ico"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    const bool ru = russian();
    headerPicture = new QLabel(this);
    headerPicture->setGeometry(10, 5, 591, 81);
    headerPicture->setPixmap(QPixmap(":/Header.png"));

    statusLabel = new QLabel(ru ? "Присоединение к серверу..." : "Joining the server...", this);
    statusLabel->setObjectName("statusLabel");
    statusLabel->setGeometry(29, 120, 521, 20);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setGeometry(30, 140, 561, 23);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAlignment(Qt::AlignCenter);

    timeLabel = new QLabel(this);
    timeLabel->setObjectName("timeLabel");
    timeLabel->setGeometry(29, 170, 561, 60);

    logModel = new QStringListModel(this);
    logView = new QListView(this);
    logView->setObjectName("logView");
    logView->setGeometry(30, 240, 561, 161);
    logView->setModel(logModel);

    cancelButton = new QPushButton(ru ? "Отмена" : "Cancel", this);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setGeometry(500, 430, 80, 24);
    connect(cancelButton, &QPushButton::pressed, this, &ProgressBarWindow::Push_Cancel_Button);
}

ProgressBarWindow::~ProgressBarWindow() {
    // A run still going is told to stop; its thread and worker are released once it has ended,
    // after this window is gone. The worker reaches the window only by queued signals, which Qt
    // drops together with the window.
    if (workerThread && workerThread->isRunning()) {
        if (downloader) {
            downloader->requestCancel();
            disconnect(downloader, nullptr, this, nullptr);
            connect(workerThread, &QThread::finished, downloader, &QObject::deleteLater);
        }
        connect(workerThread, &QThread::finished, workerThread, &QObject::deleteLater);
        // Only quit() ends the thread's event loop, so it cannot finish before these connections.
        workerThread->quit();
        downloader = nullptr;
        workerThread = nullptr;
    }
    releaseWorker();
}

// Deletes a worker and thread that no longer run.
void ProgressBarWindow::releaseWorker() {
    delete downloader;
    downloader = nullptr;
    delete workerThread;
    workerThread = nullptr;
}

void ProgressBarWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    abandoned = true;
    if (downloader)
        downloader->requestCancel();
    hide();
    emit Delete_Install_Window();
}

void ProgressBarWindow::Show() {
    show();
    QCoreApplication::processEvents();

    workerThread = new QThread();
    downloader = new Downloader(context);
    downloader->moveToThread(workerThread);
    timer = new QTimer(this);

    connect(cancelButton, &QPushButton::pressed, workerThread, &QThread::quit);
    connect(downloader, &Downloader::New_Process_Set_Text, this, &ProgressBarWindow::On_Process_Set_Text);
    connect(downloader, &Downloader::New_Progress_Value, this, &ProgressBarWindow::On_Progress_Insert_Value);
    connect(downloader, &Downloader::Write_Path_in_Settings, this,
            &ProgressBarWindow::Write_Path_in_Settings);
    connect(downloader, &Downloader::Error_connection, this, &ProgressBarWindow::Reconnect_Server);
    connect(downloader, &Downloader::Publisher_Refused, this, &ProgressBarWindow::publisherRefused);
    connect(downloader, &Downloader::FinishedInstall, this, &ProgressBarWindow::Finished);
    connect(downloader, &Downloader::Start_Timer, this, &ProgressBarWindow::Set_Up_Timer);
    connect(downloader, &Downloader::Counter_Data, this, &ProgressBarWindow::Counter);
    connect(downloader, &Downloader::Set_NewLog_On_LogList, this, &ProgressBarWindow::Update_Log);
    connect(downloader, &Downloader::Vlaue_Size_All_Soft, this, &ProgressBarWindow::Set_Size_All_Soft);
    connect(workerThread, &QThread::started, downloader, &Downloader::Run);
    // The thread is kept across connection retries and released by this window (releaseWorker and
    // the destructor), so it is not tied to its own finished signal here.
    connect(timer, &QTimer::timeout, this, &ProgressBarWindow::Update_Timer_Label);

    workerThread->start(QThread::InheritPriority);
}

void ProgressBarWindow::On_Process_Set_Text(QString Text) {
    statusLabel->setText(Text);
}

void ProgressBarWindow::On_Progress_Insert_Value(int Value) {
    progressBar->setValue(Value);
}

void ProgressBarWindow::Set_Up_Timer(int msec) {
    if (timer)
        timer->start(msec);
}

void ProgressBarWindow::Counter(int size) {
    tickBytes += size;
}

void ProgressBarWindow::Set_Size_All_Soft(int value) {
    if (remainingBytes == 0)
        remainingBytes = quint32(value);
    else
        remainingBytes -= quint32(value);
}

void ProgressBarWindow::Update_Timer_Label() {
    elapsedSeconds += 1;
    remainingSeconds = 0;
    if (tickBytes > 0) {
        const double estimate = double(remainingBytes) / tickBytes;
        remainingSeconds = quint32(qint64(estimate));
        if (remainingSeconds > 3600)
            remainingSeconds = 0;
    }
    tickBytes = tickBytes / 1000 / 125;

    const quint32 elapsed = quint32(elapsedSeconds);
    const QString speed = QString::number(tickBytes, 'f', 3);
    QString text;
    if (russian()) {
        text = QString("Прошло: %1 мин %2 сек\n").arg(twoDigits(elapsed / 60), twoDigits(elapsed % 60)) +
               QString("Осталось примерно: %1 мин %2 сек\n")
                   .arg(twoDigits(remainingSeconds / 60), twoDigits(remainingSeconds % 60)) +
               QString("Cкорость загрузки: %L1 Мбит/сек").arg(speed);
    } else {
        text = QString("Elapsed: %1 min %2 sec\n").arg(twoDigits(elapsed / 60), twoDigits(elapsed % 60)) +
               QString("Remaining approximately: %1 min %2 sec\n")
                   .arg(twoDigits(remainingSeconds / 60), twoDigits(remainingSeconds % 60)) +
               QString("Download speed: %L1 Mbps").arg(speed);
    }
    timeLabel->setText(text);
    tickBytes = 0;
}

void ProgressBarWindow::appendLogLine(const QString &line) {
    const int row = logModel->rowCount();
    logModel->insertRows(row, 1);
    logModel->setData(logModel->index(row), line);
    logView->scrollToBottom();
}

void ProgressBarWindow::Update_Log(QString name, int state) {
    if (state != 0) {
        const QString fileName = name.mid(name.lastIndexOf('/') + 1);
        name = russian() ? "Компонент " + fileName + " загружен" : "Component " + fileName + " loaded";
    }
    appendLogLine(name);
}

void ProgressBarWindow::Write_Path_in_Settings(QString key, QString Path) {
    // The two archives are only unpacked by hand, so there is nothing installed to record.
    if (key.contains("Alerter") || key.contains("Clocksync"))
        return;
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    settings->setValue("Path/" + key, Path);
    qDebug() << settings->value("Path/" + key);
}

void ProgressBarWindow::Finished() {
    if (abandoned)
        return;
    if (timer)
        timer->stop();
    // Folder entries also count their own size, so with small files the percentage overshoots and the bar
    // keeps its last valid value; the run has ended, so show it full.
    progressBar->setValue(100);
    if (context->driverInstallers.isEmpty()) {
        completeInstall();
        return;
    }
    // The download is over: nothing is left to cancel while the installers run. The run belongs to no
    // window, so closing the wizard meanwhile never cuts an installer short.
    cancelButton->setEnabled(false);
    // The drivers are fetched into the drivers group folder, so that is the folder removed afterwards.
    auto *installers =
        new DriverInstallers(context->driverInstallers, context->groupFolders.value("Drivers"));
    connect(installers, &DriverInstallers::Installer_Done, this, &ProgressBarWindow::appendLogLine);
    connect(installers, &DriverInstallers::Finished, this, &ProgressBarWindow::completeInstall);
    connect(installers, &DriverInstallers::Finished, installers, &QObject::deleteLater);
    installers->start();
}

void ProgressBarWindow::completeInstall() {
    if (downloader)
        downloader->deleteLater(); // processed by the worker thread, at the latest when it ends
    downloader = nullptr;
    if (workerThread) {
        connect(workerThread, &QThread::finished, workerThread, &QObject::deleteLater);
        workerThread->quit();
        workerThread = nullptr;
    }
    if (timer)
        timer->deleteLater();
    timer = nullptr;
    connectFailures = 0;

    showMessage(QMessageBox::Information, "Complete!",
                russian() ? "Процесс установки завершен!" : "The updates have been successfully installed!");
    emit Delete_Install_Window();
}

// Calls `next` once the run's thread has finished, or after waitMsec at the latest; the event loop goes on
// meanwhile, and a window that is gone by then is not called.
void ProgressBarWindow::whenRunThreadEnds(int waitMsec, void (ProgressBarWindow::*next)()) {
    auto called = std::make_shared<bool>(false);
    const auto once = [this, next, called] {
        if (*called)
            return;
        *called = true;
        (this->*next)();
    };
    if (workerThread)
        connect(workerThread, &QThread::finished, this, once, Qt::SingleShotConnection);
    if (!workerThread || workerThread->isFinished()) {
        once();
        return;
    }
    QTimer::singleShot(waitMsec, this, once);
}

void ProgressBarWindow::closeWizard() {
    emit Delete_Install_Window();
}

void ProgressBarWindow::Push_Cancel_Button() {
    if (abandoned)
        return;
    abandoned = true;
    statusLabel->setText(russian() ? "Остановка загрузки..." : "Stopping the download...");
    if (downloader)
        downloader->requestCancel();
    if (workerThread)
        workerThread->quit();
    whenRunThreadEnds(2000, &ProgressBarWindow::closeWizard);
}

void ProgressBarWindow::Reconnect_Server() {
    if (abandoned || !workerThread)
        return;
    workerThread->quit();
    whenRunThreadEnds(3000, &ProgressBarWindow::retryOrGiveUp);
}

void ProgressBarWindow::publisherRefused() {
    if (abandoned || !workerThread)
        return;
    workerThread->quit();
    whenRunThreadEnds(3000, &ProgressBarWindow::closeRefused);
}

void ProgressBarWindow::closeRefused() {
    if (abandoned || !workerThread)
        return;
    // Retrying cannot help: the run fetched nothing, and the wizard closes once the user has read why.
    showMessage(QMessageBox::Critical, "Error!", PublisherTrust::refusedText(russian()));
    if (!workerThread->isRunning())
        releaseWorker(); // otherwise the destructor releases it once it ends
    emit Delete_Install_Window();
}

void ProgressBarWindow::retryOrGiveUp() {
    // Cancelled or closed while the failed attempt was ending.
    if (abandoned || !workerThread)
        return;
    connectFailures += 1;
    statusLabel->setText(russian() ? "Попытка присоединение к серверу..."
                                   : "Attempting to join the server...");

    if (connectFailures == 3) {
        // A later wizard gets its own three attempts.
        connectFailures = 0;
        showMessage(QMessageBox::Critical, "Error!",
                    russian() ? "Не удалось подключится к серверу!\nПопрбуйте установить ПО позже или "
                                "воспользуйтесь офлайн установщиком"
                              : "Failed to connect to the server!\nTry installing the software later or use "
                                "the offline installer.");
        if (workerThread->isRunning()) {
            // Still inside the failed attempt: let the destructor release it once it ends.
            emit Delete_Install_Window();
            return;
        }
        releaseWorker();
        emit Delete_Install_Window();
        return;
    }
    downloader->moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);
}
