#pragma once
// The worker that compares every installed component with the server, file by file by MD5 (or, with the
// publisher's signed manifest, by SHA-256 against that manifest alone).

#include <QHash>
#include <QObject>

class UpdateChecker : public QObject {
    Q_OBJECT
public:
    explicit UpdateChecker(QHash<QString, QString> *result);
    ~UpdateChecker() override;

signals:
    void Finish_Check_Update();

public slots:
    void Checking_Updates_On_Server();

private:
    QHash<QString, QString> *result;
};

QString md5Hex(const QByteArray &bytes);
