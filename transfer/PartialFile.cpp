#include "transfer/PartialFile.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const QRegularExpression &partialName() {
    static const QRegularExpression pattern(QStringLiteral("^(.+)\\.(\\d+)-(\\d+)\\.part$"));
    return pattern;
}

QString partialPathFor(const QString &targetPath, qint64 size, qint64 modified) {
    return QStringLiteral("%1.%2-%3.part").arg(targetPath).arg(size).arg(modified);
}

} // namespace

PartialFile::PartialFile(const QString &targetPath, qint64 remoteSize, qint64 remoteModified)
    : targetPath(targetPath), remoteSize(remoteSize), remoteModified(remoteModified),
      data(resumable() ? partialPathFor(targetPath, remoteSize, remoteModified)
                       : partialPathFor(targetPath, 0, 0)) {}

PartialFile::~PartialFile() {
    data.close();
}

bool PartialFile::open(const QStringList &existing) {
    for (const QString &other : existing) {
        if (other != data.fileName() || !resumable())
            QFile::remove(other);
    }
    const bool fresh = !data.exists();
    if (!data.open(QIODevice::ReadWrite))
        return false;
    resumed = data.size();
    // Longer than the server file: not a beginning of it after all.
    if (resumed > remoteSize || !resumable()) {
        resumed = 0;
        if (!data.resize(0))
            return false;
    }
    // The bytes an earlier fetch left are read once, so the digest covers the whole file.
    if (data.isHashing() && resumed > 0 && !data.hashExisting(resumed))
        return false;
    if (fresh && QFileInfo::exists(targetPath))
        data.setPermissions(QFile::permissions(targetPath)); // as the replaced file had them
    return data.seek(resumed);
}

bool PartialFile::commit(QString *error) {
    if (!data.flush()) {
        *error = data.errorString();
        return false;
    }
    data.close();
    return Platform::replaceFile(data.fileName(), targetPath, error);
}

void PartialFile::discard() {
    data.close();
    data.remove();
}

QString PartialFile::targetOf(const QString &partialPath) {
    const QFileInfo info(partialPath);
    const QRegularExpressionMatch match = partialName().match(info.fileName());
    return match.hasMatch() ? info.path() + '/' + match.captured(1) : QString();
}

QStringList &PartialFile::Index::folderList(const QString &folder) {
    auto found = folders.find(folder);
    if (found == folders.end()) {
        QStringList paths;
        const QStringList names =
            QDir(folder).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
        for (const QString &name : names) {
            if (partialName().match(name).hasMatch())
                paths << folder + '/' + name;
        }
        found = folders.insert(folder, paths);
    }
    return *found;
}

QStringList PartialFile::Index::of(const QString &targetPath) {
    QStringList matching;
    for (const QString &path : folderList(QFileInfo(targetPath).path())) {
        if (targetOf(path) == targetPath)
            matching << path;
    }
    return matching;
}

void PartialFile::Index::removeAllOf(const QString &targetPath) {
    removeWhere(QFileInfo(targetPath).path(), [&](const QString &target) { return target == targetPath; });
}

void PartialFile::Index::removeAllExcept(const QString &folder, const QSet<QString> &targetPaths) {
    removeWhere(folder, [&](const QString &target) { return !targetPaths.contains(target); });
}

void PartialFile::Index::removeWhere(const QString &folder,
                                     const std::function<bool(const QString &)> &unwanted) {
    QStringList &paths = folderList(folder);
    for (auto it = paths.begin(); it != paths.end();) {
        if (unwanted(targetOf(*it))) {
            QFile::remove(*it);
            it = paths.erase(it);
        } else {
            ++it;
        }
    }
}
