// The settings window, the update list and the install wizard, driven through real widgets on the
// offscreen platform; update runs fetch from a real SFTP server on loopback.

#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestLocale.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "transfer/sftp/SftpSession.h"
#include "ui/Dialog.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"

#include <QtTest>
#include <QtWidgets>

namespace {
using Box = QMessageBox;
using Answer = BoxAnswerer::Answer;

// Picks the folder in a folder dialog, or cancels it when the folder is empty.
Answer pickFolder(const QString &folder) {
    return {[folder](QDialog *dialog) {
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(folder);
        folder.isEmpty() ? dialog->reject() : dialog->accept();
    }};
}
Answer choose(const QString &name) {
    return {[name](QDialog *dialog) {
        qobject_cast<Dialog *>(dialog)->namesBox()->setCurrentText(name);
        dialog->findChild<QPushButton *>(name.isEmpty() ? "cancelButton" : "okButton")->click();
    }};
}

// Many widgets compared at once: their texts, and their geometries, joined by "|".
QString texts(const QList<QObject *> &objects, QStringList list = {}) {
    for (const QObject *object : objects)
        list << object->property("text").toString();
    return list.join('|');
}
QString geometries(const QList<QWidget *> &widgets, QStringList list = {}) {
    for (const QWidget *w : widgets)
        list << QString("%1 %2 %3 %4").arg(w->x()).arg(w->y()).arg(w->width()).arg(w->height());
    return list.join('|');
}
// A column of the rows under a tree item (or a tree), joined by "|"; column -1: their ticks, "x" or "-".
QString rows(const QTreeWidgetItem *parent, int column, QStringList list = {}) {
    for (int i = 0; i < parent->childCount(); ++i)
        list << (column >= 0 ? parent->child(i)->text(column) : parent->child(i)->checkState(0) ? "x" : "-");
    return list.join(column >= 0 ? "|" : "");
}
QString rows(const QTreeWidget *tree, int column) {
    return rows(tree->invisibleRootItem(), column);
}
// Names, statuses and ticks of the update list's rows.
QString listed(const ListAvailableUpdater &window) {
    return rows(window.treeWidget(), 0) + rows(window.treeWidget(), 1) + rows(window.treeWidget(), -1);
}
QString sortedKeys(const QHash<QString, bool> &selection) {
    QStringList keys = selection.keys();
    keys.sort();
    return keys.join('|');
}
QString setting(const QString &key) {
    return settingsStore()->value(key).toString();
}
// Name, folder, name, folder...
void setPaths(const QStringList &paths) {
    for (int i = 0; i < paths.size(); i += 2)
        settingsStore()->setValue("Path/" + paths[i], paths[i + 1]);
}

struct SettingsUi {
    SettingsWindow window;
    QTableWidget *table = window.findChild<QTableWidget *>();
    QComboBox *periods = window.findChild<QComboBox *>();
    QCheckBox *autorun = window.findChild<QCheckBox *>();
    QPushButton *button(const char *name) { return window.findChild<QPushButton *>(name); }
    QStringList rowNames() const {
        QStringList names;
        for (int row = 0; row < table->rowCount(); ++row)
            names << table->verticalHeaderItem(row)->text();
        return names;
    }
    QTableWidgetItem *item(const QString &name) { return table->item(rowNames().indexOf(name), 0); }
    void pressRow(const QString &name) {
        const QPoint at = table->visualItemRect(item(name)).center();
        QTest::mousePress(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(table->viewport(), Qt::LeftButton, {}, at);
    }
    // Presses the row (if named), then the button; returns the answered dialogs' titles and box texts.
    QStringList push(const char *name, const QList<Answer> &answers, const QString &row = {}) {
        if (!row.isEmpty())
            pressRow(row);
        BoxAnswerer answerer(answers);
        QTest::mousePress(button(name), Qt::LeftButton);
        QStringList shown = answerer.titles() + answerer.texts();
        shown.removeAll({}); // the other dialogs' texts
        return shown;
    }
    void apply() {
        QCOMPARE(push("applyButton", {Box::Ok}),
                 QStringList({"Complete", inLanguage("Settings applied", "Настройки примененны")}));
    }
};

const QString remoteFolder = "/upload/Softwares/For Download/Brightfen Meter";
const QString laterText = "Some compnets have not been updated.\nShould I update them later?";
// A ".bin" file is big enough for a connection to break in the middle of it.
QByteArray newContent(const QString &name) {
    return "new " + name.toUtf8() + QByteArray(name.endsWith(".bin") ? 600000 : 3000, 'n');
}
QByteArray oldContent(const QString &name) {
    return "old " + name.toUtf8();
}

// A new version of each file on the server and an old one locally; returns the map a check would find.
QHash<QString, QString> pendingUpdates(const QString &serverRoot, const QString &local,
                                       const QStringList &names) {
    settingsStore()->setValue("Path/Brightfen Meter", local); // the downloader writes only below it
    QHash<QString, QString> map;
    for (const QString &name : names) {
        writeTestFile(serverRoot + remoteFolder + "/" + name, newContent(name));
        writeTestFile(local + "/" + name, oldContent(name));
        map.insert(local + "/" + name,
                   remoteFolder + "/" + name + "|" + QString::number(newContent(name).size()));
    }
    return map;
}
bool isListed(const ListAvailableUpdater &window) {
    return !window.isRunning() && window.updateButtonWidget()->isEnabled() &&
           window.dontUpdateButtonWidget()->isEnabled() && !window.dontUpdateButtonWidget()->isHidden() &&
           window.progressBarWidget()->isHidden() && window.chosenUpdates().isEmpty();
}
// Presses Update and waits until the answerer has seen that many boxes and the run's thread is gone.
// With `closing` the window is closed as the run starts, before its reports can arrive (they are queued).
void runUpdate(ListAvailableUpdater &window, BoxAnswerer &answerer, int boxes, bool closing = false) {
    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();
    QVERIFY(thread);
    // Closing by the title bar only hides the list; the run goes on to its final box.
    if (closing) {
        QVERIFY(window.isRunning() && !window.updateButtonWidget()->isEnabled() &&
                !window.dontUpdateButtonWidget()->isEnabled() && window.dontUpdateButtonWidget()->isHidden());
        QCOMPARE(geometries({window.progressBarWidget()}), QString("20 430 391 23"));
        QVERIFY(!window.progressBarWidget()->isHidden() && !window.close() && window.isHidden());
    }
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), boxes, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QCOMPARE(answerer.unanswered, 0);
}

// One install wizard with its context, released (deferred) at the end of the test.
struct Wizard {
    std::unique_ptr<InstallContext> context = std::make_unique<InstallContext>();
    InstallWizard parts = buildInstallWizard(context.get());
    QTreeWidget *tree = parts.softPage->findChild<QTreeWidget *>();
    SelectSoftList *soft = parts.softPage;
    SelectPathSoftInstall *path = parts.pathPage;
    QList<QLineEdit *> fields = path->findChildren<QLineEdit *>();
    ~Wizard() { destroy(); }
    void destroy() {
        destroyInstallWizard(parts);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        parts = {};
    }
    QCheckBox *groupBox(int group) { return soft->findChildren<QCheckBox *>().at(group); }
    QTreeWidgetItem *row(const char *english, const char *russian = nullptr) {
        const QString text = inLanguage(english, russian ? russian : english);
        return tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive).value(0);
    }
    // Brings the row into view and double-clicks its name, as the mouse does (a click comes first).
    void tick(QTreeWidgetItem *row) {
        if (row->parent())
            row->parent()->setExpanded(true);
        tree->scrollToItem(row);
        const QPoint at(tree->visualItemRect(row).left() + 80, tree->visualItemRect(row).center().y());
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
    }
    void click(QWidget *page, const char *english, const char *russian) {
        for (QPushButton *button : page->findChildren<QPushButton *>())
            if (button->text() == inLanguage(english, russian))
                return QTest::mouseClick(button, Qt::LeftButton);
        QFAIL(english);
    }
    void next() { click(soft, "Next", "Далее"); }
    QString ticks(int group) const { return rows(tree->topLevelItem(group), -1); }
    QString enabledFields() const {
        return QString(fields[0]->isEnabled() ? "x" : "-") + (fields[1]->isEnabled() ? "x" : "-") +
               (fields[2]->isEnabled() ? "x" : "-");
    }
};
} // namespace

class WindowsTest : public QObject {
    Q_OBJECT
public:
    // The autostart entry goes to a temporary home folder.
    static void initMain() {
        useTestLocale();
        static QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        qunsetenv("XDG_CONFIG_HOME");
    }

private slots:
    void initTestCase() {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(QDir::setCurrent(work.path())); // the log file goes here, out of the build tree
        useTestSettings();
    }
    void init() {
        for (const QString &name : updatableComponents() + QStringList{"CP210x"})
            settingsStore()->setValue("Path/" + name, QString());
        settingsStore()->setValue("MSVC/Inst", false);
        settingsStore()->setValue("Autorun", false);
    }
    void textsUnderOtherLocales();
    void settingsTableEditsApplyAndClose();
    void settingsPeriodsAreStoredAndSignalled();
    void updateListWithoutARun();
    void updateRunsReplaceTickedFilesAndAskAboutTheRest();
    void brokenConnectionReturnsTheListToItsListedState_data();
    void brokenConnectionReturnsTheListToItsListedState();
    void wizardPagesAndTicks();
    void wizardNextBackAndFolders();

private:
    QTemporaryDir work;
};

void WindowsTest::textsUnderOtherLocales() {
    const QStringList some{"settingsPeriodsAreStoredAndSignalled", "updateListWithoutARun"};
    QVERIFY(passesUnderLocale("ru_RU.UTF-8",
                              some + QStringList{"settingsTableEditsApplyAndClose", "wizardPagesAndTicks",
                                                 "wizardNextBackAndFolders"}));
    // Kazakh takes System_Language's Russian texts but not those of the narrower "contains ru" rule.
    QVERIFY(passesUnderLocale("kk_KZ.UTF-8", some));
}

void WindowsTest::settingsTableEditsApplyAndClose() {
    QTemporaryDir folders;
    const QString kept = folders.filePath("kept"), removed = folders.filePath("removed");
    const QString before = folders.filePath("missing"), after = folders.filePath("after");
    const QString added = folders.filePath("added"), own = QCoreApplication::applicationDirPath();
    QVERIFY(QDir().mkpath(kept + "/bin") && QDir().mkpath(removed + "/bin") && QDir().mkpath(after) &&
            QDir().mkpath(added));
    // A folder holding the program is refused like the program's own.
    setPaths({"Quillon", own, "Brightfen Alerter", QFileInfo(own).path(), "Brightfen Console", kept,
              "Brightfen Sniffer", folders.filePath("gone"), "Brightfen Bridge", removed,
              "Brightfen Fieldlink", before});
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    SettingsUi w;
    QVERIFY(w.window.minimumSize() == QSize(615, 467) && w.window.maximumSize() == QSize(615, 467));
    QList<QWidget *> widgets;
    for (const char *name : {"applyButton", "closeButton", "addButton", "modifyButton", "deleteButton"})
        widgets << w.button(name);
    widgets << w.window.findChild<QLabel *>() << w.autorun << w.periods << w.table;
    QCOMPARE(geometries(widgets),
             QString("510 430 80 24|410 430 80 24|520 20 80 24|520 50 80 24|520 80 80 24|"
                     "150 390 181 21|330 390 261 22|20 390 121 24|20 20 481 351"));
    QCOMPARE(texts({widgets.begin(), widgets.begin() + 7}),
             inLanguage("Apply|Close|Add|Modify|Delete|Update check period|Run at Windows startup",
                        "Применить|Закрыть|Добавить|Изменить|Удалить|Период проверки обновлений|"
                        "Запускать при старте Windows"));
    QVERIFY(w.table->editTriggers() == QAbstractItemView::NoEditTriggers &&
            w.table->selectionMode() == QAbstractItemView::SingleSelection &&
            w.table->verticalHeader()->defaultSectionSize() == 20 && w.button("addButton")->isEnabled() &&
            !w.button("modifyButton")->isEnabled() && !w.button("deleteButton")->isEnabled());
    // Rows in catalog order.
    QCOMPARE(w.rowNames(), QStringList({"Brightfen Console", "Brightfen Bridge", "Brightfen Fieldlink",
                                        "Brightfen Sniffer", "Brightfen Alerter", "Quillon"}));
    QCOMPARE(w.table->item(0, 0)->text() + w.table->item(5, 0)->text(), kept + own);
    w.window.show();
    // A folder that is gone opens nothing.
    emit w.table->itemDoubleClicked(w.item("Brightfen Sniffer"));
    emit w.table->itemDoubleClicked(w.item("Brightfen Console"));
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.opened, QList<QUrl>({QUrl::fromLocalFile(kept)}));
    // Should a question come all the same, "No" keeps the build folder holding this test.
    for (const QString name : {"Quillon", "Brightfen Alerter"})
        QVERIFY(w.push("deleteButton", {Box::No}, name).isEmpty() && w.item(name));
    QVERIFY(setting("Path/Quillon") == own && QFileInfo::exists(QCoreApplication::applicationFilePath()));
    // No: the files stay, the entry goes, and its setting is empty before any Apply.
    QCOMPARE(w.push("deleteButton", {Box::No}, "Brightfen Console"),
             QStringList({"Quillon", inLanguage("Delete directory  Brightfen Console ?",
                                                "Удалить директорию Brightfen Console ?")}));
    QVERIFY(QFileInfo::exists(kept + "/bin") && setting("Path/Brightfen Console").isEmpty());
    QVERIFY(!w.item("Brightfen Console") && !w.button("deleteButton")->isEnabled() &&
            !w.window.selectedItem());
    // Yes: the folder goes with everything in it; a missing one can be deleted too.
    for (const QString name : {"Brightfen Bridge", "Brightfen Sniffer"})
        QVERIFY(w.push("deleteButton", {Box::Yes}, name).size() == 2 && setting("Path/" + name).isEmpty());
    QVERIFY(!QFileInfo::exists(removed) && QFileInfo::exists(kept + "/bin"));
    // After Apply the emptied rows are gone from the table.
    w.apply();
    const QStringList left{"Brightfen Fieldlink", "Brightfen Alerter", "Quillon"};
    QCOMPARE(w.rowNames(), left);

    const QStringList all = updatableComponents();
    {
        Dialog chooser(w.table, all);
        QVERIFY(chooser.existingNames() == left && chooser.namesBox()->itemText(0) == all.first() &&
                chooser.namesBox()->count() == all.size() - 3);
        QVERIFY(chooser.namesBox()->findText("Brightfen Fieldlink") == -1 &&
                chooser.findChild<QPushButton *>("okButton")->text() == inLanguage("Ok", "Ок"));
    }
    // A press outside the table forgets the selection.
    w.pressRow("Brightfen Fieldlink");
    QVERIFY(w.window.selectedItem() && w.button("modifyButton")->isEnabled());
    QTest::mousePress(&w.window, Qt::LeftButton, {}, QPoint(300, 440));
    QVERIFY(!w.window.selectedItem() && w.table->selectedItems().isEmpty() &&
            !w.button("modifyButton")->isEnabled() && !w.button("deleteButton")->isEnabled());
    // Modify asks for a folder under the current one's name; cancelled, it keeps the folder.
    for (const QString &folder : {QString(), after})
        QCOMPARE(w.push("modifyButton", {pickFolder(folder)}, "Brightfen Fieldlink"), QStringList{before});
    QVERIFY(w.item("Brightfen Fieldlink")->text() == after && !w.button("modifyButton")->isEnabled());
    // Add: cancelled in the chooser, then in the folder dialog, then done.
    const QString chooser =
        inLanguage("Select the required software from the list", "Выберете необходимый софт из списка");
    QCOMPARE(w.push("addButton", {choose("")}), QStringList{chooser});
    QCOMPARE(w.push("addButton", {choose("Brightfen Clocksync"), pickFolder("")}),
             QStringList({chooser, "Brightfen Clocksync"}));
    QCOMPARE(w.rowNames(), left);
    w.push("addButton", {choose("Brightfen Clocksync"), pickFolder(added)});
    QCOMPARE(w.rowNames(), left + QStringList{"Brightfen Clocksync"});
    QCOMPARE(w.item("Brightfen Clocksync")->text(), added);
    QVERIFY(setting("Path/Brightfen Fieldlink") == before && setting("Path/Brightfen Clocksync").isEmpty());
    w.apply();
    QVERIFY(setting("Path/Brightfen Fieldlink") == after && setting("Path/Brightfen Clocksync") == added);

    // The autostart entry follows the box on Apply, and only when the box differs from the stored value.
    const QString entry = QDir::homePath() + "/.config/autostart/Quillon.desktop";
    QVERIFY2(QDir::homePath().startsWith(QDir::tempPath()), "runs against a temporary home folder");
    QVERIFY(!w.autorun->isChecked() && !QFileInfo::exists(entry));
    w.autorun->setChecked(true);
    w.apply();
    QVERIFY(settingsStore()->value("Autorun").toBool() && w.autorun->isChecked());
    QVERIFY(Platform::startsWithSystem() && QFileInfo::exists(entry));
    QFile::remove(entry);
    w.apply();
    QVERIFY(!QFileInfo::exists(entry) &&
            Platform::setStartWithSystem(true, QCoreApplication::applicationFilePath()));
    w.autorun->setChecked(false);
    w.apply();
    QVERIFY(!settingsStore()->value("Autorun").toBool() && !Platform::startsWithSystem() &&
            !QFileInfo::exists(entry));

    // The close button acts on its press; closing hides the window and asks the tray to dispose of it.
    QSignalSpy closing(&w.window, &SettingsWindow::Delete_Setting_Window);
    QTest::mousePress(w.button("closeButton"), Qt::LeftButton);
    QVERIFY(closing.count() == 1 && !w.window.isVisible());
    for (const QString &name : all)
        setPaths({name, "/x/" + name});
    SettingsUi full;
    Dialog complete(full.table, all);
    QVERIFY(complete.namesBox()->count() == 0 && complete.existingNames() == all);
}

void WindowsTest::settingsPeriodsAreStoredAndSignalled() {
    // At first use no period is stored: the box starts empty, and Apply stores 0.
    settingsStore()->setValue("Timer/Timeout", QString());
    QString stored; // the text of the stored period
    for (auto [english, russian, days] : QList<std::tuple<const char *, const char *, int>>{
             {"", "", 0},
             {"Once a day", "1 раз в сутки", 1},
             {"Once a week", "1 раз в неделю", 7},
             {"Once a month", "1 раз в месяц", 25},
             {"2 times per month", "2 раза в месяц", 12},
             {"Once every 6 months", "1 раз в 6 месяцев", 183}}) {
        SettingsUi w;
        QVERIFY(w.periods->itemText(0) == stored && w.periods->count() == (stored.isEmpty() ? 6 : 5));
        w.periods->setCurrentIndex(w.periods->findText(inLanguage(english, russian)));
        QCOMPARE(w.periods->currentText(), inLanguage(english, russian));
        QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
        w.apply();
        QCOMPARE(settingsStore()->value("Timer/Timeout").toInt(), days);
        QCOMPARE(timeout.value(0).value(0).toInt(), days);
        // The rebuilt window: the stored period first; the header by the narrower "contains ru" rule.
        stored = inLanguage(english, russian);
        QVERIFY(w.periods->itemText(0) == stored && w.periods->count() == (days ? 5 : 6));
        QCOMPARE(w.table->horizontalHeaderItem(0)->text(),
                 QString(testLocale().startsWith("ru_") ? "Путь" : "Path"));
    }
}

void WindowsTest::updateListWithoutARun() {
    QHash<QString, QString> map{{"C:/Brightfen/LoRa/Meter/app.exe", "/upload/a/app.exe|10"},
                                {"C:/Brightfen/LoRa/Meter/help/Meter.html", "/upload/a/help/Meter.html|20"},
                                {"C:/Brightfen/MT/readme.txt", "/upload/b/readme.txt|30"}};
    ListAvailableUpdater window;
    QTreeWidget *tree = window.treeWidget();
    QCheckBox *all = window.updateAllBoxWidget();
    QVERIFY(window.minimumSize() == QSize(615, 467) && window.maximumSize() == QSize(615, 467) &&
            !window.parent() && window.windowTitle().isEmpty() && !window.windowIcon().isNull());
    QCOMPARE(geometries({window.updateButtonWidget(), window.hideButtonWidget(), all,
                         window.dontUpdateButtonWidget(), tree, window.headerPictureWidget()}),
             QString("510 430 80 24|420 430 80 24|210 430 120 24|320 430 90 24|10 100 591 321|10 10 591 71"));
    QVERIFY(!window.headerPictureWidget()->pixmap().isNull() && window.progressBarWidget()->isHidden() &&
            tree->columnCount() == 2 && tree->columnWidth(0) == 451 && tree->columnWidth(1) == 130 &&
            tree->header()->sectionResizeMode(0) == QHeaderView::Fixed &&
            tree->header()->sectionResizeMode(1) == QHeaderView::Fixed && !tree->isSortingEnabled());
    // The window's own texts go by the "contains ru" rule, its rows and boxes by System_Language.
    const bool ruA = testLocale().startsWith("ru_");
    QCOMPARE(
        QStringList({window.objectName(),
                     texts({window.updateButtonWidget(), window.hideButtonWidget(),
                            window.dontUpdateButtonWidget(), all}),
                     tree->headerItem()->text(0), tree->headerItem()->text(1)})
            .join('|'),
        QString(
            ruA ? "Обновления|Обновить|Свернуть|Не обновлять|Обновить все|Доступны новые обновления|Статус"
                : "Updates|Update|Hide|Don't update|Update All|New updates are available|Status"));
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    QVERIFY(window.isHidden());
    window.Filling_Three_Update(map);
    const QString available = inLanguage("Update available", "Доступно обновление");
    const QString three = QStringList(3, available).join('|');
    QVERIFY(window.isVisible() && !tree->topLevelItem(0)->childCount() &&
            !tree->topLevelItem(2)->childCount());
    QCOMPARE(rows(tree, 0), QStringList(map.keys()).join('|')); // in the map's order
    QCOMPARE(rows(tree, 1) + rows(tree, -1), three + "---");
    // A component reported done that matches no row, or only by case, changes nothing; a match is marked.
    for (const QString done : {"C:/Brightfen/MT", "c:/brightfen/mt/readme.txt"})
        QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component", Q_ARG(QString, done)));
    QCOMPARE(rows(tree, 1), three);
    QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component",
                                      Q_ARG(QString, tree->topLevelItem(1)->text(0))));
    QCOMPARE(rows(tree, 1), QString(available + "|%1|" + available).arg(ruA ? "Обновлено" : "Updated"));

    // "Update All" ticks and clears every row; a single tick leaves the box alone.
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(rows(tree, -1), QString("xxx"));
    tree->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(rows(tree, -1), QString("---"));
    tree->topLevelItem(0)->setCheckState(0, Qt::Checked);
    QVERIFY(!all->isChecked() && rows(tree, -1) == "x--");
    // Hide and the title-bar close only hide the list, ticks and all; a press alone is enough.
    QTest::mousePress(window.hideButtonWidget(), Qt::LeftButton);
    QVERIFY(window.isHidden());
    QTest::mouseRelease(window.hideButtonWidget(), Qt::LeftButton);
    window.show();
    QVERIFY(!window.close() && window.isHidden() && map.size() == 3 && rows(tree, -1) == "x--");

    // The running-program question names the file behind the last "/", or the whole name without one.
    QAtomicInt cell = 1;
    BoxAnswerer answerer({Box::Ok, Box::No, Box::Yes, Box::No, Box::Ok});
    for (const QString program : {"C:/x/Tool.exe", "Console.exe"})
        QVERIFY(QMetaObject::invokeMethod(&window, "Attachement", Q_ARG(QString, program),
                                          Q_ARG(int *, reinterpret_cast<int *>(&cell))) &&
                cell.loadAcquire() == (program == "Console.exe" ? 2 : 0));
    QCOMPARE(answerer.seen.value(0).buttons, QStringList({"OK", inLanguage("Skip", "Пропустить")}));
    // The final box: with rows left out it offers "Update later", which lists the same rows again.
    QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
    QVERIFY(map.size() == 3 && window.isVisible() && finished.isEmpty() && rows(tree, 1) == three);
    QCOMPARE(answerer.seen.value(2).buttons,
             QStringList({inLanguage("Complete the update", "Завершить обновление"),
                          inLanguage("Update later", "Обновить позже")}));
    // Filling again replaces the rows and keeps the map's address; "Complete the update" empties it.
    map.remove("C:/Brightfen/MT/readme.txt");
    window.Filling_Three_Update(map);
    QCOMPARE(tree->topLevelItemCount(), 2);
    QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
    QVERIFY(map.isEmpty() && window.isHidden() && tree->topLevelItemCount() == 0 && finished.count() == 1);
    // Nothing left out: the plain OK box. An empty map still shows the window, with an empty list.
    window.Filling_Three_Update(map);
    QVERIFY(window.isVisible() && tree->topLevelItemCount() == 0);
    QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
    QVERIFY(answerer.seen.value(4).buttons == QStringList{"OK"} && finished.count() == 2);
    const QString done =
        inLanguage("The updates have been successfully installed!", "Обновления успешно установлены!");
    const QString later =
        inRussian() ? QString("Некоторые компопнеты не были обновлены.\nОбновить их позже?") : laterText;
    QCOMPARE(answerer.titles(), QStringList({"Quillon", "Quillon", done, done, done}));
    QCOMPARE(
        answerer.texts(),
        QStringList({inLanguage("Before updating, close the Tool.exe application.",
                                "Перед обновлением закройте приложение Tool.exe"),
                     inLanguage("Before updating, close the Console.exe application.",
                                "Перед обновлением закройте приложение Console.exe"),
                     later, later, inLanguage("Press OK to continue.", "Нажмите ОК, чтобы продолжить.")}));
    // "Don't update" empties the map and closes the list too.
    map.insert("C:/a", "/a|1");
    window.Filling_Three_Update(map);
    QTest::mousePress(window.dontUpdateButtonWidget(), Qt::LeftButton);
    QVERIFY(map.isEmpty() && window.isHidden() && tree->topLevelItemCount() == 0 && finished.count() == 3);
}

void WindowsTest::updateRunsReplaceTickedFilesAndAskAboutTheRest() {
    QTemporaryDir serverRoot, local;
    QHash<QString, QString> map =
        pendingUpdates(serverRoot.path(), local.path(), {"one.dll", "two.dll", "Gauge.exe"});
    const QString tool = local.filePath("Gauge.exe"), toolValue = map.value(tool);
    // A real running program stands in for the one to update: a copy of sleep.
    QVERIFY(QFile::remove(tool) && QFile::copy("/bin/sleep", tool));
    const QByteArray toolBytes = readTestFile(tool);
    QProcess running; // killed at the latest when it goes
    running.start(tool, {"60"});
    QVERIFY(running.waitForStarted());
    AsyncsshServer server(serverRoot.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    const QString order = rows(window.treeWidget(), 0);
    // Nothing ticked: the run fetches nothing and asks about every row; "Update later".
    BoxAnswerer answerer({Box::Yes, Box::Ok, Box::No, Box::Yes, Box::Ok},
                         [&window] { return QStringList(rows(window.treeWidget(), 1)); });
    runUpdate(window, answerer, 1);
    QCOMPARE(answerer.seen[0].state, QStringList("Update available|Update available|Update available"));
    QVERIFY(map.size() == 3 && isListed(window) &&
            readTestFile(local.filePath("one.dll")) == oldContent("one.dll"));

    // All ticked, the program still running: "closed" asks again; "Skip" counts it as not updated.
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    runUpdate(window, answerer, 4);
    QStringList statuses(3, "Updated");
    statuses[order.split('|').indexOf(tool)] = "Update available";
    QCOMPARE(answerer.seen[3].state, QStringList(statuses.join('|')));
    QVERIFY(finished.isEmpty() && window.isVisible() && isListed(window));
    QVERIFY(map.keys() == QStringList{tool} && map.value(tool) == toolValue &&
            readTestFile(tool) == toolBytes);
    QCOMPARE(listed(window), tool + "Update available-");
    QVERIFY(readTestFile(local.filePath("one.dll")) == newContent("one.dll") &&
            readTestFile(local.filePath("two.dll")) == newContent("two.dll"));

    // A further run with a fresh thread and downloader takes the rest, the list closed meanwhile.
    running.kill();
    running.waitForFinished();
    window.treeWidget()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    runUpdate(window, answerer, 5, true);
    const QString question = "Before updating, close the Gauge.exe application.";
    QCOMPARE(answerer.texts(),
             QStringList({laterText, question, question, laterText, "Press OK to continue."}));
    QCOMPARE(answerer.seen[4].title, QString("The updates have been successfully installed!"));
    QCOMPARE(answerer.seen[4].state, QStringList("Updated"));
    QVERIFY(finished.count() == 1 && map.isEmpty() && window.isHidden());
    QVERIFY(window.treeWidget()->topLevelItemCount() == 0 && window.progressBarWidget()->value() == 100);
    QCOMPARE(readTestFile(tool), newContent("Gauge.exe"));
}

void WindowsTest::brokenConnectionReturnsTheListToItsListedState_data() {
    QTest::addColumn<QStringList>("fault");
    // "refused": the port of a server that was there a moment ago and has stopped. The other faults
    // strike once 200000 bytes of file data have gone out, in the middle of big.bin.
    QTest::newRow("refused") << QStringList{"stopped"};
    QTest::newRow("dropped") << QStringList{"--drop-after", "200000"};
    QTest::newRow("stalled") << QStringList{"--stall-after", "200000"};
    // A publisher key is set and the server has no signed manifest: the run is refused before any file.
    QTest::newRow("unsigned") << QStringList{"unsigned"};
}

void WindowsTest::brokenConnectionReturnsTheListToItsListedState() {
    QFETCH(QStringList, fault);
    QTemporaryDir serverRoot, local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"small.dll", "big.bin"});
    const QString big = local.filePath("big.bin"), small = local.filePath("small.dll");
    const bool refused = fault == QStringList{"stopped"}, notSigned = fault == QStringList{"unsigned"};
    AsyncsshServer server(serverRoot.path(), refused || notSigned ? QStringList() : fault);
    if (notSigned)
        settingsStore()->setValue(
            PublisherTrust::keySetting,
            "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIFKx0nxFdeKEXq/DSdZFd+aZcA4aVoh47Jiw2IM7y/sM");
    auto removeKey = qScopeGuard([] { settingsStore()->remove(PublisherTrust::keySetting); });
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    if (refused)
        server.stop();
    // A silent server is given up after 1.5 s here instead of a minute.
    setSessionTimeoutsForTesting(5000, 1500);
    auto restoreTimeouts = qScopeGuard([] { setSessionTimeoutsForTesting(0, 0); });

    const QHash<QString, QString> before = map;
    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    // A second attempt after a failed one fails the same way: nothing of the first run is left over.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        for (const QString &key : map.keys())
            window.treeWidget()->findItems(key, Qt::MatchExactly).first()->setCheckState(0, Qt::Checked);
        BoxAnswerer answerer({Box::Ok});
        runUpdate(window, answerer, 1);
        const QString message =
            notSigned ? PublisherTrust::refusedText(inRussian())
                      : inLanguage("Failed to join the server", "Не удалось присоединиться к серверу");
        QCOMPARE(answerer.titles() + answerer.texts(), QStringList({"Quillon", message}));
        QTRY_VERIFY(isListed(window));
        QVERIFY(window.isVisible() && finished.isEmpty());
        // What was cut short stays listed; a file that arrived before the cut is done and leaves the list.
        QVERIFY(map.contains(big) && readTestFile(big) == oldContent("big.bin") &&
                (!(refused || notSigned) || map == before));
        QCOMPARE(map.contains(small), readTestFile(small) != newContent("small.dll"));
        QCOMPARE(listed(window), QStringList(map.keys()).join('|') +
                                     QStringList(map.size(), "Update available").join('|') +
                                     QString(map.size(), '-'));
    }
}

void WindowsTest::wizardPagesAndTicks() {
    setPaths({"Brightfen Console", "/opt/c", "Brightfen Fleet Server", "/opt/f", "CP210x", "/opt/cp"});
    settingsStore()->setValue("MSVC/Inst", true);
    Wizard w;
    StacketWidget *container = w.parts.container;
    QVERIFY(container->count() == 3 && container->widget(0) == w.soft && container->widget(1) == w.path &&
            container->widget(2) == w.parts.progressPage);
    QVERIFY(container->windowTitle() == "Quillon" && container->size() == QSize(615, 467));
    QVERIFY(w.context->softListPage == w.soft && w.context->pathSelectPage == w.path);
    container->show();
    QVERIFY(QTest::qWaitForWindowExposed(container));
    QVERIFY(w.soft->isVisible() && !w.path->isVisible() && !w.parts.progressPage->isVisible());
    const QList<QLabel *> labels = w.path->findChildren<QLabel *>();
    QCOMPARE(QStringList({w.tree->headerItem()->text(0), w.tree->headerItem()->text(1), rows(w.tree, 0),
                          texts({w.groupBox(0), w.groupBox(1), w.groupBox(2), w.groupBox(3), labels[0],
                                 labels[1], labels[2]})})
                 .join('|'),
             inLanguage("Installation software|State|LoRa|NB-IoT|Transport monitoring|Drivers|LoRa|NB-IoT|"
                        "Transport\nmonitoring|Drivers|LoRa networking software|NB-IoT software|"
                        "Software for work with transport monitoring",
                        "Программное обеспечение для установки|Состояние|LoRa|NB-IoT|Мониторинг транспорта|"
                        "Драйверы|LoRa|NB-IoT|Мониторинг\nтранспорта|Драйверы|ПО для работы с сетями LoRa|"
                        "ПО для работы с NB-IoT|ПО для работы с мониторингом транспорта"));
    QVERIFY(w.row("MCP2200(COM port driver)", "MCP2200(Дайвер для COM-порта)") &&
            w.row("CH9340(WCHIP driver)", "CH9340(Драйвер для WCHIP)") &&
            w.row("Brightfen Alerter(Zip archive)", "Brightfen Alerter(Архив zip)"));
    // Group rows: collapsed, without check boxes, and a double-click never gives them one.
    for (int g = 0; g < 4; ++g) {
        QTreeWidgetItem *group = w.tree->topLevelItem(g);
        QVERIFY(!group->isExpanded() && !group->data(0, Qt::CheckStateRole).isValid());
        QMetaObject::invokeMethod(w.soft, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, group),
                                  Q_ARG(int, 0));
        QVERIFY(!group->data(0, Qt::CheckStateRole).isValid());
    }
    QCOMPARE(QStringList({w.ticks(0), w.ticks(1), w.ticks(2), w.ticks(3)}),
             QStringList({"----------", "-", "-----", "------"}));
    // The columns make room for the scroll bar while the list scrolls.
    for (bool expanded : {false, true, false}) {
        for (int g = 0; g < 4; ++g)
            w.tree->topLevelItem(g)->setExpanded(expanded);
        QTRY_COMPARE(w.tree->verticalScrollBar()->maximum() > 0, expanded);
        QCOMPARE(QString("%1 %2").arg(w.tree->header()->sectionSize(0)).arg(w.tree->header()->sectionSize(1)),
                 QString(expanded ? "356 95" : "371 80"));
    }

    // Recorded under its key, the engineering server shows as installed too; drivers are never marked.
    QTreeWidgetItem *console = w.row("Brightfen Console"), *meter = w.row("Brightfen Meter");
    QTreeWidgetItem *fleet = w.row("Engineering server", "Инженерный сервер");
    QTreeWidgetItem *cp210x = w.row("CP210x(COM port driver)", "CP210x(Драйвер для COM-порта)");
    QVERIFY(console->isDisabled() && fleet->isDisabled() && !cp210x->isDisabled());
    QCOMPARE(console->text(1) + "|" + fleet->text(1) + "|" + cp210x->text(1),
             inLanguage("Installed|Installed|", "Установлено|Установлено|"));
    // A double-click toggles a row, in either column, never giving the State cell a box.
    w.tick(meter);
    QCOMPARE(meter->checkState(0), Qt::Checked);
    w.tick(meter);
    QCOMPARE(meter->checkState(0), Qt::Unchecked);
    QMetaObject::invokeMethod(w.soft, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, meter), Q_ARG(int, 1));
    QVERIFY(meter->checkState(0) == Qt::Checked && !meter->data(1, Qt::CheckStateRole).isValid());

    // A group box ticks and expands its group, installed rows left alone; it clears rows ticked by hand.
    w.tree->collapseAll();
    QTest::mouseClick(w.groupBox(0), Qt::LeftButton);
    QVERIFY(w.groupBox(0)->isChecked() && w.tree->topLevelItem(0)->isExpanded());
    QCOMPARE(w.ticks(0), QString("xx-xxxxxxx"));
    w.tick(console);
    w.tick(w.row("Brightfen Fleet Upload"));
    QCOMPARE(w.ticks(0) + "|" + w.ticks(2), QString("xx-xxxxxxx|-x---"));
    QTest::mouseClick(w.groupBox(2), Qt::LeftButton);
    QTest::mouseClick(w.groupBox(2), Qt::LeftButton);
    QTest::mouseClick(w.groupBox(0), Qt::LeftButton);
    QVERIFY(!w.groupBox(2)->isChecked() && w.tree->topLevelItem(0)->isExpanded());
    QCOMPARE(w.ticks(0) + "|" + w.ticks(2), QString("----------|-----"));
    // With the runtime installed only the ticked drivers are recorded; drivers enable no folder row.
    QTest::mouseClick(w.groupBox(3), Qt::LeftButton);
    w.next();
    QCOMPARE(sortedKeys(w.context->selectedDrivers),
             QString("CDC Drivers|CH9340|CP210x|MCP2200|OpenSSL|STM32102"));
    QCOMPARE(w.enabledFields(), QString("---"));
}

void WindowsTest::wizardNextBackAndFolders() {
    Wizard w;
    w.parts.container->show();
    w.tick(w.row("Brightfen Clocksync(Zip archive)", "Brightfen Clocksync(Архив zip)"));
    w.tick(w.row("Engineering server", "Инженерный сервер"));
    w.tick(w.row("Brightfen Tracker A Setup"));
    QTreeWidgetItem *cell = w.row("Brightfen Cell Setup");
    w.tick(cell);
    QSignalSpy nextSpy(w.soft, &SelectSoftList::Close_Software_Window_For_Next);
    w.next();
    // Keys, not row texts; nothing ticked among the drivers, yet the runtime is needed.
    QCOMPARE(
        QStringList({sortedKeys(w.context->selectedLoRa), sortedKeys(w.context->selectedNbIot),
                     sortedKeys(w.context->selectedCarMonitoring), sortedKeys(w.context->selectedDrivers)}),
        QStringList({"Brightfen Clocksync", "Brightfen Cell Setup",
                     "Brightfen Fleet Server|Brightfen Tracker A Setup", "MSVC"}));
    QVERIFY(nextSpy.count() == 1 && w.path->isVisible() && !w.soft->isVisible() &&
            w.enabledFields() == "xxx");

    // Every keystroke reaches the context; an empty folder is kept as typed.
    QLineEdit *nbIot = w.fields[1];
    nbIot->setFocus();
    nbIot->selectAll();
    QTest::keyClick(nbIot, Qt::Key_Backspace);
    QVERIFY(w.context->groupFolders.contains("NB-IoT") && w.context->groupFolders.value("NB-IoT").isEmpty());
    QTest::keyClicks(nbIot, "/srv/nb");
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString("/srv/nb"));

    // The "..." button: a cancelled dialog keeps the folder, a picked one replaces it.
    QPushButton *browse = w.path->findChildren<QPushButton *>().at(0);
    const QString before = w.context->groupFolders.value("LoRa");
    for (const QString &folder : {QString(), work.path()}) {
        BoxAnswerer answerer({pickFolder(folder)});
        QTest::mousePress(browse, Qt::LeftButton);
        QTest::mouseRelease(browse, Qt::LeftButton);
        QCOMPARE(answerer.titles(), QStringList(inLanguage("Select the directory for the LoRa software",
                                                           "Выберете директорию для софта LoRa")));
        const QString now = w.context->groupFolders.value("LoRa");
        QVERIFY(browse->text() == "..." && w.fields[0]->text() == now);
        QVERIFY(folder.isEmpty() ? now == before : QDir(now) == QDir(folder));
    }

    QSignalSpy backSpy(w.path, &SelectPathSoftInstall::Close_Path_Select_Window);
    w.click(w.path, "Back", "Назад");
    QVERIFY(backSpy.count() == 1 && w.soft->isVisible() && !w.path->isVisible());
    QCOMPARE(cell->checkState(0), Qt::Checked);
    // Unticked after Back: the second Next no longer selects it and disables its row; typed folders stay.
    w.tick(cell);
    w.next();
    QVERIFY(w.path->isVisible() && w.context->selectedNbIot.isEmpty() && w.enabledFields() == "x-x");
    QCOMPARE(nbIot->text() + sortedKeys(w.context->selectedDrivers), QString("/srv/nbMSVC"));

    // Install hands over to the progress page with the folders unchanged.
    QSignalSpy installSpy(w.path, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next);
    QObject::disconnect(w.path, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next,
                        w.parts.progressPage, &ProgressBarWindow::Show);
    w.click(w.path, "Install", "Установить");
    QVERIFY(installSpy.count() == 1 && !w.path->isVisible());
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString("/srv/nb"));

    // Closing any page, or Cancel, asks the tray controller's teardown slot to tear the wizard down.
    struct Counter : QObject {
        int count = 0;
        void teardown() { ++count; }
    } requests;
    connectInstallWizardTeardown(w.parts, &requests, &Counter::teardown);
    w.parts.container->show();
    w.parts.container->close();
    w.click(w.soft, "Cancel", "Отмена");
    w.path->close();
    w.parts.progressPage->close();
    QVERIFY(requests.count == 4 && !w.parts.container->isVisible());
    const QList<QPointer<QWidget>> pages{w.parts.container, w.soft, w.path, w.parts.progressPage};
    destroyInstallWizard(w.parts); // asking twice before the deferred deletions run is harmless
    w.destroy();
    for (const QPointer<QWidget> &page : pages)
        QVERIFY(page.isNull());
    // A new wizard starts from scratch.
    Wizard again;
    QVERIFY(again.context->selectedLoRa.isEmpty() && !again.row("Brightfen Meter")->isDisabled() &&
            again.row("Brightfen Meter")->checkState(0) == Qt::Unchecked);
}

QUILLON_TEST_MAIN(WindowsTest)
#include "tst_windows.moc"
