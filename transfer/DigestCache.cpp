#include "transfer/DigestCache.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <atomic>

namespace {
constexpr int formatVersion = 1;
std::atomic<qint64> testClockMs{0}; // 0: the system clock

// A stored digest is 32 (MD5) or 64 (SHA-256) hexadecimal digits; anything else reads as none.
QByteArray digestFrom(const QJsonValue &value, int rawSize = 16) {
    const QByteArray hex = value.toString().toLatin1();
    const QByteArray raw = QByteArray::fromHex(hex);
    return raw.size() == rawSize && raw.toHex() == hex.toLower() ? raw : QByteArray();
}

FileStamp stampFrom(const QJsonObject &object, const QString &prefix) {
    return {object.value(prefix + "Size").toInteger(-1), object.value(prefix + "Modified").toInteger(-1)};
}
} // namespace

const QString DigestCache::fileName = QStringLiteral("UpdateCheckCache.json");

DigestCache::DigestCache(const QString &filePath) : path(filePath) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        document.object().value("version").toInt() != formatVersion)
        return;
    loaded = document.object();
    const QJsonObject files = loaded.value("files").toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QJsonObject object = it.value().toObject();
        Entry entry{object.value("remote").toString().toUtf8(),
                    stampFrom(object, "server"),
                    stampFrom(object, "local"),
                    digestFrom(object.value("serverMd5")),
                    digestFrom(object.value("localMd5")),
                    QDateTime::fromString(object.value("compared").toString(), Qt::ISODateWithMs),
                    digestFrom(object.value("localSha256"), 32)};
        // A damaged entry is dropped: its file is then compared in full.
        const bool md5Pair = entry.server.known() && !entry.serverMd5.isEmpty() && !entry.localMd5.isEmpty();
        if (!entry.remotePath.isEmpty() && entry.local.known() && (md5Pair || !entry.localSha256.isEmpty()) &&
            entry.compared.isValid())
            previous.insert(it.key(), entry);
    }
}

DigestCache::Entry DigestCache::reusable(const QString &localPath, const QByteArray &remotePath,
                                         const FileStamp &server, const FileStamp &local) const {
    const auto found = previous.constFind(localPath);
    if (found == previous.cend() || found->remotePath != remotePath)
        return {};
    const QDateTime current = now();
    if (found->compared > current || found->compared.addDays(trustedDays) <= current)
        return {};
    Entry entry = *found;
    if (!server.known() || !(server == entry.server))
        entry.serverMd5.clear();
    if (!local.known() || !(local == entry.local))
        entry.localMd5.clear();
    return entry;
}

QByteArray DigestCache::reusableSha256(const QString &localPath, const FileStamp &local,
                                       QDateTime *hashed) const {
    const auto found = previous.constFind(localPath);
    const QDateTime current = now();
    if (found == previous.cend() || !local.known() || !(local == found->local) || found->compared > current ||
        found->compared.addDays(trustedDays) <= current)
        return {};
    *hashed = found->compared;
    return found->localSha256;
}

void DigestCache::record(const QString &localPath, const Entry &entry) {
    recorded.insert(localPath, entry);
}

QJsonObject DigestCache::recordedJson() const {
    QJsonObject files;
    for (auto it = recorded.cbegin(); it != recorded.cend(); ++it) {
        files.insert(it.key(), QJsonObject{
                                   {"remote", QString::fromUtf8(it->remotePath)},
                                   {"serverSize", it->server.size},
                                   {"serverModified", it->server.modified},
                                   {"localSize", it->local.size},
                                   {"localModified", it->local.modified},
                                   {"serverMd5", QString::fromLatin1(it->serverMd5.toHex())},
                                   {"localMd5", QString::fromLatin1(it->localMd5.toHex())},
                                   {"compared", it->compared.toUTC().toString(Qt::ISODateWithMs)},
                                   {"localSha256", QString::fromLatin1(it->localSha256.toHex())},
                               });
    }
    return QJsonObject{{"version", formatVersion}, {"files", files}};
}

bool DigestCache::save() const {
    const QJsonObject root = recordedJson();
    if (root == loaded)
        return true;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    return file.commit();
}

QDateTime DigestCache::now() {
    const qint64 testMs = testClockMs.load();
    return testMs != 0 ? QDateTime::fromMSecsSinceEpoch(testMs, Qt::UTC) : QDateTime::currentDateTimeUtc();
}

void setDigestCacheClockForTesting(const QDateTime &now) {
    testClockMs.store(now.isValid() ? now.toMSecsSinceEpoch() : 0);
}
