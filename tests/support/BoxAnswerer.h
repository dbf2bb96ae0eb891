#pragma once
// Answers the application-modal message boxes of a test as they come up and remembers what they showed.

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class BoxAnswerer : public QObject {
public:
    struct Seen {
        QString title;
        QString text;
        QStringList buttons; // every button's text, sorted
        QString pressed;     // the text of the button pressed; empty when the box was rejected
        QStringList state;   // what the snapshot function returned while the box was up
    };

    // Presses the given buttons, one per box, in order; a box that comes when none is left is rejected
    // and counted in `unanswered`.
    explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers = {},
                         std::function<QStringList()> snapshot = {});
    void queue(QMessageBox::StandardButton button) { answers.append(button); }
    QStringList texts() const;
    QStringList titles() const;

    QList<Seen> seen;
    int unanswered = 0;

private:
    void poll();

    QList<QMessageBox::StandardButton> answers;
    std::function<QStringList()> snapshot;
    QTimer timer;
};
