#pragma once
// The built-in catalog of components and the user's choices of one install-wizard run.

#include <QHash>
#include <QString>
#include <QStringList>

class SelectSoftList;
class SelectPathSoftInstall;

struct InstallContext {
    InstallContext();

    SelectSoftList *softListPage = nullptr;
    SelectPathSoftInstall *pathSelectPage = nullptr;
    QHash<QString, QString> remoteFolders;
    QHash<QString, bool> selectedLoRa;
    QHash<QString, bool> selectedNbIot;
    QHash<QString, bool> selectedCarMonitoring;
    QHash<QString, bool> selectedDrivers;
    QHash<QString, QString> groupFolders;
    QStringList driverInstallers;
    bool msvcInstalled = false;
};

// The 17 components whose folders are compared for updates, the manager itself last.
QStringList updatableComponents();
