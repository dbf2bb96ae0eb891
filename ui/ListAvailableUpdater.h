#pragma once
// The update list: shows the pending updates, runs the chosen ones and reports the outcome.

#include <QHash>
#include <QString>
#include <QWidget>

class QCheckBox;
class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;
class QTreeWidget;
class Downloader;

class ListAvailableUpdater : public QWidget {
    Q_OBJECT
public:
    explicit ListAvailableUpdater(QWidget *parent = nullptr);
    ~ListAvailableUpdater() override;

    // Read access for tests.
    QPushButton *updateButtonWidget() const { return updateButton; }
    QPushButton *hideButtonWidget() const { return hideButton; }
    QPushButton *dontUpdateButtonWidget() const { return dontUpdateButton; }
    QCheckBox *updateAllBoxWidget() const { return updateAllBox; }
    QTreeWidget *treeWidget() const { return updateTree; }
    QLabel *headerPictureWidget() const { return headerPicture; }
    QProgressBar *progressBarWidget() const { return progressBar; }
    const QHash<QString, bool> &chosenUpdates() const { return updateSet; }
    bool isRunning() const { return runningRun != 0; }
    // The thread of the latest run; it deletes itself when the run has ended.
    QThread *runThread() const { return workerThread; }

signals:
    void Finish_Update();

public slots:
    void Filling_Three_Update(QHash<QString, QString> &PathToInstall);

private slots:
    void Start_Update();
    void Set_Progress_Value(int value);
    void Finish_Upload_Component(QString Component);
    void Finished();
    void Attachement(QString AppName, int *value);
    void Distruct_Window();
    void Unselect_Select_All_Updates(int state);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The run ended without its files: lost the server, or refused its manifest (refused true).
    void runLostConnection(int run, bool refused = false);
    void returnToList();

    QPushButton *updateButton = nullptr;
    QPushButton *hideButton = nullptr;
    QPushButton *dontUpdateButton = nullptr;
    QCheckBox *updateAllBox = nullptr;
    QTreeWidget *updateTree = nullptr;
    QLabel *headerPicture = nullptr;
    QHash<QString, QString> *pendingMap = nullptr;
    QHash<QString, bool> updateSet;
    QProgressBar *progressBar = nullptr;
    QThread *workerThread = nullptr;
    Downloader *downloader = nullptr;

    // Which run is going on (0: none); a report from an older run is ignored.
    int runningRun = 0;
    int lastRun = 0;
};
