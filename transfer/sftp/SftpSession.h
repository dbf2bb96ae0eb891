#pragma once
// One SSH connection with its SFTP channel, opened from the settings, and the remote-walk conventions.

#include <QByteArray>
#include <QString>

#include <libssh/libssh.h>

class SessionWatchdog;
class SftpChannel;

struct SftpSession {
    ssh_session ssh = nullptr;
    // The SFTP channel on it, spoken by the program itself (SftpChannel).
    SftpChannel *sftp = nullptr;
    // Ends the connection when an outstanding request gets no answer for too long.
    SessionWatchdog *watchdog = nullptr;
};

// Which worker opens the session: only the wording of the authentication log line differs.
enum class SessionUser { Checker, Downloader };

// Connects, authenticates with the stored password and starts SFTP. On false nothing stays open
// and the cause is in the log file.
bool openSftpSession(SftpSession &session, SessionUser user = SessionUser::Checker);
void closeSftpSession(SftpSession &session);

// Entries whose name has "." as first or second character are never walked or fetched.
bool isSkippedEntry(const QByteArray &name);

// The root folder of every component on the server.
inline const char remoteRoot[] = "/upload/Softwares/For Download";

// Put one of these around every blocking wait on the server: while one exists, a server that sends nothing
// for the idle time-out (60 s) gets its connection shut down, so the call returns an error instead of waiting
// for ever.
class PendingRequest {
public:
    explicit PendingRequest(const SftpSession &session);
    explicit PendingRequest(SessionWatchdog *watchdog);
    ~PendingRequest();
    PendingRequest(const PendingRequest &) = delete;
    PendingRequest &operator=(const PendingRequest &) = delete;

private:
    SessionWatchdog *watchdog;
};

// True once the session was ended because the server stopped answering (one log line says so).
bool sessionTimedOut(const SftpSession &session);
bool sessionTimedOut(const SessionWatchdog *watchdog);
// The server dropped the connection, stopped answering, or broke the protocol: the session is over.
bool sessionLost(const SftpSession &session);

// Test seam: connect and idle time-outs in milliseconds; 0 restores the defaults (30 s and 60 s).
void setSessionTimeoutsForTesting(int connectMs, int idleMs);
