#pragma once
// Test SFTP servers on loopback, started by the tests and stopped by the destructor (even when a QVERIFY
// returns early). AsyncsshServer takes the fault switches of tests/servers/asyncssh_server.py (its --help
// lists them) and generates a fresh host key each time; OpensshServer runs the real sshd
// (tests/servers/openssh_server.sh), which needs root: QSKIP with unavailableReason() when it is not empty.
// Scenario.h's serveFiles writes a tree, starts a server over it and points the settings at it.

#include "TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>

class TestSftpServer {
public:
    virtual ~TestSftpServer() { stop(); }

    bool isRunning() const;
    // Why the server did not start (its own error output), for QVERIFY2.
    QString errorText() const { return error; }
    int port() const { return serverPort; }
    // The host key's SHA-256 fingerprint, "SHA256:" and unpadded base64, as OpenSSH prints it.
    QString fingerprint() const { return keyFingerprint; }
    QString user() const { return userName; }
    QString password() const { return userPassword; }
    // The folder that clients see as "/".
    QString treeRoot() const { return root; }
    void stop();

protected:
    TestSftpServer(const QString &treeRoot, const QString &user, const QString &password)
        : root(treeRoot), userName(user), userPassword(password) {}
    void start(const QString &program, QStringList arguments, int timeoutMs);

private:
    void readAnnouncement(const QByteArray &lines);
    QProcess process;
    QTemporaryDir detachedFiles;
    bool detached = false;
    QString root, userName, userPassword, keyFingerprint, error;
    int serverPort = 0;
};

// The asyncssh server with fault switches; starts in well under a second.
class AsyncsshServer : public TestSftpServer {
public:
    explicit AsyncsshServer(const QString &treeRoot, const QStringList &faultSwitches = {});
};

// OpenSSH sshd in a chroot with a throwaway local user (root only).
class OpensshServer : public TestSftpServer {
public:
    explicit OpensshServer(const QString &treeRoot);
    // Empty when sshd can run here; otherwise the reason to skip.
    static QString unavailableReason();
};
