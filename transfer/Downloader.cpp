#include "transfer/Downloader.h"

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "transfer/RemoteWalk.h"
#include "transfer/SafeNames.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/RangeDownloader.h"
#include "transfer/sftp/SftpChannel.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QThread>

#include <climits>
#include <cmath>
#include <memory>
#include <utility>

namespace {

constexpr int chunkSize = 131070;
// Pause between two looks at a running program, so the wait does not keep a core busy.
constexpr unsigned long pollPauseMs = 50;

bool russian() {
    return System_Language() == "ru";
}

// Byte counts are summed in 64 bits; the signals carry ints, so larger values stop at INT_MAX.
int toSignalInt(double value) {
    if (!std::isfinite(value))
        return 0;
    if (value >= double(INT_MAX))
        return INT_MAX;
    if (value <= double(INT_MIN))
        return INT_MIN;
    return int(value);
}

// A total of 0 bytes measures nothing: the percentage then stays where it is.
void advance(double &progress, double bytes, double total) {
    if (total > 0)
        progress += bytes / (total / 100.0);
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool openHelperSession(SftpSession &helper) {
    return openSftpSession(helper, SessionUser::Downloader);
}

} // namespace

Downloader::Downloader(InstallContext *context) : context(context), mode(InstallMode) {}

Downloader::Downloader(const QHash<QString, bool> &updateSet, QHash<QString, QString> *pendingMap)
    : pendingMap(pendingMap), mode(UpdateMode), updateSet(updateSet) {}

void Downloader::Run() {
    failedFiles = 0;
    walks.clear();
    partials.clear();
    if (!openSftpSession(session, SessionUser::Downloader)) {
        emit Error_connection();
        return;
    }
    if (!establishTrust())
        return;
    bool lost;
    {
        // Pipelined reads on up to four sessions keep the link busy; one read at a time waits a round trip.
        SftpSessionPool runPool(session, openHelperSession);
        FilePrefetcher runPrefetcher(runPool);
        runPrefetcher.setStopCheck([this] { return cancelled(); });
        pool = &runPool;
        prefetcher = &runPrefetcher;
        emit New_Process_Set_Text(russian() ? "Расчет времени..." : "Time calculation...");
        totalSize = double(totalChosenSize());
        emit Vlaue_Size_All_Soft(toSignalInt(totalSize));
        emit Start_Timer(1000);

        downloadGroup("LoRa", LoRaCode, context->selectedLoRa);
        downloadGroup("NB-IoT", NbIotCode, context->selectedNbIot);
        downloadGroup("CarMonitoring", CarMonitoringCode, context->selectedCarMonitoring);
        downloadGroup("Drivers", DriversCode, context->selectedDrivers);

        // A run that lost its server part-way is a connection failure, which the window retries.
        lost = !cancelled() && sessionLost(session);
        walks.clear();
        prefetcher = nullptr;
        pool = nullptr;
    }
    closeSftpSession(session);
    if (lost) {
        emit Error_connection();
        return;
    }
    // Also after a cancel, so the window that drives the run can tidy up.
    emit FinishedInstall();
}

void Downloader::Update() {
    failedFiles = 0;
    partials.clear();
    if (!openSftpSession(session, SessionUser::Downloader)) {
        // Lets the update list leave its running state; a window that ignores it just waits.
        emit Error_connection();
        return;
    }
    if (!establishTrust())
        return;
    // Pipelined reads on up to four sessions keep the link busy; one read at a time waits a round trip.
    auto runPool = std::make_unique<SftpSessionPool>(session, openHelperSession);
    auto runPrefetcher = std::make_unique<FilePrefetcher>(*runPool);
    runPrefetcher->setStopCheck([this] { return cancelled(); });
    pool = runPool.get();
    prefetcher = runPrefetcher.get();
    // Every file to fetch is queued up front, so later ones arrive while earlier ones are written.
    QHash<QString, int> tickets;
    for (auto it = pendingMap->cbegin(); it != pendingMap->cend(); ++it) {
        const QByteArray remotePath = it.value().section('|', 0, 0).toUtf8();
        if (updateSet.value(it.key()) && acceptUpdateEntry(it.key(), remotePath, false))
            tickets.insert(it.key(), prefetcher->add(remotePath, it.value().section('|', -1).toLongLong()));
    }
    // A server that went away or stopped answering ends the run as a connection failure, so the
    // update list goes back to its list instead of reporting the files as done.
    for (auto it = pendingMap->cbegin(); it != pendingMap->cend() && !cancelled() && !sessionLost(session);
         ++it) {
        emit New_Progress_Value(0);
        const QString &key = it.key();
        const QString &value = it.value();
        totalSize = double(value.section('|', -1).toLongLong());
        progress = 0;
        const QByteArray remotePath = value.section('|', 0, 0).toUtf8();
        if (!updateSet.value(key))
            continue;
        if (!acceptUpdateEntry(key, remotePath))
            continue;
        replacingOwnProgram = isOwnProgram(key);
        if (!replacingOwnProgram && (Platform::isProgramFile(key) || Platform::isProgramToCheck(key)) &&
            !waitForProgramExit(key))
            continue;
        // A file in a folder that is new on the server needs that folder first.
        QDir().mkpath(QFileInfo(key).absolutePath());
        const auto ticket = tickets.constFind(key);
        const FilePrefetcher::Entry ahead =
            ticket != tickets.cend() ? prefetcher->take(*ticket) : FilePrefetcher::Entry();
        // Whatever did not arrive whole ahead (too large, or failed on a helper session) is fetched
        // here, so its errors read and count as before.
        if (ahead.fetched && ahead.status >= 0)
            writeFetchedFile(remotePath, ahead.bytes, key, ahead.permissions);
        else
            downloadFile(remotePath, key);
        replacingOwnProgram = false;
    }
    prefetcher = nullptr;
    pool = nullptr;
    runPrefetcher.reset();
    runPool.reset();
    if (sessionLost(session)) {
        closeSftpSession(session);
        emit Error_connection();
        return;
    }
    // Also after a cancel, so the window that drives the run can tidy up.
    emit Finish_Update();
    closeSftpSession(session);
}

qint64 Downloader::totalChosenSize() {
    // Each chosen component is walked once here; the download pass then goes over the same walk.
    qint64 total = 0;
    const QVector<const QHash<QString, bool> *> groups{&context->selectedLoRa, &context->selectedNbIot,
                                                       &context->selectedCarMonitoring,
                                                       &context->selectedDrivers};
    for (const QHash<QString, bool> *selection : groups) {
        for (auto it = selection->cbegin(); it != selection->cend(); ++it) {
            if (!it.value() || cancelled() || sessionLost(session))
                continue;
            const QByteArray remoteFolder = context->remoteFolders.value(it.key()).toUtf8();
            if (remoteFolder.isEmpty() || walks.contains(remoteFolder))
                continue;
            auto walk = std::make_shared<RemoteWalk>(session);
            walk->walk(remoteFolder, [this] { return cancelled(); });
            total += walk->filesSize();
            walks.insert(remoteFolder, walk);
        }
    }
    return total;
}

void Downloader::downloadGroup(const QString &groupKey, GroupCode code,
                               const QHash<QString, bool> &selection) {
    if (selection.isEmpty())
        return;
    for (auto it = selection.cbegin(); it != selection.cend(); ++it) {
        if (cancelled() || sessionLost(session))
            return;
        if (!it.value())
            continue;
        const QString &key = it.key();
        emit Set_NewLog_On_LogList((russian() ? "Загрузка " : "Downloading ") + key, 0);
        if (key == "MSVC")
            settings()->setValue("MSVC/Inst", true);
        const QString localFolder = context->groupFolders.value(groupKey) + "/" + key;
        const QByteArray remoteFolder = context->remoteFolders.value(key).toUtf8();
        if (remoteFolder.isEmpty()) {
            Write_Log("Unknown component - " + key);
            ++failedFiles;
            continue;
        }
        std::shared_ptr<RemoteWalk> walk = walks.value(remoteFolder);
        if (!walk) {
            walk = std::make_shared<RemoteWalk>(session);
            walk->walk(remoteFolder, [this] { return cancelled(); });
        }
        if (cancelled() || sessionLost(session))
            return;
        if (!QDir().mkpath(localFolder))
            emit Set_NewLog_On_LogList("Failed to create a directory - " + localFolder, 0);
        if (walk->rootMissing()) {
            // A component whose server folder is missing delivers nothing: that counts as a failure.
            Write_Log("Error open sftp folder - " + QString::fromUtf8(remoteFolder));
            ++failedFiles;
            continue;
        }
        if (!walk->error().isEmpty()) {
            // Part of the component could not be listed: none of it is taken for the whole, nor recorded.
            Write_Log("Error read sftp folder - " + walk->error());
            ++failedFiles;
            continue;
        }
        componentFolder = localFolder;
        currentWalk = walk.get();
        // Every file the walk found goes to the fetch-ahead now, in the order the walk will want it, so the
        // sessions work across folders instead of waiting for the walk to reach each one.
        aheadTickets.clear();
        queueAhead(0, localFolder);
        downloadFolder(0, localFolder, code);
        currentWalk = nullptr;
        walks.remove(remoteFolder);
        // An interrupted component is not recorded as installed.
        if (cancelled() || sessionLost(session))
            return;
        if (code != DriversCode) {
            emit Write_Path_in_Settings(key, localFolder);
            emit Set_NewLog_On_LogList(key + (russian() ? " установлен" : " is installed"), 0);
        }
    }
}

// The files below a folder that the walk will fetch, in the walk's order; the same tests as the walk's.
void Downloader::queueAhead(int folder, const QString &localFolder) {
    for (const int index : currentWalk->node(folder).children) {
        const RemoteWalk::Node &item = currentWalk->node(index);
        const QString localChild = localFolder + "/" + QString::fromUtf8(item.name);
        if (!isInsideFolder(localChild, componentFolder))
            continue;
        if (item.kind == RemoteWalk::Folder)
            queueAhead(index, localChild);
        else if (item.kind == RemoteWalk::File)
            aheadTickets.insert(index, prefetcher->add(item.path, item.attributes.size));
    }
}

void Downloader::downloadFolder(int folder, const QString &localFolder, GroupCode code) {
    if (folder != 0 && !QDir().mkpath(localFolder))
        emit Set_NewLog_On_LogList("Failed to create a directory - " + localFolder, 0);
    const RemoteWalk &walk = *currentWalk;
    for (const int index : walk.node(folder).children) {
        if (cancelled() || sessionLost(session))
            break;
        const RemoteWalk::Node &item = walk.node(index);
        const QByteArray &name = item.name;
        const QString localName = QString::fromUtf8(name);
        emit New_Process_Set_Text((russian() ? "Загрузка..." : "Downloading...") +
                                  localFolder.section('/', 0, 2) + ".../" + localName);
        if (item.kind == RemoteWalk::Skipped)
            continue;
        if (item.kind == RemoteWalk::UnsafeName) {
            Write_Log("Refused file name from the server - " + printableName(item.path) + " (" +
                      item.unsafeReason + ")");
            ++failedFiles;
            continue;
        }
        if (item.kind == RemoteWalk::LinkOutside) {
            Write_Log("Refused link out of the component folder - " + printableName(item.path));
            ++failedFiles;
            continue;
        }
        const QString localChild = localFolder + "/" + localName;
        if (!isInsideFolder(localChild, componentFolder)) {
            Write_Log("Refused file name from the server - " + printableName(item.path));
            ++failedFiles;
        } else if (item.kind == RemoteWalk::TooDeep) {
            Write_Log("Folder nesting too deep - " + printableName(item.path));
            ++failedFiles;
        } else if (item.kind == RemoteWalk::Loop) {
            Write_Log("Refused folder that loops back - " + printableName(item.path));
            ++failedFiles;
        } else if (item.kind == RemoteWalk::Folder) {
            downloadFolder(index, localChild, code);
        } else {
            // Whatever did not arrive whole ahead (too large, or failed on a helper session) is fetched
            // here, so its errors read and count as before.
            const auto ticket = aheadTickets.constFind(index);
            const FilePrefetcher::Entry ahead =
                ticket != aheadTickets.cend() ? prefetcher->take(*ticket) : FilePrefetcher::Entry();
            const bool arrived =
                ahead.fetched && ahead.status >= 0
                    ? writeFetchedFile(item.path, ahead.bytes, localChild,
                                       ahead.permissions ? ahead.permissions : item.attributes.permissions)
                    : downloadFile(item.path, localChild);
            // Only an installer that arrived whole may run (a failed one leaves nothing new behind).
            if (arrived && code == DriversCode && name.contains(".exe"))
                context->driverInstallers.append(localChild);
        }
        if (!cancelled()) {
            emit Vlaue_Size_All_Soft(toSignalInt(double(item.listedSize)));
            advance(progress, double(item.listedSize), totalSize);
            emit New_Progress_Value(toSignalInt(progress));
        }
    }
    // A file the server no longer lists is not fetched again: what an earlier run left of it goes.
    if (!cancelled() && !sessionLost(session)) {
        QSet<QString> listed;
        for (const int index : walk.node(folder).children)
            listed.insert(localFolder + "/" + QString::fromUtf8(walk.node(index).name));
        partials.removeAllExcept(localFolder, listed);
    }
}

bool Downloader::downloadFile(const QByteArray &remotePath, const QString &localPath) {
    if (!listedInManifest(remotePath, localPath))
        return finishFile(false, localPath, 0);
    // Each wait is watched, so a server that stops answering ends it with an error.
    SftpChannel &channel = *session.sftp;
    SftpChannel::Reply opened;
    QElapsedTimer opening; // about one round trip: tells whether more sessions would help
    opening.start();
    const quint32 openId = channel.open(remotePath);
    if (!openId || !channel.waitFor(openId, opened) || opened.type != SftpChannel::Handle) {
        Write_Log("Error read sftp file - " + (channel.failed() ? channel.errorText() : opened.errorText()));
        ++failedFiles;
        return false;
    }
    const qint64 openMicroseconds = opening.nsecsElapsed() / 1000;
    const QByteArray file = opened.handle;
    quint32 remoteMode = 0;
    qint64 remoteSize = -1;
    qint64 remoteModified = -1;
    SftpChannel::Reply attributes;
    const quint32 statId = channel.fstat(file);
    if (statId && channel.waitFor(statId, attributes) && attributes.type == SftpChannel::Attrs) {
        remoteMode = attributes.attributes.permissions;
        if (attributes.attributes.hasSize)
            remoteSize = attributes.attributes.size;
        remoteModified = attributes.attributes.mtime;
    }

    // The data goes to a partial file beside the target, which replaces the target only when the last
    // byte has arrived: an interrupted fetch leaves the previous file as it was, and the next fetch of
    // the same server file goes on from where this one stopped.
    PartialFile local(localPath, remoteSize, remoteModified);
    if (manifest)
        local.hashContents();
    bool ok = local.open(partials.of(localPath));
    if (!ok)
        Write_Log("Error write remote file - " + local.errorString());
    const qint64 begin = ok ? local.resumedFrom() : 0;
    if (begin > 0 && mode == UpdateMode) {
        advance(progress, double(begin), totalSize);
        emit New_Progress_Value(toSignalInt(progress));
    }
    bool writeFailed = false;
    if (ok && cancelled())
        ok = false;
    if (ok && pool && RangeDownloader::worthSplitting(remoteSize - begin, openMicroseconds)) {
        // A large file far away: its ranges come over every session, the steps still in file order.
        RangeDownloader range(*pool);
        const auto onStep = [&](qint64 bytes, bool written) {
            emit Counter_Data(int(bytes));
            if (!written) {
                writeFailed = true;
                return false;
            }
            if (mode == UpdateMode) {
                advance(progress, double(bytes), totalSize);
                emit New_Progress_Value(toSignalInt(progress));
            }
            return !cancelled();
        };
        lastChunk = range.download(file, remotePath, remoteSize, local.file(), onStep, begin);
        // Logged once every session has let go of the file.
        if (writeFailed)
            Write_Log("Error write remote file - " + local.errorString());
        if (lastChunk < 0)
            Write_Log("Error read sftp file - " + range.errorText());
        ok = lastChunk >= 0 && !range.cancelled();
    } else if (ok) {
        PipelinedReader reader(session, file, begin);
        if (remoteSize >= 0)
            reader.setExpectedSize(remoteSize);
        QByteArray buffer(chunkSize, Qt::Uninitialized);
        while (ok) {
            if (cancelled()) {
                ok = false;
                break;
            }
            lastChunk = reader.read(buffer.data(), chunkSize);
            if (lastChunk == 0)
                break;
            if (lastChunk < 0) {
                Write_Log("Error read sftp file - " + reader.errorText());
                ok = false;
                break;
            }
            emit Counter_Data(int(lastChunk));
            if (local.file().write(buffer.constData(), lastChunk) != lastChunk) {
                // The file is discarded at the first failed write, so reading on would be wasted.
                Write_Log("Error write remote file - " + local.errorString());
                writeFailed = true;
                ok = false;
                break;
            }
            if (mode == UpdateMode) {
                advance(progress, double(lastChunk), totalSize);
                emit New_Progress_Value(toSignalInt(progress));
            }
        }
    }
    channel.forget(channel.close(file)); // not waited for: the bytes are all here
    // Checked against the signed manifest before it replaces anything; bytes that do not match go.
    if (ok && !matchesManifest(remotePath, localPath, local.sha256(), local.hashedBytes())) {
        ok = false;
        writeFailed = true;
    }
    if (ok)
        ok = commitFile([&](QString *error) { return local.commit(error); });
    else if (writeFailed || !local.resumable())
        local.discard(); // bytes that cannot be trusted, or that nothing could continue
    return finishFile(ok, localPath, remoteMode);
}

bool Downloader::writeFetchedFile(const QByteArray &remotePath, const QByteArray &bytes,
                                  const QString &localPath, quint32 remoteMode) {
    // Already in memory whole: checked against the signed manifest before a byte is written.
    if (!listedInManifest(remotePath, localPath) ||
        (manifest &&
         !matchesManifest(remotePath, localPath, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256),
                          bytes.size())))
        return finishFile(false, localPath, 0);
    // The same steps, signals and commit as a file read here.
    QSaveFile local(localPath);
    bool ok = local.open(QIODevice::WriteOnly);
    if (!ok)
        Write_Log("Error write remote file - " + local.errorString());
    qint64 offset = 0;
    while (ok) {
        if (cancelled()) {
            ok = false;
            break;
        }
        lastChunk = qMin<qint64>(chunkSize, bytes.size() - offset);
        if (lastChunk == 0)
            break;
        emit Counter_Data(int(lastChunk));
        if (local.write(bytes.constData() + offset, lastChunk) != lastChunk) {
            Write_Log("Error write remote file - " + local.errorString());
            ok = false;
            break;
        }
        offset += lastChunk;
        if (mode == UpdateMode) {
            advance(progress, double(lastChunk), totalSize);
            emit New_Progress_Value(toSignalInt(progress));
        }
    }
    if (ok) {
        ok = commitFile([&](QString *error) {
            const bool committed = local.commit();
            *error = local.errorString();
            return committed;
        });
    } else {
        local.cancelWriting();
    }
    return finishFile(ok, localPath, remoteMode);
}

// Replaces the target by commit; the running program itself first moves aside, and back if that failed.
bool Downloader::commitFile(const std::function<bool(QString *error)> &commit) {
    const QString programPath = QCoreApplication::applicationFilePath();
    const QString oldProgramPath =
        QCoreApplication::applicationDirPath() + "/" + Platform::oldProgramFileName();
    if (replacingOwnProgram) {
        // The running program moves aside only now that its successor is complete; its old
        // file beside it tells the tray controller to restart.
        QFile::remove(oldProgramPath);
        QFile::rename(programPath, oldProgramPath);
    }
    QString error;
    if (commit(&error))
        return true;
    Write_Log("Error write remote file - " + error);
    if (replacingOwnProgram)
        QFile::rename(oldProgramPath, programPath);
    return false;
}

bool Downloader::finishFile(bool ok, const QString &localPath, quint32 remoteMode) {
    if (!ok) {
        ++failedFiles;
        return false;
    }
    // The file is whole: a part of it left by an earlier, interrupted fetch is no longer wanted.
    partials.removeAllOf(localPath);
    if (remoteMode != 0)
        Platform::applyRemotePermissions(localPath, remoteMode);
    emit Set_NewLog_On_LogList(localPath, 1);
    return true;
}

bool Downloader::waitForProgramExit(const QString &localPath) {
    const QString name = localPath.section('/', -1);
    const qint64 processId = Platform::findProcessByName(name);
    answer.storeRelease(0);
    for (;;) {
        if (cancelled())
            return false;
        // The answer is read before the process is looked at: a user who closes the program and
        // then says OK must find it gone, not be asked again.
        const int current = answer.loadAcquire();
        if (processId == 0 || !Platform::isProcessRunning(processId))
            return true;
        if (current == 2)
            return false;
        if (current == 0) {
            // Marked as asked before the question leaves, so a quick answer cannot be overwritten.
            answer.storeRelease(1);
            emit Close_Application_For_Update(localPath, reinterpret_cast<int *>(&answer));
        } else {
            QThread::msleep(pollPauseMs);
        }
    }
}

bool Downloader::acceptUpdateEntry(const QString &localPath, const QByteArray &remotePath, bool report) {
    bool remoteOk = remotePath.startsWith(QByteArray(remoteRoot) + "/");
    for (const QByteArray &part : remotePath.split('/'))
        if (part == "." || part == "..")
            remoteOk = false;

    // The local file must lie below the recorded folder of an installed component, reached
    // only through names that are safe on every system.
    bool localOk = false;
    const QString path = QDir::fromNativeSeparators(localPath);
    const QStringList components = updatableComponents();
    for (const QString &component : components) {
        QString folder = QDir::fromNativeSeparators(settings()->value("Path/" + component).toString());
        if (folder.isEmpty())
            continue;
        folder = QDir::cleanPath(folder);
        if (!folder.endsWith('/'))
            folder += '/';
        if (!path.startsWith(folder) || !isInsideFolder(path, folder))
            continue;
        localOk = true;
        for (const QString &part : path.mid(folder.size()).split('/'))
            localOk = localOk && isSafeEntryName(part.toUtf8());
        if (localOk)
            break;
    }
    if (remoteOk && localOk)
        return true;
    if (!report)
        return false;
    Write_Log("Refused update entry - " + localPath + " from " + QString::fromUtf8(remotePath));
    ++failedFiles;
    return false;
}

bool Downloader::isOwnProgram(const QString &localPath) const {
    if (!Platform::isProgramFile(localPath))
        return false;
    const QString target = QFileInfo(localPath).canonicalFilePath();
    return !target.isEmpty() &&
           target == QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
}

bool Downloader::establishTrust() {
    PublisherTrust trust;
    const PublisherTrust::Outcome outcome = trust.establish(session);
    manifest = trust.manifest();
    if (outcome == PublisherTrust::NotRequired || outcome == PublisherTrust::Accepted)
        return true;
    closeSftpSession(session);
    if (outcome == PublisherTrust::Lost)
        emit Error_connection();
    else
        emit Publisher_Refused();
    return false;
}

bool Downloader::listedInManifest(const QByteArray &remotePath, const QString &localPath) const {
    if (!manifest || manifest->findRemote(remotePath))
        return true;
    Write_Log("File refused, not in the signed manifest - " + localPath + " from " +
              printableName(remotePath));
    return false;
}

bool Downloader::matchesManifest(const QByteArray &remotePath, const QString &localPath,
                                 const QByteArray &sha256, qint64 size) const {
    if (!manifest)
        return true;
    const PublisherManifest::File *expected = manifest->findRemote(remotePath);
    if (expected && expected->size == size && expected->sha256 == sha256)
        return true;
    Write_Log("File refused, it does not match the signed manifest - " + localPath + " from " +
              printableName(remotePath));
    return false;
}
