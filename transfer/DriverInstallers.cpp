#include "transfer/DriverInstallers.h"

#include "core/Language.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStringListModel>

namespace {
constexpr int installerTimeoutMs = 30000;
}

QString defaultDriversFolder() {
    return QCoreApplication::applicationDirPath() + "/Drivers";
}

void runDriverInstallers(const QStringList &installers, const std::function<void(const QString &)> &addRow,
                         const QString &driversFolder) {
    if (installers.isEmpty())
        return;
    for (const QString &path : installers) {
        {
            QProcess installer;
            installer.start(path);
            if (!installer.waitForStarted())
                Write_Log("Error start installer - " + path + ": " + installer.errorString());
            else if (!installer.waitForFinished(installerTimeoutMs))
                Write_Log("Installer stopped after 30 s - " + path);
            // Leaving the scope kills an installer that is still running.
        }
        if (addRow)
            addRow(path + (System_Language() == "ru" ? " установлен" : " installed"));
    }
    QDir(driversFolder.isEmpty() ? defaultDriversFolder() : driversFolder).removeRecursively();
}

void runDriverInstallers(const QStringList &installers, QStringListModel *rows,
                         const QString &driversFolder) {
    runDriverInstallers(
        installers,
        [rows](const QString &row) {
            if (!rows)
                return;
            const int at = rows->rowCount();
            rows->insertRows(at, 1);
            rows->setData(rows->index(at), row);
        },
        driversFolder);
}
