#include "transfer/HashingFile.h"

bool HashingFile::hashExisting(qint64 bytes) {
    if (!seek(0))
        return false;
    QByteArray chunk;
    while (count < bytes) {
        chunk = read(qMin<qint64>(256 * 1024, bytes - count));
        if (chunk.isEmpty())
            return false;
        hash.addData(chunk);
        count += chunk.size();
    }
    return true;
}

qint64 HashingFile::writeData(const char *data, qint64 length) {
    const qint64 written = QFile::writeData(data, length);
    if (hashing && written > 0) {
        hash.addData(QByteArrayView(data, written));
        count += written;
    }
    return written;
}
