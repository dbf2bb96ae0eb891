#pragma once
// Settings for tests: the process-wide store pointed at a test SFTP server, and settings files' bytes.

#include <QByteArray>
#include <QString>

class TestSftpServer;

// Opens the settings store on a fresh file in a temporary folder (once per process; later calls
// return the same file). Returns the settings file path.
QString useTestSettings();
// Writes "SFTP/IP", "SFTP/port", "SFTP/Login", "SFTP/Pswd" and pins the server's host key in
// "SFTP/HostKey", so connections reach this server as a known one.
void pointSettingsAt(const TestSftpServer &server);
// Encrypts a settings text, or decrypts a settings file's bytes ("<not decryptable>" when they do not).
QByteArray cryptSettings(const QByteArray &data, bool decrypt, quint64 key);
