#pragma once
// Small file, process and settings helpers shared by the tests.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class CEncryptedSettings;

// Creates the file (and its folders) with these bytes, and this modification time when one is given; false
// when it could not be written.
bool writeTestFile(const QString &path, const QByteArray &bytes, const QDateTime &modified = {});
// Writes each file (its path relative to the folder, and its bytes); false when one could not be written.
bool writeTestFiles(const QString &folder, const QMap<QString, QByteArray> &files);
// The file's bytes; "<missing>" when it cannot be read, so a missing file never equals an empty one.
QByteArray readTestFile(const QString &path);
// The non-empty lines of a log file ("LogFile.log" in the working folder unless another is named).
QStringList logFileLines(const QString &path = QStringLiteral("LogFile.log"));
// The lines of "LogFile.log" in the working folder, which is removed: the next call sees only later lines.
QStringList takeLogLines();
// The process-wide settings store, opened earlier by the test.
CEncryptedSettings *settingsStore();
// Runs work(0) .. work(count - 1) in threads of their own at once; false when one did not end in a minute.
bool runInThreads(int count, const std::function<void(int)> &work);

// How a program run by runProgram ended: its exit code (-1 when it crashed or did not end in time),
// its standard output and its error output.
struct ProgramRun {
    int exitCode = -1;
    QString output;
    QString errors;
};
ProgramRun runProgram(const QString &program, const QStringList &arguments, const QString &workingFolder = {},
                      int timeoutMs = 120000);

// Stands in for the system's browser, mail program or file browser: register it with
// QDesktopServices::setUrlHandler(scheme, &catcher, "open").
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};
