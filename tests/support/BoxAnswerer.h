#pragma once
// Answers the application-modal dialogs of a test as they come up and remembers what they showed.

#include <QAbstractButton>
#include <QApplication>
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
    explicit BoxAnswerer(QList<Answer> answers = {}, std::function<QStringList()> snapshot = {})
        : answers(std::move(answers)), snapshot(std::move(snapshot)) {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(10);
    }
    void queue(const Answer &answer) { answers.append(answer); }
    QStringList titles() const {
        QStringList list;
        for (const Seen &box : seen)
            list << box.title;
        return list;
    }

    QList<Seen> seen;
    int unanswered = 0;

private:
    void poll() {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        // A new dialog may come at the address of an answered one; the mark tells them apart.
        if (!dialog || !dialog->isVisible() || dialog->property("answered").toBool())
            return;
        dialog->setProperty("answered", true);
        auto *box = qobject_cast<QMessageBox *>(dialog);
        Seen shown{dialog->windowTitle(),
                   box ? box->text() : QString(),
                   {},
                   box ? box->icon() : QMessageBox::NoIcon,
                   snapshot ? snapshot() : QStringList()};
        for (QAbstractButton *button : box ? box->buttons() : QList<QAbstractButton *>())
            shown.buttons << button->text();
        shown.buttons.sort();
        const Answer answer = answers.isEmpty() ? Answer(QMessageBox::NoButton) : answers.takeFirst();
        QAbstractButton *button = box && answer.button ? box->button(answer.button) : nullptr;
        seen << shown;
        if (button) {
            button->click();
        } else if (answer.act) {
            answer.act(dialog);
        } else {
            ++unanswered;
            dialog->reject();
        }
    }

    QList<Answer> answers;
    std::function<QStringList()> snapshot;
    QTimer timer;
};
