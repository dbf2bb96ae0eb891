#pragma once
// The greeting at the very first start: install the software now or later.

#include <QWidget>

class QLabel;
class QPushButton;
class QCloseEvent;

class WelcomeWindow : public QWidget {
    Q_OBJECT
public:
    // Called with the window as its last act; the creator destroys the window there.
    using SelfDestroy = void (*)(WelcomeWindow *window);

    explicit WelcomeWindow(SelfDestroy selfDestroy);

signals:
    void Start_Download_Soft();

private slots:
    void Push_Ok_Button();
    void Push_Cancel_Button();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *textLabel = nullptr;
    QPushButton *laterButton = nullptr;
    QPushButton *startButton = nullptr;
    SelfDestroy selfDestroy = nullptr;

    void leave();
    bool left = false;
};
