#include "transfer/SafeNames.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

static bool isWindowsDeviceName(const QString &name) {
    // "NUL.txt" and "nul" open the device on Windows just like "NUL".
    const QString stem = name.section('.', 0, 0).trimmed().toUpper();
    static const QStringList fixed{"CON", "PRN", "AUX", "NUL"};
    if (fixed.contains(stem))
        return true;
    if (stem.size() == 4 && (stem.startsWith("COM") || stem.startsWith("LPT")))
        return stem.at(3) >= QChar('1') && stem.at(3) <= QChar('9');
    return false;
}

QString unsafeNameReason(const QByteArray &name) {
    if (name.isEmpty())
        return "empty name";
    if (name == "." || name == "..")
        return "relative folder name";
    const QString text = QString::fromUtf8(name);
    if (text.toUtf8() != name)
        return "not UTF-8";
    for (const QChar c : text) {
        if (c == '/' || c == '\\' || c == ':')
            return "path separator";
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return "control character";
    }
    if (text.endsWith('.') || text.endsWith(' '))
        return "trailing dot or space";
    if (isWindowsDeviceName(text))
        return "device name";
    return {};
}

bool isInsideFolder(const QString &path, const QString &root) {
    // QFileInfo gives both the drive on Windows, also for a path like "/Users/x" that has none.
    const QString cleanRoot = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString cleanPath = QDir::cleanPath(QFileInfo(QDir(root), path).absoluteFilePath());
    const QString prefix = cleanRoot.endsWith('/') ? cleanRoot : cleanRoot + '/';
#ifdef Q_OS_WIN
    return cleanPath.startsWith(prefix, Qt::CaseInsensitive) && cleanPath.size() > prefix.size();
#else
    return cleanPath.startsWith(prefix) && cleanPath.size() > prefix.size();
#endif
}

QString printableName(const QByteArray &name) {
    const QString text = QString::fromUtf8(name);
    if (text.toUtf8() != name) {
        QString out;
        for (const char byte : name) {
            const uchar b = uchar(byte);
            if (b < 0x20 || b >= 0x7f)
                out += QString("\\x%1").arg(b, 2, 16, QChar('0'));
            else
                out += QChar(b);
        }
        return out;
    }
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QString("\\x%1").arg(c.unicode(), 2, 16, QChar('0'));
        else
            out += c;
    }
    return out;
}
