#pragma once
// Who makes the program, its version, and where to ask for support.

#include <QWidget>

class QLabel;
class QPushButton;
class QCloseEvent;

class AboutWindow : public QWidget {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget *parent = nullptr);

signals:
    void Close_About();

private slots:
    void Push_Cancel_Button();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *textLabel = nullptr;
    QPushButton *closeButton = nullptr;
};
