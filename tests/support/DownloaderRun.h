#pragma once
// Runs a downloader on a worker thread, as the windows do, and records its signals in order; plus the
// file and install-context helpers the transfer tests share.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class Downloader;
struct InstallContext;

class DownloaderRun : public QObject {
public:
    explicit DownloaderRun(Downloader *downloader);

    // Runs the install (or the update) to its end; true when it ended within the time limit.
    bool start(bool install, int timeoutMs = 60000);
    // The recorded events that start with this text, in order.
    QStringList matching(const QString &prefix) const;
    // How the run ended: "finished install", "finish update" or "error connection", in order.
    QStringList ends() const;

    QStringList events;
    QList<int> chunks;
    QStringList recorded; // the settings keys the run wrote an install path under
    int questions = 0;
    std::function<int(const QString &)> answerQuestion; // the value written into the answer cell; 2 if unset

private:
    Downloader *downloader;
};

// A context whose groups install below folders of this base folder, with nothing selected.
std::unique_ptr<InstallContext> newInstallContext(const QString &base);
// Bytes from the process-wide random generator.
QByteArray randomTestBytes(int size);
// The file's bytes; empty when it cannot be read.
QByteArray readFileOrEmpty(const QString &path);
// Every file below a folder, relative to it and sorted; hidden ones (temporary files) included.
QStringList filesBelow(const QString &folder);
// The partial files (the bytes fetched so far) that an interrupted fetch left beside a target.
QStringList partialsOf(const QString &targetPath);
