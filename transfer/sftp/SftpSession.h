#pragma once
// One SSH connection with its SFTP channel, opened from the settings, and the remote-walk conventions.

#include <QByteArray>
#include <QString>

#include <libssh/libssh.h>
#include <libssh/sftp.h>

class SessionWatchdog;

struct SftpSession {
    ssh_session ssh = nullptr;
    sftp_session sftp = nullptr;
    // Ends the connection when an outstanding request gets no answer for too long.
    SessionWatchdog *watchdog = nullptr;
    // Room for the read that widens the channel's flow-control window (PipelinedReader); one per
    // connection, since a connection is used by one thread at a time.
    mutable QByteArray windowScratch;
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

// Put one of these around every blocking SFTP call (sftp_opendir, sftp_readdir, sftp_open,
// sftp_read, ...): while one exists, a server that sends nothing for the idle time-out (60 s) gets
// its connection shut down, so the call returns an error instead of waiting for ever.
class PendingRequest {
public:
    explicit PendingRequest(const SftpSession &session);
    ~PendingRequest();
    PendingRequest(const PendingRequest &) = delete;
    PendingRequest &operator=(const PendingRequest &) = delete;

private:
    SessionWatchdog *watchdog;
};

// True once the session was ended because the server stopped answering (one log line says so).
bool sessionTimedOut(const SftpSession &session);

// Test seam: connect and idle time-outs in milliseconds; 0 restores the defaults (30 s and 60 s).
void setSessionTimeoutsForTesting(int connectMs, int idleMs);

// The listing calls, each under the idle watch.
sftp_dir openRemoteFolder(const SftpSession &session, const char *path);
sftp_attributes readRemoteEntry(const SftpSession &session, sftp_dir folder);
void closeRemoteFolder(const SftpSession &session, sftp_dir folder);
