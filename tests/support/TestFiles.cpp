#include "TestFiles.h"

#include "core/CEncryptedSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

bool writeTestFile(const QString &path, const QByteArray &bytes, const QDateTime &modified) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
           (!modified.isValid() ||
            (file.flush() && file.setFileTime(modified, QFileDevice::FileModificationTime)));
}

bool writeTestFiles(const QString &folder, const QMap<QString, QByteArray> &files) {
    bool written = true;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        written = written && writeTestFile(QDir(folder).filePath(it.key()), it.value());
    return written;
}

QByteArray readTestFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList logFileLines(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

QStringList takeLogLines() {
    const QStringList lines = logFileLines();
    QFile::remove("LogFile.log");
    return lines;
}

CEncryptedSettings *settingsStore() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool runInThreads(int count, const std::function<void(int)> &work) {
    QList<QThread *> threads;
    for (int i = 0; i < count; ++i)
        threads << QThread::create(work, i);
    for (QThread *thread : threads)
        thread->start();
    bool ended = true;
    for (QThread *thread : threads)
        ended = thread->wait(60000) && ended;
    qDeleteAll(threads);
    return ended;
}

ProgramRun runProgram(const QString &program, const QStringList &arguments, const QString &workingFolder,
                      int timeoutMs) {
    QProcess process;
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    ProgramRun result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}
