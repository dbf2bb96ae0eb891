#pragma once
// Runs a downloader on a worker thread, as the windows do, and records its signals in order; plus the
// server, file and install-context helpers the transfer tests share.

#include <QMap>
#include <QObject>
#include <QStringList>

#include <memory>

class AsyncsshServer;
class Downloader;
class QTemporaryDir;
struct InstallContext;

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

// The server folder that holds the components, as clients name it.
inline const QString componentsRoot = QStringLiteral("/upload/Softwares/For Download/");
// Writes the files ("<component>/<path>" and their bytes) below componentsRoot in the tree, starts a server
// over it with these fault switches and points the settings at it; null when that failed (with a warning).
std::unique_ptr<AsyncsshServer> serveFiles(const QTemporaryDir &tree, const QMap<QString, QByteArray> &files,
                                           const QStringList &switches = {});
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
