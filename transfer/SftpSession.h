#pragma once
// One SSH connection with its SFTP channel, opened from the settings, and the remote-walk conventions.

#include <QByteArray>
#include <QString>

#include <libssh/libssh.h>
#include <libssh/sftp.h>

struct SftpSession {
    ssh_session ssh = nullptr;
    sftp_session sftp = nullptr;
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
