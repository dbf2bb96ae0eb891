#pragma once
// Runs the driver installers fetched by an install run one after the other, then removes their folder,
// while the event loop goes on.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;
class QTimer;

class DriverInstallers : public QObject {
    Q_OBJECT
public:
    // An empty driversFolder means the program folder + "/Drivers".
    explicit DriverInstallers(const QStringList &installers, const QString &driversFolder = QString(),
                              QObject *parent = nullptr);

    // Starts each installer in list order and gives it up to 30 s; an empty list runs nothing and leaves
    // the folder alone. Everything after the first start happens from the event loop.
    void start();

signals:
    // One row per installer, "<path> installed", whatever the installer's outcome.
    void Installer_Done(QString row);
    // After the last row and the removal of the drivers folder.
    void Finished();

private:
    void startNext();
    void installerEnded();

    QStringList installers;
    QString driversFolder;
    int current = -1;
    QProcess *process = nullptr;
    QTimer *timeout = nullptr;
};

// The same run for callers without an event loop of their own (the command-line client): returns when
// the last installer has ended.
void runDriverInstallers(const QStringList &installers, const std::function<void(const QString &)> &addRow,
                         const QString &driversFolder = QString());

// The folder the drivers group is fetched into and removed from: the program folder + "/Drivers".
QString defaultDriversFolder();
