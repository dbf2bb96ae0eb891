#pragma once
// Runs the driver installers fetched by an install run, one after the other, then removes their folder.

#include <QString>
#include <QStringList>

#include <functional>

class QStringListModel;

// Starts each installer in list order, waits up to 30 s for it, reports one row per installer
// ("<path> installed") through addRow, and finally removes driversFolder with its content.
// An empty list runs nothing and leaves the folder alone. Runs on the calling thread.
void runDriverInstallers(const QStringList &installers, const std::function<void(const QString &)> &addRow,
                         const QString &driversFolder = QString());

// The same, appending each row to a list model (the progress window's log list).
void runDriverInstallers(const QStringList &installers, QStringListModel *rows,
                         const QString &driversFolder = QString());

// The folder the drivers group is fetched into and removed from: the program folder + "/Drivers".
QString defaultDriversFolder();
