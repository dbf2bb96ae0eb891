#include "BoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

BoxAnswerer::BoxAnswerer(QList<Answer> answers, std::function<QStringList()> snapshot)
    : answers(std::move(answers)), snapshot(std::move(snapshot)) {
    connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer.start(10);
}

QStringList BoxAnswerer::titles() const {
    QStringList list;
    for (const Seen &box : seen)
        list << box.title;
    return list;
}

void BoxAnswerer::poll() {
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
