#pragma once
// Last install-wizard page: runs the install on a worker thread and shows its progress.

#include <QWidget>

class Downloader;
class QLabel;
class QListView;
class QProgressBar;
class QPushButton;
class QStringListModel;
class QThread;
class QTimer;
struct InstallContext;

// Failed connection attempts of the install runs; the third in a row gives up.
extern quint8 connectFailures;

class ProgressBarWindow : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBarWindow(InstallContext *context);
    // Stops a run that is still going and lets its thread and worker go once it has ended.
    ~ProgressBarWindow() override;

    // The thread of the current run (null before Show and after the window let it go); for tests.
    QThread *runThread() const { return workerThread; }

signals:
    void Delete_Install_Window();

public slots:
    void Show();
    void Finished();

private slots:
    void Push_Cancel_Button();
    void On_Progress_Insert_Value(int Value);
    void On_Process_Set_Text(QString Text);
    void Reconnect_Server();
    void Update_Timer_Label();
    void Set_Up_Timer(int msec);
    void Counter(int size);
    void Update_Log(QString name, int state);
    void Set_Size_All_Soft(int value);
    void Write_Path_in_Settings(QString key, QString Path);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void appendLogLine(const QString &line);
    void releaseWorker();
    void whenRunThreadEnds(int waitMsec, void (ProgressBarWindow::*next)());
    void completeInstall();
    void retryOrGiveUp();
    void publisherRefused(); // the run refused the server's manifest: say so and close
    void closeRefused();
    void closeWizard();

    QProgressBar *progressBar = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *headerPicture = nullptr;
    QLabel *timeLabel = nullptr;
    QPushButton *cancelButton = nullptr;
    InstallContext *context = nullptr;
    Downloader *downloader = nullptr;
    QThread *workerThread = nullptr;
    QListView *logView = nullptr;
    QStringListModel *logModel = nullptr;
    QTimer *timer = nullptr;
    qint32 elapsedSeconds = 0;
    quint32 remainingBytes = 0;
    quint32 remainingSeconds = 0;
    double tickBytes = 0;
    bool abandoned = false; // cancelled or closed: late signals of the run change nothing
};
