#pragma once
// Small file and settings helpers shared by the tests.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

class CEncryptedSettings;

// The file's bytes; "<missing>" when it cannot be read, so a missing file never equals an empty one.
QByteArray readTestFile(const QString &path);
// The process-wide settings store, opened earlier by the test.
CEncryptedSettings *settingsStore();

// Stands in for the system's browser, mail program or file browser: register it with
// QDesktopServices::setUrlHandler(scheme, &catcher, "open").
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};
