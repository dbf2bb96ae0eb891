#include "ui/TitleFrame.h"

#include <QLabel>
#include <QPixmap>
#include <QWidget>

void setUpTitleFrame(QWidget *window) {
    window->setFixedSize(615, 467);
    window->setWindowTitle(QStringLiteral("Quillon"));
    window->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    auto *picture = new QLabel(window);
    picture->setGeometry(18, 95, 291, 301);
    picture->setPixmap(QPixmap(QStringLiteral(":/Title.png")));
    auto *header = new QLabel(window);
    header->setGeometry(10, 5, 591, 81);
    header->setPixmap(QPixmap(QStringLiteral(":/Header.png")));
}
