#pragma once
// Finds and drives the widgets of the install wizard's pages the way a user does.

#include <QString>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// The page's push button with this text; null when there is none.
QPushButton *buttonLabelled(QWidget *page, const QString &text);
// The first row of the tree, at any depth, whose first column reads this text; null when there is none.
QTreeWidgetItem *findRow(QTreeWidget *tree, const QString &text);
// Brings the row into view and double-clicks its name, as the mouse does (a click comes first).
void doubleClickRow(QTreeWidget *tree, QTreeWidgetItem *item);
