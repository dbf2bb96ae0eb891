#include "TestWidgets.h"

#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

QPushButton *buttonLabelled(QWidget *page, const QString &text) {
    for (QPushButton *button : page->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

QTreeWidgetItem *findRow(QTreeWidget *tree, const QString &text) {
    const QList<QTreeWidgetItem *> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive, 0);
    return found.isEmpty() ? nullptr : found.first();
}

void doubleClickRow(QTreeWidget *tree, QTreeWidgetItem *item) {
    if (item->parent())
        item->parent()->setExpanded(true);
    tree->scrollToItem(item);
    const QRect rect = tree->visualItemRect(item);
    const QPoint at(rect.left() + 80, rect.center().y());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}
