#include "support/DownloaderRun.h"

#include "transfer/Downloader.h"
#include "transfer/InstallContext.h"
#include "transfer/UpdateChecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

namespace {

// Runs the install (or the update) on a worker thread, recording its signals in order; a question about a
// running program is answered 2.
RunResult runToEnd(Downloader &downloader, bool install, int timeoutMs) {
    RunResult result;
    QStringList &events = result.events;
    QObject recorder;
    const auto note = [&events](const QString &kind) {
        return [&events, kind](int value) { events << kind + " " + QString::number(value); };
    };
    const auto said = [&events](const QString &event) { return [&events, event] { events << event; }; };
    QObject::connect(&downloader, &Downloader::New_Progress_Value, &recorder, note("progress"));
    QObject::connect(&downloader, &Downloader::Start_Timer, &recorder, note("timer"));
    QObject::connect(&downloader, &Downloader::Counter_Data, &recorder, note("chunk"));
    QObject::connect(&downloader, &Downloader::Vlaue_Size_All_Soft, &recorder, note("size"));
    QObject::connect(&downloader, &Downloader::New_Process_Set_Text, &recorder,
                     [&events](const QString &t) { events << "text " + t; });
    QObject::connect(&downloader, &Downloader::Error_connection, &recorder, said("error connection"));
    QObject::connect(&downloader, &Downloader::FinishedInstall, &recorder, said("finished install"));
    QObject::connect(&downloader, &Downloader::Finish_Update, &recorder, said("finish update"));
    QObject::connect(&downloader, &Downloader::Publisher_Refused, &recorder, said("publisher refused"));
    QObject::connect(
        &downloader, &Downloader::Set_NewLog_On_LogList, &recorder,
        [&events](const QString &name, int state) { events << QString("log %1 %2").arg(state).arg(name); });
    QObject::connect(
        &downloader, &Downloader::Write_Path_in_Settings, &recorder,
        [&events](const QString &key, const QString &path) { events << "path " + key + " = " + path; });
    QObject::connect(&downloader, &Downloader::Close_Application_For_Update, &recorder,
                     [&events](const QString &app, int *value) {
                         events << "question " + app;
                         *value = 2;
                     });

    QThread thread;
    downloader.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &downloader,
                     install ? &Downloader::Run : &Downloader::Update);
    for (auto end : {&Downloader::FinishedInstall, &Downloader::Finish_Update, &Downloader::Error_connection,
                     &Downloader::Publisher_Refused})
        QObject::connect(&downloader, end, &thread, &QThread::quit, Qt::DirectConnection);
    QSignalSpy finished(&thread, &QThread::finished);
    thread.start();
    const bool ended = finished.wait(timeoutMs);
    if (!ended) {
        downloader.requestCancel();
        thread.quit(); // a run that returned without its end signal leaves the loop running
        thread.wait();
    }
    QCoreApplication::processEvents(); // the last queued signals
    if (!ended)
        events << "did not end";
    result.failed = downloader.failedFileCount();
    return result;
}

} // namespace

QStringList RunResult::matching(const QString &prefix) const {
    return events.filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
}

RunResult installRun(const QString &target, const QStringList &components, int timeoutMs) {
    auto context = newInstallContext(target);
    for (const QString &name : components)
        if (name.startsWith("NB-IoT:"))
            context->selectedNbIot[name.mid(7)] = true;
        else
            (name.startsWith("Brightfen ") ? context->selectedLoRa : context->selectedDrivers)[name] = true;
    Downloader downloader(context.get());
    RunResult result = runToEnd(downloader, true, timeoutMs);
    result.context = std::move(context);
    return result;
}

RunResult updateRun(QHash<QString, QString> *pending, QHash<QString, bool> ticked, int timeoutMs) {
    if (ticked.isEmpty())
        for (auto it = pending->cbegin(); it != pending->cend(); ++it)
            ticked[it.key()] = true;
    Downloader downloader(ticked, pending);
    return runToEnd(downloader, false, timeoutMs);
}

qint64 fetchedBytes(const QStringList &events) {
    qint64 total = 0;
    for (const QString &event : events)
        if (event.startsWith("chunk "))
            total += event.mid(6).toLongLong();
    return total;
}

QHash<QString, QString> checkFound(QHash<QString, QString> found) {
    UpdateChecker checker(&found);
    QSignalSpy finished(&checker, &UpdateChecker::Finish_Check_Update);
    checker.Checking_Updates_On_Server();
    if (finished.count() != 1)
        found.insert("finished signals", QString::number(finished.count()));
    return found;
}

QByteArray randomTestBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
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
