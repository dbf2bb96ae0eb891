#include "transfer/DriverInstallers.h"

#include "core/Language.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {
constexpr int installerTimeoutMs = 30000;
}

QString defaultDriversFolder() {
    return QCoreApplication::applicationDirPath() + "/Drivers";
}

DriverInstallers::DriverInstallers(const QStringList &installers, const QString &driversFolder,
                                   QObject *parent)
    : QObject(parent), installers(installers),
      driversFolder(driversFolder.isEmpty() ? defaultDriversFolder() : driversFolder) {
    timeout = new QTimer(this);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this] {
        Write_Log("Installer stopped after 30 s - " + this->installers.value(current));
        // Its finished signal follows the kill and moves on.
        process->kill();
    });
}

void DriverInstallers::start() {
    if (installers.isEmpty()) {
        emit Finished();
        return;
    }
    startNext();
}

void DriverInstallers::startNext() {
    ++current;
    if (current >= installers.size()) {
        QDir(driversFolder).removeRecursively();
        emit Finished();
        return;
    }
    const QString path = installers.at(current);
    process = new QProcess(this);
    connect(process, &QProcess::finished, this, &DriverInstallers::installerEnded);
    connect(process, &QProcess::errorOccurred, this, [this, path](QProcess::ProcessError error) {
        // A program that never started sends no finished signal.
        if (error != QProcess::FailedToStart)
            return;
        Write_Log("Error start installer - " + path + ": " + process->errorString());
        installerEnded();
    });
    timeout->start(installerTimeoutMs);
    process->start(path, QStringList());
}

void DriverInstallers::installerEnded() {
    timeout->stop();
    process->disconnect(this);
    process->deleteLater();
    process = nullptr;
    emit Installer_Done(installers.at(current) + (System_Language() == "ru" ? " установлен" : " installed"));
    startNext();
}

void runDriverInstallers(const QStringList &installers, const std::function<void(const QString &)> &addRow,
                         const QString &driversFolder) {
    DriverInstallers run(installers, driversFolder);
    QObject::connect(&run, &DriverInstallers::Installer_Done, [&addRow](const QString &row) {
        if (addRow)
            addRow(row);
    });
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&run, &DriverInstallers::Finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    run.start();
    if (!finished)
        loop.exec();
}
