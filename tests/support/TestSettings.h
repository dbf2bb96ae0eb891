#pragma once
// Points the process-wide settings store of a test process at a test SFTP server.

#include <QString>

class TestSftpServer;

// Opens the settings store on a fresh file in a temporary folder (once per process; later calls
// return the same file). Returns the settings file path.
QString useTestSettings();
// Writes "SFTP/IP", "SFTP/port", "SFTP/Login", "SFTP/Pswd" and pins the server's host key in
// "SFTP/HostKey", so connections reach this server as a known one.
void pointSettingsAt(const TestSftpServer &server);
