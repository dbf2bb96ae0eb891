#pragma once
// Install and update runs of a downloader on a worker thread, as the windows do, with their signals recorded
// in order, and an update check; plus the file helpers the transfer tests share. The served tree and the
// installed side come from Scenario.h; the settings and servers they use are included for the tests.

#include "core/CEncryptedSettings.h"
#include "support/Scenario.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"

#include <QDir>
#include <QHash>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// What a whole run recorded ("did not end" last when it hung), its failed files and, for an install, the
// context it ran over.
struct RunResult {
    QStringList events;
    int failed = 0;
    std::unique_ptr<InstallContext> context;

    // The events that start with this text, in order.
    QStringList matching(const QString &prefix) const;
};
// An install run of these components below folders of the target: "NB-IoT:<name>" ones ticked in NB-IoT,
// other "Brightfen ..." ones in LoRa, the rest as drivers.
RunResult installRun(const QString &target, const QStringList &components, int timeoutMs = 60000);
// An update run over the pending map; with no ticks given, every entry is ticked.
RunResult updateRun(QHash<QString, QString> *pending, QHash<QString, bool> ticked = {},
                    int timeoutMs = 60000);
// The bytes the run's steps added up to.
qint64 fetchedBytes(const QStringList &events);
// One whole update check into a map that may already hold entries; a second end signal shows as an entry.
QHash<QString, QString> checkFound(QHash<QString, QString> found = {});

// Bytes from the process-wide random generator.
QByteArray randomTestBytes(int size);
// Every file below a folder, relative to it and sorted; hidden ones (temporary files) included.
QStringList filesBelow(const QString &folder);
// The partial files (the bytes fetched so far) that an interrupted fetch left beside a target.
QStringList partialsOf(const QString &targetPath);
