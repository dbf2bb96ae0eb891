#include "support/DownloaderRun.h"

#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

DownloaderRun::DownloaderRun(Downloader *downloader) : downloader(downloader) {
    connect(downloader, &Downloader::New_Progress_Value, this,
            [this](int v) { events << "progress " + QString::number(v); });
    connect(downloader, &Downloader::New_Process_Set_Text, this,
            [this](const QString &t) { events << "text " + t; });
    connect(downloader, &Downloader::Error_connection, this, [this] { events << "error connection"; });
    connect(downloader, &Downloader::FinishedInstall, this, [this] { events << "finished install"; });
    connect(downloader, &Downloader::Start_Timer, this,
            [this](int ms) { events << "timer " + QString::number(ms); });
    connect(downloader, &Downloader::Counter_Data, this, [this](int n) {
        events << "chunk " + QString::number(n);
        chunks << n;
    });
    connect(downloader, &Downloader::Set_NewLog_On_LogList, this,
            [this](const QString &n, int s) { events << QString("log %1 %2").arg(s).arg(n); });
    connect(downloader, &Downloader::Vlaue_Size_All_Soft, this,
            [this](int v) { events << "size " + QString::number(v); });
    connect(downloader, &Downloader::Write_Path_in_Settings, this,
            [this](const QString &k, const QString &p) {
                events << "path " + k + " = " + p;
                recorded << k;
            });
    connect(downloader, &Downloader::Finish_Update, this, [this] { events << "finish update"; });
    connect(downloader, &Downloader::Close_Application_For_Update, this,
            [this](const QString &app, int *value) {
                events << "question " + app;
                ++questions;
                *value = answerQuestion ? answerQuestion(app) : 2;
            });
}

bool DownloaderRun::start(bool install, int timeoutMs) {
    QThread thread;
    downloader->moveToThread(&thread);
    connect(&thread, &QThread::started, downloader, install ? &Downloader::Run : &Downloader::Update);
    for (auto end : {&Downloader::FinishedInstall, &Downloader::Finish_Update, &Downloader::Error_connection})
        connect(downloader, end, &thread, &QThread::quit, Qt::DirectConnection);
    QSignalSpy finished(&thread, &QThread::finished);
    thread.start();
    const bool ended = finished.wait(timeoutMs);
    if (!ended) {
        downloader->requestCancel();
        thread.wait();
    }
    QCoreApplication::processEvents(); // the last queued signals
    return ended;
}

QStringList DownloaderRun::matching(const QString &prefix) const {
    return events.filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
}

QStringList DownloaderRun::ends() const {
    QStringList found;
    for (const QString &event : events) {
        if (event == "finished install" || event == "finish update" || event == "error connection")
            found << event;
    }
    return found;
}

std::unique_ptr<InstallContext> newInstallContext(const QString &base) {
    auto context = std::make_unique<InstallContext>();
    for (const char *group : {"LoRa", "NB-IoT", "CarMonitoring", "Drivers"})
        context->groupFolders[group] = base + "/" + QString(group);
    return context;
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
