#pragma once
// Runs a downloader on a worker thread, as the windows do, and records its signals in order; plus the file
// helpers the transfer tests share. The served tree and the installed side come from Scenario.h.

#include "support/Scenario.h"

#include <QObject>
#include <QStringList>

class Downloader;

class DownloaderRun : public QObject {
public:
    explicit DownloaderRun(Downloader *downloader);

    // Runs the install (or the update) to its end; true when it ended within the time limit.
    bool start(bool install, int timeoutMs = 60000);
    // The recorded events that start with this text, in order.
    QStringList matching(const QString &prefix) const;

    QStringList events; // a question about a running program is answered 2

private:
    Downloader *downloader;
};

// Bytes from the process-wide random generator.
QByteArray randomTestBytes(int size);
// The file's bytes; empty when it cannot be read.
QByteArray readFileOrEmpty(const QString &path);
// Every file below a folder, relative to it and sorted; hidden ones (temporary files) included.
QStringList filesBelow(const QString &folder);
// The partial files (the bytes fetched so far) that an interrupted fetch left beside a target.
QStringList partialsOf(const QString &targetPath);
