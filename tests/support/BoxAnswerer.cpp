#include "BoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

BoxAnswerer::BoxAnswerer(QList<QMessageBox::StandardButton> answers, std::function<QStringList()> snapshot)
    : answers(std::move(answers)), snapshot(std::move(snapshot)) {
    connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer.start(10);
}

QStringList BoxAnswerer::texts() const {
    QStringList list;
    for (const Seen &box : seen)
        list << box.text;
    return list;
}

QStringList BoxAnswerer::titles() const {
    QStringList list;
    for (const Seen &box : seen)
        list << box.title;
    return list;
}

void BoxAnswerer::poll() {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    // A new box may come at the address of an answered one; the mark tells them apart.
    if (!box || !box->isVisible() || box->property("answered").toBool())
        return;
    box->setProperty("answered", true);
    Seen shown{box->windowTitle(), box->text(), {}, {}, snapshot ? snapshot() : QStringList()};
    for (QAbstractButton *button : box->buttons())
        shown.buttons << button->text();
    shown.buttons.sort();
    QAbstractButton *button = answers.isEmpty() ? nullptr : box->button(answers.takeFirst());
    if (button)
        shown.pressed = button->text();
    seen << shown;
    if (button) {
        button->click();
    } else {
        ++unanswered;
        box->reject();
    }
}
