#include "transfer/UpdateChecker.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"
#include "transfer/DigestCache.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "transfer/RemoteWalk.h"
#include "transfer/SafeNames.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/SftpChannel.h"
#include "transfer/sftp/SftpSession.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QVector>

namespace {
constexpr int remoteReadSize = 131070;
constexpr qint64 localReadSize = 256 * 1024;

bool isExcludedName(const QByteArray &name) {
    static const char *const excluded[] = {"settings.", "config.", "deviceFolder", ".db", ".cfg"};
    for (const char *part : excluded) {
        if (name.contains(part))
            return true;
    }
    return false;
}

// The local file's MD5, read chunk by chunk; the digest of what could be read. complete tells
// whether that was the whole file.
QByteArray localMd5(const QString &path, bool &complete) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    QFile local(path);
    complete = local.open(QIODevice::ReadOnly);
    if (complete) {
        QByteArray chunk;
        while (!(chunk = local.read(localReadSize)).isEmpty())
            hash.addData(chunk);
        complete = local.error() == QFileDevice::NoError;
    }
    return hash.result();
}

FileStamp localStamp(const QFileInfo &file) {
    return {file.size(), file.lastModified().toMSecsSinceEpoch()};
}

// The size and time the server gave; unknown when it sent none.
FileStamp serverStamp(const SftpChannel::Attributes &attributes) {
    FileStamp stamp;
    if (attributes.hasSize)
        stamp.size = attributes.size;
    if (attributes.hasTimes)
        stamp.modified = attributes.mtime;
    return stamp;
}

// One file of the walk, kept from the walk until it is compared.
struct ListedEntry {
    int ticket = -1;          // its hash-ahead ticket, or -1 when it is not hashed ahead
    FileStamp local;          // regular files with a local copy: that copy's stamp when listed
    DigestCache::Entry known; // and the digests the cache still holds for the pair
};

// One check's pass over the walk of a component: what was found, and the rules of the check.
struct CheckWalk {
    SftpSession &session;
    QHash<QString, QString> &found;
    QString componentFolder; // local install folder of the component
    const RemoteWalk &walk;
    FilePrefetcher *prefetcher = nullptr;
    DigestCache *cache = nullptr;
    QHash<int, ListedEntry> listed; // walk node -> what the check knows of it

    bool acceptable(const QByteArray &name, const QString &localChild) const;
    void queueAhead(int folder, const QString &localFolder);
    void compareFolder(int folder, const QString &localFolder);
    void compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile,
                     const FilePrefetcher::Entry &ahead, const RemoteWalk::Node &node,
                     const ListedEntry &item);
};

bool CheckWalk::acceptable(const QByteArray &name, const QString &localChild) const {
    return !isExcludedName(name) && !isSkippedEntry(name) && unsafeNameReason(name).isEmpty() &&
           isInsideFolder(localChild, componentFolder);
}

// Every file with a local copy goes to the hash-ahead, in the order of the comparison. A file whose
// server digest the cache still holds is not asked for at all.
void CheckWalk::queueAhead(int folder, const QString &localFolder) {
    for (const int index : walk.node(folder).children) {
        const RemoteWalk::Node &node = walk.node(index);
        const QString localChild = localFolder + '/' + QString::fromUtf8(node.name);
        if (!acceptable(node.name, localChild))
            continue;
        if (node.kind == RemoteWalk::Folder) {
            queueAhead(index, localChild);
            continue;
        }
        if (node.kind != RemoteWalk::File)
            continue;
        const QFileInfo local(localChild);
        if (!local.exists())
            continue;
        ListedEntry &item = listed[index];
        if (node.listedRegular && local.isFile()) {
            item.local = localStamp(local);
            item.known = cache->reusable(localChild, node.path, serverStamp(node.attributes), item.local);
            if (!item.known.serverMd5.isEmpty())
                continue;
        }
        item.ticket = prefetcher->add(node.path, qMax<qint64>(node.attributes.size, 0));
    }
}

void CheckWalk::compareFolder(int folder, const QString &localFolder) {
    for (const int index : walk.node(folder).children) {
        if (sessionLost(session))
            break;
        const RemoteWalk::Node &node = walk.node(index);
        const QByteArray &name = node.name;
        if (isExcludedName(name) || node.kind == RemoteWalk::Skipped)
            continue;
        const QByteArray &remoteChild = node.path;
        const QString localChild = localFolder + '/' + QString::fromUtf8(name);
        const QString unsafe = node.unsafeReason;
        if (!unsafe.isEmpty() || !isInsideFolder(localChild, componentFolder)) {
            Write_Log("Unsafe name refused - " + QString::fromUtf8(walk.node(folder).path) + '/' +
                      printableName(name) + " (" +
                      (unsafe.isEmpty() ? QString("outside the install folder") : unsafe) + ")");
            continue;
        }
        switch (node.kind) {
        case RemoteWalk::LinkOutside:
            // A link may point anywhere on the server: it is followed only inside the component's folder.
            Write_Log("Link out of the folder refused - " + QString::fromUtf8(remoteChild) + " -> " +
                      QString::fromUtf8(node.canonical));
            break;
        case RemoteWalk::Loop:
        case RemoteWalk::TooDeep:
            Write_Log("Folder loop skipped - " + QString::fromUtf8(remoteChild));
            break;
        case RemoteWalk::Folder:
            compareFolder(index, localChild);
            break;
        case RemoteWalk::File: {
            const ListedEntry item = listed.value(index);
            const FilePrefetcher::Entry ahead =
                item.ticket >= 0 ? prefetcher->take(item.ticket) : FilePrefetcher::Entry();
            // A link's listing gives the link's own size; the file's is the target's.
            compareFile(remoteChild, qint32(node.attributes.size), localChild, ahead, node, item);
            break;
        }
        default:
            break;
        }
    }
}

void CheckWalk::compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile,
                            const FilePrefetcher::Entry &ahead, const RemoteWalk::Node &node,
                            const ListedEntry &item) {
    const QString entryValue = QString::fromUtf8(remoteFile) + '|' + QString::number(size);
    if (!QFile::exists(localFile)) {
        found.insert(localFile, entryValue);
        return;
    }

    // A side whose stamp is unchanged since the last check keeps its digest; the other is read.
    // Both sides are hashed while they are read, so no file is ever held whole in memory.
    const DigestCache::Entry &known = item.known;
    const FileStamp local = item.local.known() ? item.local : localStamp(QFileInfo(localFile));
    bool localComplete = true;
    const bool localRead = known.localMd5.isEmpty();
    const QByteArray localDigest = localRead ? localMd5(localFile, localComplete) : known.localMd5;
    const bool remoteRead = known.serverMd5.isEmpty();
    bool remoteComplete = true;
    QByteArray remoteDigest = remoteRead ? ahead.md5 : known.serverMd5;
    if (remoteRead && (!ahead.fetched || ahead.status < 0)) {
        // Not hashed ahead, or it failed on a helper session: hashed here, so failures count as before.
        SftpChannel &channel = *session.sftp;
        SftpChannel::Reply opened;
        const quint32 openId = channel.open(remoteFile);
        if (!openId || !channel.waitFor(openId, opened) || opened.type != SftpChannel::Handle)
            return;
        QCryptographicHash remoteHash(QCryptographicHash::Md5);
        {
            PipelinedReader reader(session, opened.handle);
            reader.setExpectedSize(qMax<qint32>(size, 0));
            QByteArray buffer(remoteReadSize, Qt::Uninitialized);
            qint64 count;
            while ((count = reader.read(buffer.data(), remoteReadSize)) > 0)
                remoteHash.addData(QByteArrayView(buffer.constData(), count));
            remoteComplete = count == 0;
        }
        channel.forget(channel.close(opened.handle));
        remoteDigest = remoteHash.result();
    }
    if (remoteDigest != localDigest)
        found.insert(localFile, entryValue);

    // Only whole reads are remembered, and only against a server time to notice a change by.
    const FileStamp server = serverStamp(node.attributes);
    if (localComplete && remoteComplete && node.listedRegular && server.known()) {
        cache->record(localFile, {remoteFile,
                                  server,
                                  local,
                                  remoteDigest,
                                  localDigest,
                                  localRead && remoteRead ? DigestCache::now() : known.compared,
                                  {}});
    }
}

// The local file's SHA-256, read chunk by chunk; empty when it cannot be read whole.
QByteArray localSha256(const QString &path) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QFile local(path);
    if (!local.open(QIODevice::ReadOnly))
        return {};
    QByteArray chunk;
    while (!(chunk = local.read(localReadSize)).isEmpty())
        hash.addData(chunk);
    return local.error() == QFileDevice::NoError ? hash.result() : QByteArray();
}

// With a signed manifest the check reads nothing else from the server: every file it lists below an
// installed component is compared with the local copy by SHA-256, under the same name rules as the walk.
void compareWithManifest(const PublisherManifest &manifest, const QString &localFolder,
                         const QByteArray &remoteFolder, QHash<QString, QString> &found, DigestCache &cache) {
    if (localFolder.isEmpty() || !QDir(localFolder).exists() || QDir(localFolder).entryInfoList().isEmpty()) {
        Write_Log("Failed to create a directory - " + localFolder);
        return;
    }
    const QByteArray prefix = remoteFolder + '/';
    const QByteArray root = QByteArray(remoteRoot) + '/';
    for (auto it = manifest.entries().cbegin(); it != manifest.entries().cend(); ++it) {
        const QByteArray remoteFile = root + it.key();
        if (!remoteFile.startsWith(prefix))
            continue;
        const QByteArray relative = remoteFile.mid(prefix.size());
        bool acceptable = true;
        for (const QByteArray &part : relative.split('/'))
            acceptable =
                acceptable && !isExcludedName(part) && !isSkippedEntry(part) && isSafeEntryName(part);
        const QString localFile = localFolder + '/' + QString::fromUtf8(relative);
        if (!acceptable || !isInsideFolder(localFile, localFolder))
            continue;
        const QString entryValue = QString::fromUtf8(remoteFile) + '|' + QString::number(it->size);
        const QFileInfo local(localFile);
        if (!local.isFile()) {
            found.insert(localFile, entryValue);
            continue;
        }
        const FileStamp stamp = localStamp(local);
        QDateTime hashed;
        QByteArray digest = cache.reusableSha256(localFile, stamp, &hashed);
        if (digest.isEmpty()) {
            digest = localSha256(localFile);
            hashed = DigestCache::now();
        }
        if (digest != it->sha256)
            found.insert(localFile, entryValue);
        if (!digest.isEmpty()) {
            DigestCache::Entry entry;
            entry.remotePath = remoteFile;
            entry.local = stamp;
            entry.localSha256 = digest;
            entry.compared = hashed;
            cache.record(localFile, entry);
        }
    }
}

// Install folder -> server folder. Keyed by folder, so components without one share the empty key.
QMap<QString, QString> collectInstalledComponents() {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    QMap<QString, QString> components;
    for (const QString &name : updatableComponents())
        components.insert(settings->value("Path/" + name).toString(), QString(remoteRoot) + '/' + name);
    return components;
}
} // namespace

UpdateChecker::UpdateChecker(QHash<QString, QString> *result) : result(result) {}

UpdateChecker::~UpdateChecker() = default;

void UpdateChecker::Checking_Updates_On_Server() {
    SftpSession session;
    if (!openSftpSession(session, SessionUser::Checker)) {
        result->insert("Error Connect", "Error");
        emit Finish_Check_Update();
        return;
    }

    // With a publisher key the signed manifest comes first; a refused one ends the check here.
    PublisherTrust trust;
    const PublisherTrust::Outcome trusted = trust.establish(session);
    if (trusted == PublisherTrust::Refused || trusted == PublisherTrust::Lost) {
        closeSftpSession(session);
        result->insert(trusted == PublisherTrust::Refused ? "Error Signature" : "Error Connect", "Error");
        emit Finish_Check_Update();
        return;
    }

    QHash<QString, QString> found;
    bool incomplete = false;
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    DigestCache cache(QFileInfo(settings->fileName()).dir().filePath(DigestCache::fileName));
    if (trust.manifest()) {
        const QMap<QString, QString> components = collectInstalledComponents();
        for (auto it = components.cbegin(); it != components.cend(); ++it) {
            if (!it.value().isEmpty())
                compareWithManifest(*trust.manifest(), it.key(), it.value().toUtf8(), found, cache);
        }
    } else {
        // Pipelined reads on up to four sessions keep the link busy; one read at a time waits a round trip.
        SftpSessionPool pool(
            session, [](SftpSession &helper) { return openSftpSession(helper, SessionUser::Checker); });
        FilePrefetcher prefetcher(pool, FilePrefetcher::HashMd5);
        const QMap<QString, QString> components = collectInstalledComponents();
        for (auto it = components.cbegin(); it != components.cend() && !sessionLost(session); ++it) {
            if (it.value().isEmpty())
                continue;
            // Only the component's own folder must exist: a folder new on the server brings its files as
            // updates.
            const QString localFolder = it.key();
            if (localFolder.isEmpty() || !QDir(localFolder).exists() ||
                QDir(localFolder).entryInfoList().isEmpty()) {
                Write_Log("Failed to create a directory - " + localFolder);
                continue;
            }
            RemoteWalk walk(session);
            if (!walk.walk(it.value().toUtf8())) {
                if (walk.rootMissing() || sessionLost(session))
                    continue;
                // A folder that could not be listed whole: what it holds is unknown, so is the check.
                Write_Log("Error read sftp folder - " + walk.error());
                incomplete = true;
                break;
            }
            CheckWalk check{session, found, localFolder, walk, &prefetcher, &cache, {}};
            check.queueAhead(0, localFolder);
            check.compareFolder(0, localFolder);
        }
    }

    // A server that stopped answering, broke the protocol or could not list a folder leaves the comparison
    // unfinished: report it as unreachable.
    const bool timedOut = sessionLost(session) || incomplete;
    closeSftpSession(session);
    if (timedOut) {
        result->insert("Error Connect", "Error");
    } else {
        for (auto it = found.cbegin(); it != found.cend(); ++it)
            result->insert(it.key(), it.value());
        // Without the cache every check reads everything again, as it did before there was one.
        if (!cache.save())
            Write_Log("Failed to save the check cache - " + cache.filePath());
    }
    emit Finish_Check_Update();
}

QString md5Hex(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}
