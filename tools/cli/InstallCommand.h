#pragma once
// The headless client's "install" command, and the terminal output it shares with "update".

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class Downloader;

// quillon-cli install [--folder GROUP=PATH]... COMPONENT...
// Exit codes: 0 every file arrived, 1 some failed, 2 server unreachable, 3 unknown component,
// 4 the server's files are not signed by the publisher, 64 usage.
int runInstallCommand(const QStringList &arguments);

// One progress line rewritten in place, shown only when standard output is a terminal; other
// messages go out as whole lines above it.
class ProgressLine {
public:
    ProgressLine();
    void setStatus(const QString &text);
    void setPercent(int value);
    void addBytes(qint64 bytes);
    void setTotal(qint64 bytes) { total = bytes; }
    void message(const QString &line);
    void finish();

private:
    void draw(bool force);

    bool terminal;
    QString status;
    int percent = 0;
    qint64 received = 0;
    qint64 total = 0;
    QElapsedTimer clock;
    qint64 lastDrawMs = -1000;
    bool drawn = false;
};

// Runs one downloader slot on a worker thread, the way the windows do, until its run ends.
void runDownloaderOnThread(Downloader *downloader, void (Downloader::*slot)());

// What the commands print when a publisher key is set and the server's manifest is refused (exit code 4).
inline const char publisherRefusedText[] =
    "The server's files are not signed by the publisher; nothing was changed (LogFile.log says why).";
