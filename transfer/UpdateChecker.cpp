#include "transfer/UpdateChecker.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"
#include "transfer/InstallContext.h"
#include "transfer/SafeNames.h"
#include "transfer/SftpSession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSet>

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

// One check's walk over the server: the session, the component being compared and what was found.
struct CheckWalk {
    SftpSession &session;
    QHash<QString, QString> &found;
    QString componentFolder;      // local install folder of the component
    QByteArray componentRemote;   // the component's folder on the server, canonical
    QSet<QByteArray> openFolders; // canonical server paths of the folders being walked

    bool stopped() const { return sessionTimedOut(session); }
    void compareFolder(const QByteArray &remoteFolder, const QString &localFolder,
                       const QByteArray &canonical, sftp_dir openedFolder, int depth);
    void compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile);
    QByteArray canonicalPath(const QByteArray &path);
};

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
                              const QByteArray &canonical, sftp_dir openedFolder, int depth) {
    if (localFolder.isEmpty() || !QDir(localFolder).exists() || QDir(localFolder).entryInfoList().isEmpty()) {
        Write_Log("Failed to create a directory - " + localFolder);
        if (openedFolder) {
            PendingRequest pending(session);
            sftp_closedir(openedFolder);
        }
        return;
    }
    sftp_dir folder = openedFolder;
    if (!folder) {
        PendingRequest pending(session);
        folder = sftp_opendir(session.sftp, remoteFolder.constData());
    }
    if (!folder)
        return;
    openFolders.insert(canonical);

    while (!stopped()) {
        sftp_attributes entry;
        {
            PendingRequest pending(session);
            entry = sftp_readdir(session.sftp, folder);
        }
        if (!entry)
            break;
        const QByteArray name(entry->name ? entry->name : "");
        const bool isLink = entry->type == SSH_FILEXFER_TYPE_SYMLINK;
        qint32 size = qint32(entry->size);
        sftp_attributes_free(entry);

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
        if (isLink) {
            // A link may point anywhere on the server: follow it only inside the component's folder.
            childCanonical = canonicalPath(remoteChild);
            if (childCanonical.isEmpty() ||
                (childCanonical != componentRemote && !childCanonical.startsWith(componentRemote + '/'))) {
                Write_Log("Link out of the folder refused - " + QString::fromUtf8(remoteChild) + " -> " +
                          QString::fromUtf8(childCanonical));
                continue;
            }
        }

        sftp_dir childFolder;
        {
            PendingRequest pending(session);
            childFolder = sftp_opendir(session.sftp, remoteChild.constData());
        }
        if (childFolder) {
            if (openFolders.contains(childCanonical) || depth >= maxFolderDepth) {
                Write_Log("Folder loop skipped - " + QString::fromUtf8(remoteChild));
                PendingRequest pending(session);
                sftp_closedir(childFolder);
                continue;
            }
            compareFolder(remoteChild, localChild, childCanonical, childFolder, depth + 1);
            continue;
        }
        if (isLink) {
            // The listing gives the link's own size; the file's is the target's.
            PendingRequest pending(session);
            if (sftp_attributes target = sftp_stat(session.sftp, remoteChild.constData())) {
                size = qint32(target->size);
                sftp_attributes_free(target);
            }
        }
        if (!stopped())
            compareFile(remoteChild, size, localChild);
    }

    openFolders.remove(canonical);
    PendingRequest pending(session);
    sftp_closedir(folder);
}

void CheckWalk::compareFile(const QByteArray &remoteFile, qint32 size, const QString &localFile) {
    const QString entryValue = QString::fromUtf8(remoteFile) + '|' + QString::number(size);
    if (!QFile::exists(localFile)) {
        found.insert(localFile, entryValue);
        return;
    }

    // Both sides are hashed while they are read, so no file is ever held whole in memory.
    QCryptographicHash localHash(QCryptographicHash::Md5);
    QFile local(localFile);
    if (local.open(QIODevice::ReadOnly)) {
        QByteArray chunk;
        while (!(chunk = local.read(localReadSize)).isEmpty())
            localHash.addData(chunk);
    }

    sftp_file remote;
    {
        PendingRequest pending(session);
        remote = sftp_open(session.sftp, remoteFile.constData(), 0, 0);
    }
    if (!remote)
        return;
    QCryptographicHash remoteHash(QCryptographicHash::Md5);
    QByteArray buffer(remoteReadSize, Qt::Uninitialized);
    for (;;) {
        ssize_t count;
        {
            PendingRequest pending(session);
            count = sftp_read(remote, buffer.data(), size_t(buffer.size()));
        }
        if (count <= 0)
            break;
        remoteHash.addData(QByteArrayView(buffer.constData(), count));
    }
    if (remoteHash.result().toHex() != localHash.result().toHex())
        found.insert(localFile, entryValue);
    PendingRequest pending(session);
    sftp_close(remote);
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

    QHash<QString, QString> found;
    const QMap<QString, QString> components = collectInstalledComponents();
    for (auto it = components.cbegin(); it != components.cend() && !sessionTimedOut(session); ++it) {
        if (it.value().isEmpty())
            continue;
        const QByteArray remoteFolder = it.value().toUtf8();
        CheckWalk walk{session, found, it.key(), remoteFolder, {}};
        const QByteArray canonical = walk.canonicalPath(remoteFolder);
        if (!canonical.isEmpty())
            walk.componentRemote = canonical;
        walk.compareFolder(remoteFolder, it.key(), walk.componentRemote, nullptr, 0);
    }

    // A server that stopped answering leaves the comparison unfinished: report it as unreachable.
    const bool timedOut = sessionTimedOut(session);
    closeSftpSession(session);
    if (timedOut) {
        result->insert("Error Connect", "Error");
    } else {
        for (auto it = found.cbegin(); it != found.cend(); ++it)
            result->insert(it.key(), it.value());
    }
    emit Finish_Check_Update();
}

QString md5Hex(const QByteArray &bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}
