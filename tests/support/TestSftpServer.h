#pragma once
// Test SFTP servers on loopback, started and stopped by the tests themselves.
//
// How to use (any test linked with the test-support library):
//
//     QTemporaryDir tree;                                   // the server's "/"
//     writeTestFile(tree.path() + "/upload/Softwares/For Download/Brightfen Meter/app.exe", "v2");
//     AsyncsshServer server(tree.path());                   // or AsyncsshServer(tree.path(), {"--max-read",
//     "32768"}) QVERIFY2(server.isRunning(), qPrintable(server.errorText())); useTestSettings(); // once per
//     test process pointSettingsAt(server);                              // "SFTP/IP", "SFTP/port",
//     "SFTP/Login", "SFTP/Pswd", "SFTP/HostKey"
//     ... run the worker ...
//     // the destructor stops the server, even when a QVERIFY returns early
//
// AsyncsshServer takes the fault switches of tests/servers/asyncssh_server.py as extra arguments
// (--drop-after N, --stall-after N, --faults-once, --max-read N, --fail-open RE, --fail-opendir RE,
// --read-error-after N, --read-error-match RE, --extra-entry "DIR|NAME|SIZE", --open-delay-ms N,
// --log-listings FILE, --log-reads FILE (the bytes of every read it answered),
// --protocol-fault KIND with --fault-path RE (SFTP written by hand that breaks the protocol once),
// --host-key FILE); each server generates a fresh host key unless --host-key names one.
// OpensshServer runs the real sshd (tests/servers/openssh_server.sh); it needs root, so check
// OpensshServer::unavailableReason() first and QSKIP with it when it is not empty.

#include "TestFiles.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestSftpServer {
public:
    virtual ~TestSftpServer();
    TestSftpServer(const TestSftpServer &) = delete;
    TestSftpServer &operator=(const TestSftpServer &) = delete;

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
    TestSftpServer(const QString &treeRoot, const QString &user, const QString &password);
    void start(const QString &program, const QStringList &arguments, int timeoutMs);

private:
    // Under Wine the server is a Linux program started without a handle or pipes: it writes to a
    // file and serves while the stop file exists.
    void startDetached(const QString &program, QStringList arguments, int timeoutMs);
    void readAnnouncement(const QByteArray &line);
    void failed(const QByteArray &errors);
    QProcess process;
    QTemporaryDir detachedFiles;
    bool detached = false;
    QString root;
    QString userName;
    QString userPassword;
    QString keyFingerprint;
    QString error;
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
