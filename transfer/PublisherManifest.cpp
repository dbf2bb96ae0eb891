#include "transfer/PublisherManifest.h"

#include "transfer/sftp/SftpSession.h"

#include <QList>

#include <algorithm>

const QByteArray PublisherManifest::fileName = QByteArrayLiteral("quillon-manifest");
const QByteArray PublisherManifest::signatureFileName = QByteArrayLiteral("quillon-manifest.sig");
const QByteArray PublisherManifest::signatureNamespace = QByteArrayLiteral("quillon-manifest");

namespace {
const QByteArray header = QByteArrayLiteral("quillon-manifest 1");
constexpr quint64 maxSerial = quint64(1) << 62;
constexpr qint64 maxFileSize = qint64(1) << 50;

// A decimal number without sign or leading zeros, at most `limit`.
bool readNumber(const QByteArray &text, quint64 limit, quint64 *value) {
    if (text.isEmpty() || text.size() > 19 || (text.size() > 1 && text.startsWith('0')))
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    bool ok = false;
    *value = text.toULongLong(&ok);
    return ok && *value <= limit;
}

// A path below the root: no empty, "." or ".." part, no leading "/", no control characters.
bool acceptablePath(const QByteArray &path) {
    if (path.isEmpty() || path.size() > PublisherManifest::maxPathLength)
        return false;
    for (char c : path)
        if (uchar(c) < 0x20 || c == 0x7f)
            return false;
    for (const QByteArray &part : path.split('/'))
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    return true;
}
} // namespace

bool PublisherManifest::refuse(const QString &why) {
    reason = why;
    files.clear();
    serialNumber = 0;
    return false;
}

bool PublisherManifest::parse(const QByteArray &text) {
    files.clear();
    if (text.size() > maxSize)
        return refuse("the manifest is too large");
    if (!text.endsWith('\n'))
        return refuse("the manifest does not end with a line end");
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    if (lines.value(0) != header)
        return refuse("not a manifest of a known format");
    const QByteArray serialLine = lines.value(1);
    if (!serialLine.startsWith("serial ") || !readNumber(serialLine.mid(7), maxSerial, &serialNumber))
        return refuse("the manifest has no valid serial number");
    for (int i = 2; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const int first = line.indexOf(' ');
        const int second = first < 0 ? -1 : line.indexOf(' ', first + 1);
        quint64 size = 0;
        const QByteArray sha = QByteArray::fromHex(line.left(first));
        const QByteArray path = line.mid(second + 1);
        if (first != 64 || second < 0 || sha.size() != 32 || sha.toHex() != line.left(first) ||
            !readNumber(line.mid(first + 1, second - first - 1), maxFileSize, &size) || !acceptablePath(path))
            return refuse(QString("line %1 of the manifest is malformed").arg(i + 1));
        if (files.contains(path))
            return refuse(QString("line %1 of the manifest lists a file twice").arg(i + 1));
        files.insert(path, {sha, qint64(size)});
    }
    reason.clear();
    return true;
}

const PublisherManifest::File *PublisherManifest::find(const QByteArray &relativePath) const {
    const auto found = files.constFind(relativePath);
    return found == files.cend() ? nullptr : &*found;
}

const PublisherManifest::File *PublisherManifest::findRemote(const QByteArray &remotePath) const {
    const QByteArray root = QByteArray(remoteRoot) + '/';
    return remotePath.startsWith(root) ? find(remotePath.mid(root.size())) : nullptr;
}

QByteArray PublisherManifest::format(quint64 serial, const QHash<QByteArray, File> &files) {
    QList<QByteArray> paths = files.keys();
    std::sort(paths.begin(), paths.end());
    QByteArray text = header + "\nserial " + QByteArray::number(serial) + '\n';
    for (const QByteArray &path : paths) {
        const File &file = files.value(path);
        text += file.sha256.toHex() + ' ' + QByteArray::number(file.size) + ' ' + path + '\n';
    }
    return text;
}
