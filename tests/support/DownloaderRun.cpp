#include "support/DownloaderRun.h"

#include "transfer/Downloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

DownloaderRun::DownloaderRun(Downloader *downloader) : downloader(downloader) {
    const auto note = [this](const QString &kind) {
        return [this, kind](int value) { events << kind + " " + QString::number(value); };
    };
    connect(downloader, &Downloader::New_Progress_Value, this, note("progress"));
    connect(downloader, &Downloader::Start_Timer, this, note("timer"));
    connect(downloader, &Downloader::Counter_Data, this, note("chunk"));
    connect(downloader, &Downloader::Vlaue_Size_All_Soft, this, note("size"));
    connect(downloader, &Downloader::New_Process_Set_Text, this,
            [this](const QString &t) { events << "text " + t; });
    connect(downloader, &Downloader::Error_connection, this, [this] { events << "error connection"; });
    connect(downloader, &Downloader::FinishedInstall, this, [this] { events << "finished install"; });
    connect(downloader, &Downloader::Finish_Update, this, [this] { events << "finish update"; });
    connect(downloader, &Downloader::Publisher_Refused, this, [this] { events << "publisher refused"; });
    connect(downloader, &Downloader::Set_NewLog_On_LogList, this,
            [this](const QString &name, int state) { events << QString("log %1 %2").arg(state).arg(name); });
    connect(downloader, &Downloader::Write_Path_in_Settings, this,
            [this](const QString &key, const QString &path) { events << "path " + key + " = " + path; });
    connect(downloader, &Downloader::Close_Application_For_Update, this,
            [this](const QString &app, int *value) {
                events << "question " + app;
                *value = 2;
            });
}

bool DownloaderRun::start(bool install, int timeoutMs) {
    QThread thread;
    downloader->moveToThread(&thread);
    connect(&thread, &QThread::started, downloader, install ? &Downloader::Run : &Downloader::Update);
    for (auto end : {&Downloader::FinishedInstall, &Downloader::Finish_Update, &Downloader::Error_connection,
                     &Downloader::Publisher_Refused})
        connect(downloader, end, &thread, &QThread::quit, Qt::DirectConnection);
    QSignalSpy finished(&thread, &QThread::finished);
    thread.start();
    const bool ended = finished.wait(timeoutMs);
    if (!ended) {
        downloader->requestCancel();
        thread.quit(); // a run that returned without its end signal leaves the loop running
        thread.wait();
    }
    QCoreApplication::processEvents(); // the last queued signals
    return ended;
}

QStringList DownloaderRun::matching(const QString &prefix) const {
    return events.filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
}

QByteArray randomTestBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QByteArray readFileOrEmpty(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList partialsOf(const QString &targetPath) {
    const QFileInfo target(targetPath);
    QStringList paths;
    for (const QString &name : target.dir().entryList({target.fileName() + ".*-*.part"}, QDir::Files))
        paths << target.dir().filePath(name);
    return paths;
}

QStringList filesBelow(const QString &folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}
