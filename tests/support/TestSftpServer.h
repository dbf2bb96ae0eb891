#pragma once
// Test SFTP servers on loopback, stopped by the destructor (even when a QVERIFY returns early). Scenario.h's
// serveFiles writes a tree, starts a server over it and points the settings at it.

#include "TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>

class TestSftpServer {
public:
    virtual ~TestSftpServer() { stop(); }

    bool isRunning() const;
    QString errorText() const { return error; } // why it did not start
    int port() const { return serverPort; }
    QString fingerprint() const { return keyFingerprint; } // "SHA256:..." as OpenSSH prints it
    QString user() const { return userName; }
    QString password() const { return userPassword; }
    void stop();

protected:
    TestSftpServer(const QString &user, const QString &password) : userName(user), userPassword(password) {}
    void start(const QString &program, QStringList arguments, int timeoutMs);

private:
    void readAnnouncement(const QByteArray &lines);
    QProcess process;
    QTemporaryDir detachedFiles;
    bool detached = false;
    QString userName, userPassword, keyFingerprint, error;
    int serverPort = 0;
};

// tests/servers/asyncssh_server.py with its fault switches (its --help lists them); starts in well under a
// second.
class AsyncsshServer : public TestSftpServer {
public:
    explicit AsyncsshServer(const QString &treeRoot, const QStringList &faultSwitches = {});
};

// tests/servers/openssh_server.sh: the real sshd in a chroot with a throwaway local user (root only).
class OpensshServer : public TestSftpServer {
public:
    explicit OpensshServer(const QString &treeRoot);
    // Empty when sshd can run here; otherwise the reason to QSKIP.
    static QString unavailableReason();
};
