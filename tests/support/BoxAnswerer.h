#pragma once
// Answers the application-modal dialogs of a test as they come up and remembers what they showed.

#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class BoxAnswerer : public QObject {
public:
    // A message box button to press, or what to do with a dialog of any kind.
    struct Answer {
        Answer(QMessageBox::StandardButton button) : button(button) {}
        Answer(std::function<void(QDialog *)> act) : act(std::move(act)) {}
        QMessageBox::StandardButton button = QMessageBox::NoButton;
        std::function<void(QDialog *)> act;
    };
    struct Seen {
        QString title;
        QString text;                                 // a message box's text
        QStringList buttons;                          // a message box's button texts, sorted
        QMessageBox::Icon icon = QMessageBox::NoIcon; // a message box's kind: what it tells in any language
        QStringList state; // what the snapshot function returned while the dialog was up
    };

    // Gives the answers, one per dialog, in order; a dialog that comes when none is left (or a box without
    // the button) is rejected and counted in `unanswered`.
    explicit BoxAnswerer(QList<Answer> answers = {}, std::function<QStringList()> snapshot = {});
    void queue(const Answer &answer) { answers.append(answer); }
    QStringList titles() const;

    QList<Seen> seen;
    int unanswered = 0;

private:
    void poll();

    QList<Answer> answers;
    std::function<QStringList()> snapshot;
    QTimer timer;
};
