#include "transfer/UpdateChecker.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"
#include "transfer/DigestCache.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "transfer/SafeNames.h"
#include "transfer/sftp/FilePrefetcher.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/SftpSession.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QVector>

#include <fcntl.h>

namespace {
constexpr int remoteReadSize = 131070;
constexpr qint64 localReadSize = 256 * 1024;
// Deeper than any real package; a server that keeps inventing folders is cut off here.
constexpr int maxFolderDepth = 64;

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

// The size and time the server's listing gave; unknown when it sent none.
FileStamp serverStamp(const sftp_attributes entry) {
    FileStamp stamp;
    if (entry->flags & SSH_FILEXFER_ATTR_SIZE)
        stamp.size = qint64(entry->size);
    if (entry->flags & SSH_FILEXFER_ATTR_ACMODTIME)
        stamp.modified = entry->mtime;
    return stamp;
}

// One entry of a server folder, kept from the listing until it is compared.
struct ListedEntry {
    QByteArray name;
    bool isLink;
    bool isRegular;
    qint32 size;
    FileStamp server;
    int ticket = -1;          // its hash-ahead ticket, or -1 when it is not hashed ahead
    FileStamp local;          // regular files with a local copy: that copy's stamp when listed
    DigestCache::Entry known; // and the digests the cache still holds for the pair
};

// One check's walk over the server: the session, the component being compared and what was found.
struct CheckWalk {
    SftpSession &session;
    QHash<QString, QString> &found;
    QString componentFolder;      // local install folder of the component
    QByteArray componentRemote;   // the component's folder on the server, canonical
    QSet<QByteArray> openFolders; // canonical server paths of the folders being walked
    FilePrefetcher *prefetcher = nullptr;
    DigestCache *cache = nullptr;

    bool stopped() const { return sessionTimedOut(session); }
    bool acceptable(const QByteArray &name, const QString &localChild) const;
    void compareFolder(const QByteArray &remoteFolder, const QString &localFolder,
                       const QByteArray &canonical, int depth);
    void compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile,
                     const FilePrefetcher::Entry &ahead, const ListedEntry &item);
    QByteArray canonicalPath(const QByteArray &path);
};

bool CheckWalk::acceptable(const QByteArray &name, const QString &localChild) const {
    return !isExcludedName(name) && !isSkippedEntry(name) && unsafeNameReason(name).isEmpty() &&
           isInsideFolder(localChild, componentFolder);
}

QByteArray CheckWalk::canonicalPath(const QByteArray &path) {
    PendingRequest pending(session);
    char *resolved = sftp_canonicalize_path(session.sftp, path.constData());
    if (!resolved)
        return {};
    const QByteArray result(resolved);
    ssh_string_free_char(resolved);
    return result;
}

void CheckWalk::compareFolder(const QByteArray &remoteFolder, const QString &localFolder,
                              const QByteArray &canonical, int depth) {
    // Only the component's own folder must exist: a folder new on the server brings its files as updates.
    if (depth == 0 && (localFolder.isEmpty() || !QDir(localFolder).exists() ||
                       QDir(localFolder).entryInfoList().isEmpty())) {
        Write_Log("Failed to create a directory - " + localFolder);
        return;
    }
    sftp_dir folder = openRemoteFolder(session, remoteFolder.constData());
    if (!folder)
        return;
    // The whole listing first: its files are then hashed ahead on other sessions while this one compares.
    QVector<ListedEntry> listing;
    while (!stopped()) {
        sftp_attributes entry = readRemoteEntry(session, folder);
        if (!entry)
            break;
        ListedEntry item;
        item.name = QByteArray(entry->name ? entry->name : "");
        item.isLink = entry->type == SSH_FILEXFER_TYPE_SYMLINK;
        item.isRegular = entry->type == SSH_FILEXFER_TYPE_REGULAR;
        item.size = qint32(entry->size);
        item.server = serverStamp(entry);
        listing.append(item);
        sftp_attributes_free(entry);
    }
    closeRemoteFolder(session, folder);
    // Links are left to the walk, which must first see where they lead. A file whose server digest
    // the cache still holds is not asked for at all.
    for (ListedEntry &item : listing) {
        const QString localChild = localFolder + '/' + QString::fromUtf8(item.name);
        if (item.isLink || !acceptable(item.name, localChild))
            continue;
        const QFileInfo local(localChild);
        const QByteArray remoteChild = remoteFolder + '/' + item.name;
        if (item.isRegular && local.isFile()) {
            item.local = localStamp(local);
            item.known = cache->reusable(localChild, remoteChild, item.server, item.local);
            if (!item.known.serverMd5.isEmpty())
                continue;
        }
        item.ticket =
            prefetcher->add(remoteChild, qMax<qint32>(item.size, 0), local.exists(), item.isRegular);
    }
    openFolders.insert(canonical);

    for (const ListedEntry &item : std::as_const(listing)) {
        if (stopped())
            break;
        const QByteArray &name = item.name;
        qint32 size = item.size;
        if (isExcludedName(name) || isSkippedEntry(name))
            continue;
        const QByteArray remoteChild = remoteFolder + '/' + name;
        const QString unsafe = unsafeNameReason(name);
        const QString localChild = localFolder + '/' + QString::fromUtf8(name);
        if (!unsafe.isEmpty() || !isInsideFolder(localChild, componentFolder)) {
            Write_Log("Unsafe name refused - " + QString::fromUtf8(remoteFolder) + '/' + printableName(name) +
                      " (" + (unsafe.isEmpty() ? QString("outside the install folder") : unsafe) + ")");
            continue;
        }

        QByteArray childCanonical = canonical + '/' + name;
        if (item.isLink) {
            // A link may point anywhere on the server: follow it only inside the component's folder.
            childCanonical = canonicalPath(remoteChild);
            if (childCanonical.isEmpty() ||
                (childCanonical != componentRemote && !childCanonical.startsWith(componentRemote + '/'))) {
                Write_Log("Link out of the folder refused - " + QString::fromUtf8(remoteChild) + " -> " +
                          QString::fromUtf8(childCanonical));
                continue;
            }
        }

        FilePrefetcher::Entry ahead;
        bool isFolder = false;
        if (item.ticket >= 0) {
            ahead = prefetcher->take(item.ticket);
            isFolder = ahead.isFolder;
        } else if (item.isRegular) {
            // Known from the cache: no folder test needed.
        } else if (sftp_dir childFolder = openRemoteFolder(session, remoteChild.constData())) {
            closeRemoteFolder(session, childFolder);
            isFolder = true;
        }
        if (isFolder) {
            if (openFolders.contains(childCanonical) || depth >= maxFolderDepth) {
                Write_Log("Folder loop skipped - " + QString::fromUtf8(remoteChild));
                continue;
            }
            compareFolder(remoteChild, localChild, childCanonical, depth + 1);
            continue;
        }
        if (item.isLink) {
            // The listing gives the link's own size; the file's is the target's.
            PendingRequest pending(session);
            if (sftp_attributes target = sftp_stat(session.sftp, remoteChild.constData())) {
                size = qint32(target->size);
                sftp_attributes_free(target);
            }
        }
        if (!stopped())
            compareFile(remoteChild, size, localChild, ahead, item);
    }

    openFolders.remove(canonical);
}

void CheckWalk::compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile,
                            const FilePrefetcher::Entry &ahead, const ListedEntry &item) {
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
        sftp_file remote;
        {
            PendingRequest pending(session);
            remote = sftp_open(session.sftp, remoteFile.constData(), O_RDONLY, 0);
        }
        if (!remote)
            return;
        QCryptographicHash remoteHash(QCryptographicHash::Md5);
        {
            PipelinedReader reader(session, remote);
            reader.setExpectedSize(qMax<qint32>(size, 0));
            QByteArray buffer(remoteReadSize, Qt::Uninitialized);
            qint64 count;
            while ((count = reader.read(buffer.data(), remoteReadSize)) > 0)
                remoteHash.addData(QByteArrayView(buffer.constData(), count));
            remoteComplete = count == 0;
        }
        {
            PendingRequest pending(session);
            sftp_close(remote);
        }
        remoteDigest = remoteHash.result();
    }
    if (remoteDigest != localDigest)
        found.insert(localFile, entryValue);

    // Only whole reads are remembered, and only against a server time to notice a change by.
    if (localComplete && remoteComplete && item.isRegular && item.server.known()) {
        cache->record(localFile, {remoteFile,
                                  item.server,
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
        for (auto it = components.cbegin(); it != components.cend() && !sessionTimedOut(session); ++it) {
            if (it.value().isEmpty())
                continue;
            const QByteArray remoteFolder = it.value().toUtf8();
            CheckWalk walk{session, found, it.key(), remoteFolder, {}, &prefetcher, &cache};
            const QByteArray canonical = walk.canonicalPath(remoteFolder);
            if (!canonical.isEmpty())
                walk.componentRemote = canonical;
            walk.compareFolder(remoteFolder, it.key(), walk.componentRemote, 0);
        }
    }

    // A server that stopped answering leaves the comparison unfinished: report it as unreachable.
    const bool timedOut = sessionTimedOut(session);
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
