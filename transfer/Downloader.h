#pragma once
// The worker that fetches ticked components (install run) or listed files (update run) from the server.

#include "transfer/PartialFile.h"
#include "transfer/PublisherManifest.h"
#include "transfer/sftp/SftpSession.h"

#include <QAtomicInt>
#include <QHash>
#include <QObject>
#include <QVector>

#include <functional>
#include <memory>

struct InstallContext;
class FilePrefetcher;
class RemoteWalk;
class SftpSessionPool;

class Downloader : public QObject {
    Q_OBJECT
public:
    enum Mode { InstallMode, UpdateMode };
    enum GroupCode { LoRaCode = 1, NbIotCode = 2, CarMonitoringCode = 3, DriversCode = 5 };

    explicit Downloader(InstallContext *context);
    Downloader(const QHash<QString, bool> &updateSet, QHash<QString, QString> *pendingMap);

    // Asks a running run to stop after the current chunk; safe from any thread.
    void requestCancel() { cancelRequested.storeRelease(1); }
    // Files of the last run that did not arrive (failed, refused or cut short); read after the run.
    int failedFileCount() const { return failedFiles; }

signals:
    void New_Progress_Value(int Value);
    void New_Process_Set_Text(QString Text);
    // The run could not open its session, or lost it. The update run sends it too (and then returns
    // without Finish_Update), so that the update list can leave its running state.
    void Error_connection();
    void FinishedInstall();
    void Start_Timer(int msec);
    void Counter_Data(int size);
    void Set_NewLog_On_LogList(QString name, int State);
    void Vlaue_Size_All_Soft(int Value);
    void Write_Path_in_Settings(QString key, QString Path);
    void Finish_Update();
    void Close_Application_For_Update(QString AppName, int *value);
    // A publisher key is set and the server's manifest was refused: the run fetched and changed
    // nothing and ends here (no FinishedInstall or Finish_Update follows).
    void Publisher_Refused();

public slots:
    void Run();
    void Update();

private:
    qint64 totalChosenSize();
    void downloadGroup(const QString &groupKey, GroupCode code, const QHash<QString, bool> &selection);
    void queueAhead(int folder, const QString &localFolder);
    void downloadFolder(int folder, const QString &localFolder, GroupCode code);
    bool downloadFile(const QByteArray &remotePath, const QString &localPath);
    bool writeFetchedFile(const QByteArray &remotePath, const QByteArray &bytes, const QString &localPath,
                          quint32 remoteMode);
    bool commitFile(const std::function<bool(QString *error)> &commit);
    bool finishFile(bool ok, const QString &localPath, quint32 remoteMode);
    bool waitForProgramExit(const QString &localPath);

    // The publisher's signed manifest (with a publisher key set): fetched and verified at the start of
    // each run, then every file is checked against it before it replaces anything.
    bool establishTrust();
    bool listedInManifest(const QByteArray &remotePath, const QString &localPath) const;
    bool matchesManifest(const QByteArray &remotePath, const QString &localPath, const QByteArray &sha256,
                         qint64 size) const;
    std::shared_ptr<const PublisherManifest> manifest; // null: no publisher key, nothing to check

    InstallContext *context = nullptr;
    double totalSize = 0;
    double progress = 0;
    qint64 lastChunk = 0;
    QHash<QString, QString> *pendingMap = nullptr;
    Mode mode = InstallMode;
    QAtomicInt answer = 0;
    QHash<QString, bool> updateSet;

    // The walks of the chosen components, made by the size pass and used once by the download pass.
    QHash<QByteArray, std::shared_ptr<RemoteWalk>> walks;
    RemoteWalk *currentWalk = nullptr;
    QHash<int, int> aheadTickets; // walk node -> fetch-ahead ticket, for the component being fetched

    SftpSession session;
    SftpSessionPool *pool = nullptr;      // the run's helper sessions, while a run goes on
    FilePrefetcher *prefetcher = nullptr; // fetches files ahead on them, handed over in server order
    QAtomicInt cancelRequested = 0;
    PartialFile::Index partials; // partly fetched files beside the run's targets

    bool cancelled() const { return cancelRequested.loadAcquire() != 0; }
    bool acceptUpdateEntry(const QString &localPath, const QByteArray &remotePath, bool report = true);
    bool isOwnProgram(const QString &localPath) const;
    int failedFiles = 0;
    QString componentFolder;          // local install folder of that component
    bool replacingOwnProgram = false; // the file being fetched is the running program itself
};
