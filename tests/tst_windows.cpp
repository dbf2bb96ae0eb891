// The settings window, the update list and the install wizard, driven through real widgets on the
// offscreen platform; update runs fetch from a real SFTP server on loopback. Also the language rule
// across every window, once per locale.

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/PublisherKeys.h"
#include "support/Scenario.h"
#include "support/TestLocale.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "ui/AboutWindow.h"
#include "ui/Dialog.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/WelcomeWindow.h"

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

// "ru" when every text has Cyrillic letters, "en" when none has, else the texts themselves.
QString language(const QStringList &texts) {
    const int russian = texts.filter(QRegularExpression("[\\x{0400}-\\x{04FF}]")).size();
    return russian == texts.size() ? "ru" : russian == 0 ? "en" : texts.join('|');
}
// The texts of a window's buttons and labels, but for those that read the same in every language.
QStringList textsOf(QWidget *window) {
    QStringList texts;
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
        texts << button->text();
    for (QLabel *label : window->findChildren<QLabel *>())
        texts << label->text();
    return texts.filter(QRegularExpression("^(?!$|\\.\\.\\.$|LoRa$|NB-IoT$)"));
}

// A column of the update list's rows joined by "|"; column -1: their ticks, "x" or "-".
QString rows(const QTreeWidget *tree, int column) {
    QStringList list;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        list << (column >= 0                            ? tree->topLevelItem(i)->text(column)
                 : tree->topLevelItem(i)->checkState(0) ? "x"
                                                        : "-");
    return list.join(column >= 0 ? "|" : "");
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
    QStringList rowNames() const { // sorted
        QStringList names;
        for (int row = 0; row < table->rowCount(); ++row)
            names << table->verticalHeaderItem(row)->text();
        names.sort();
        return names;
    }
    QTableWidgetItem *item(const QString &name) {
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->verticalHeaderItem(row)->text() == name)
                return table->item(row, 0);
        return nullptr;
    }
    void pressRow(const QString &name) {
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(item(name)).center());
    }
    // Presses the row (if named), then the button; returns the dialogs answered.
    QList<BoxAnswerer::Seen> push(const char *name, const QList<Answer> &answers, const QString &row = {}) {
        if (!row.isEmpty())
            pressRow(row);
        BoxAnswerer answerer(answers);
        QTest::mousePress(button(name), Qt::LeftButton);
        return answerer.seen;
    }
    void apply() { QCOMPARE(push("applyButton", {Box::Ok}).size(), 1); } // Apply confirms with one box
};

// A ".bin" file is big enough for a connection to break in the middle of it.
QByteArray newContent(const QString &name) {
    return "new " + name.toUtf8() + QByteArray(name.endsWith(".bin") ? 600000 : 3000, 'n');
}
// A new version of each file in the served tree and an old one installed; returns the map a check would find.
QHash<QString, QString> pendingUpdates(const QTemporaryDir &tree, const QString &local,
                                       const QStringList &names) {
    const QString remote = componentsRoot + "Brightfen Meter/";
    QHash<QString, QString> map;
    QMap<QString, QByteArray> installed;
    for (const QString &name : names) {
        writeTestFile(tree.path() + remote + name, newContent(name));
        installed.insert(name, "old " + name.toUtf8());
        map.insert(local + "/" + name, remote + name + "|" + QString::number(newContent(name).size()));
    }
    installComponent("Brightfen Meter", local, installed); // the downloader writes only below it
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
    if (closing)
        QVERIFY(window.isRunning() && !window.updateButtonWidget()->isEnabled() &&
                window.dontUpdateButtonWidget()->isHidden() && !window.progressBarWidget()->isHidden() &&
                !window.close() && window.isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), boxes, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QCOMPARE(answerer.unanswered, 0);
}
} // namespace

class WindowsTest : public QObject {
    Q_OBJECT
    QTemporaryDir work;

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

    void languageUnderOtherLocales() {
        // One run per locale; Kazakh is Russian by System_Language but not by the narrower "contains ru".
        for (const char *locale : {"ru_RU.UTF-8", "kk_KZ.UTF-8"})
            QVERIFY2(passesUnderLocale(locale, {"windowsFollowTheLanguageRule"}), locale);
    }

    // Which windows speak Russian in this process's locale, which stay English, and that the names and
    // numbers a text carries land in it.
    void windowsFollowTheLanguageRule() {
        const QString wide = inRussian() ? "ru" : "en";                      // System_Language
        const QString narrow = testLocale().startsWith("ru_") ? "ru" : "en"; // the name contains "ru"
        QStringList menu;
        MainTrayIcon tray;
        for (QAction *action : tray.trayMenu()->actions())
            menu << action->text();
        { // the exit question, its buttons too
            BoxAnswerer exit({Box::No});
            QVERIFY(QMetaObject::invokeMethod(&tray, "Exit_Application") && exit.seen.size() == 1);
            menu << exit.seen[0].buttons << exit.seen[0].text;
        }
        AboutWindow about;
        WelcomeWindow welcome([](WelcomeWindow *) {});
        QCOMPARE(language(menu + textsOf(&about) + textsOf(&welcome)), wide);
        {
            SettingsUi settings;
            QStringList texts = textsOf(&settings.window);
            for (int i = 1; i < settings.periods->count(); ++i)
                texts << settings.periods->itemText(i);
            Dialog chooser(settings.table, updatableComponents());
            QCOMPARE(language(texts + textsOf(&chooser)), wide);
            settings.apply(); // the rebuilt table's header follows the narrow rule
            QCOMPARE(language({settings.table->horizontalHeaderItem(0)->text()}), narrow);
        }
        {
            // The update list's own texts and its "updated" mark follow the narrow rule, the rest
            // System_Language; the question names the program by its file name alone.
            ListAvailableUpdater list;
            QHash<QString, QString> map{{"C:/x/Tool.exe", "/a/Tool.exe|1"}, {"C:/x/b.dll", "/a/b.dll|1"}};
            list.Filling_Three_Update(map);
            QCOMPARE(language({rows(list.treeWidget(), 1)}), wide);
            QVERIFY(
                QMetaObject::invokeMethod(&list, "Finish_Upload_Component", Q_ARG(QString, "C:/x/b.dll")));
            QCOMPARE(language(textsOf(&list)
                              << list.treeWidget()->headerItem()->text(0)
                              << list.treeWidget()->findItems("C:/x/b.dll", Qt::MatchExactly)[0]->text(1)),
                     narrow);
            int cell = 1;
            BoxAnswerer boxes({Box::No, Box::Yes});
            QVERIFY(QMetaObject::invokeMethod(&list, "Attachement", Q_ARG(QString, "C:/x/Tool.exe"),
                                              Q_ARG(int *, &cell)) &&
                    QMetaObject::invokeMethod(&list, "Finished") && boxes.seen.size() == 2);
            QStringList asked{boxes.seen[0].text, boxes.seen[1].text};
            asked += (boxes.seen[0].buttons + boxes.seen[1].buttons).filter(QRegularExpression("^(?!OK$)"));
            QCOMPARE(language(asked), wide);
            QVERIFY(boxes.seen[0].text.contains(" Tool.exe") && !boxes.seen[0].text.contains("C:/x"));
        }
        // The wizard's pages, and the folder dialog named after its group.
        InstallContext context;
        WizardHarness wizard(&context);
        ProgressBarWindow *progress = wizard.parts.progressPage;
        QCOMPARE(language(textsOf(wizard.parts.softPage) + textsOf(wizard.parts.pathPage) + textsOf(progress)
                          << wizard.tree->headerItem()->text(0)
                          << wizard.row("Brightfen Fleet Server")->text(0)),
                 wide);
        wizard.parts.container->show();
        QTest::mouseClick(wizard.parts.softPage->findChildren<QCheckBox *>().at(0),
                          Qt::LeftButton); // all LoRa
        wizard.click(wizard.parts.softPage, 0);
        BoxAnswerer folders({pickFolder("")});
        wizard.click(wizard.parts.pathPage, 0);
        QVERIFY(language(folders.titles()) == wide && folders.titles().value(0).contains("LoRa"));
        // 1000000 bytes in the first second of 61000000: 8 Mbps, about 61 s left.
        const auto call = [progress](const char *slot, auto... arguments) {
            return QMetaObject::invokeMethod(progress, slot, arguments...);
        };
        QVERIFY(call("Set_Size_All_Soft", Q_ARG(int, 61000000)) && call("Counter", Q_ARG(int, 400000)) &&
                call("Counter", Q_ARG(int, 600000)) && call("Update_Timer_Label") &&
                call("Update_Log", Q_ARG(QString, "C:/Apps/LoRa/Tool/readme.txt"), Q_ARG(int, 1)));
        const QString time = progress->findChild<QLabel *>("timeLabel")->text();
        QStringList numbers;
        for (const QRegularExpressionMatch &number : QRegularExpression("\\d+(\\.\\d+)?").globalMatch(time))
            numbers << number.captured();
        QCOMPARE(numbers, QStringList({"00", "01", "01", "01", "8.000"}));
        const QString logged = qobject_cast<QStringListModel *>(progress->findChild<QListView *>()->model())
                                   ->stringList()
                                   .value(0);
        QVERIFY2(language({time, logged}) == wide && logged.contains(" readme.txt ") &&
                     !logged.contains("Apps"),
                 qPrintable(logged));
    }

    void settingsTableEditsApplyAndClose() {
        QTemporaryDir folders;
        const QString kept = folders.filePath("kept"), removed = folders.filePath("removed");
        const QString before = folders.filePath("missing"), after = folders.filePath("after");
        const QString added = folders.filePath("added"), own = QCoreApplication::applicationDirPath();
        for (const QString &folder : {kept + "/bin", removed + "/bin", after, added})
            QVERIFY(QDir().mkpath(folder));
        // A folder holding the program is refused like the program's own.
        setPaths({"Quillon", own, "Brightfen Alerter", QFileInfo(own).path(), "Brightfen Console", kept,
                  "Brightfen Sniffer", folders.filePath("gone"), "Brightfen Bridge", removed,
                  "Brightfen Fieldlink", before});
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        SettingsUi w;
        QVERIFY(!w.button("modifyButton")->isEnabled() && !w.button("deleteButton")->isEnabled());
        // A row for each recorded folder, showing it, and none for the others.
        QCOMPARE(w.rowNames(), QStringList({"Brightfen Alerter", "Brightfen Bridge", "Brightfen Console",
                                            "Brightfen Fieldlink", "Brightfen Sniffer", "Quillon"}));
        for (const QString &name : w.rowNames())
            QCOMPARE(w.item(name)->text(), setting("Path/" + name));
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
        const QList<BoxAnswerer::Seen> asked = w.push("deleteButton", {Box::No}, "Brightfen Console");
        QVERIFY(asked.size() == 1 && asked[0].text.contains("Brightfen Console"));
        QVERIFY(QFileInfo::exists(kept + "/bin") && setting("Path/Brightfen Console").isEmpty());
        QVERIFY(!w.button("deleteButton")->isEnabled() && !w.window.selectedItem());
        // Yes: the folder goes with everything in it; a missing one can be deleted too.
        for (const QString name : {"Brightfen Bridge", "Brightfen Sniffer"})
            QVERIFY(w.push("deleteButton", {Box::Yes}, name).size() == 1 &&
                    setting("Path/" + name).isEmpty());
        QVERIFY(!QFileInfo::exists(removed) && QFileInfo::exists(kept + "/bin"));
        // After Apply the emptied rows are gone from the table, and the chooser offers them again.
        w.apply();
        const QStringList left{"Brightfen Alerter", "Brightfen Fieldlink", "Quillon"};
        QCOMPARE(w.rowNames(), left);
        const QStringList all = updatableComponents();
        QVERIFY(Dialog(w.table, all).namesBox()->count() == all.size() - 3 &&
                Dialog(w.table, all).namesBox()->findText("Brightfen Fieldlink") == -1);
        // A press outside the table forgets the selection.
        w.pressRow("Brightfen Fieldlink");
        QVERIFY(w.window.selectedItem() && w.button("modifyButton")->isEnabled());
        QTest::mousePress(&w.window, Qt::LeftButton, {}, QPoint(300, 440));
        QVERIFY(!w.window.selectedItem() && !w.button("modifyButton")->isEnabled() &&
                !w.button("deleteButton")->isEnabled());
        // Modify, then Add (cancelled in the chooser, then in the folder dialog, then done): a cancelled
        // dialog changes nothing, and nothing is stored before Apply.
        for (const QString &folder : {QString(), after})
            QCOMPARE(w.push("modifyButton", {pickFolder(folder)}, "Brightfen Fieldlink").size(), 1);
        QVERIFY(w.item("Brightfen Fieldlink")->text() == after && !w.button("modifyButton")->isEnabled());
        QCOMPARE(w.push("addButton", {choose("")}).size(), 1);
        QCOMPARE(w.push("addButton", {choose("Brightfen Clocksync"), pickFolder("")}).size(), 2);
        QCOMPARE(w.rowNames(), left);
        w.push("addButton", {choose("Brightfen Clocksync"), pickFolder(added)});
        QVERIFY(w.item("Brightfen Clocksync")->text() == added &&
                setting("Path/Brightfen Fieldlink") == before &&
                setting("Path/Brightfen Clocksync").isEmpty());
        w.apply();
        QVERIFY(setting("Path/Brightfen Fieldlink") == after && setting("Path/Brightfen Clocksync") == added);

        // Start with the system follows the box on Apply (the entry itself is the platform test's).
        QVERIFY2(QDir::homePath().startsWith(QDir::tempPath()), "runs against a temporary home folder");
        for (bool on : {true, false}) {
            w.autorun->setChecked(on);
            w.apply();
            QVERIFY(settingsStore()->value("Autorun").toBool() == on && Platform::startsWithSystem() == on);
        }
        // The close button acts on its press; closing hides the window and asks the tray to dispose of it.
        QSignalSpy closing(&w.window, &SettingsWindow::Delete_Setting_Window);
        QTest::mousePress(w.button("closeButton"), Qt::LeftButton);
        QVERIFY(closing.count() == 1 && !w.window.isVisible());
    }

    // Each period is stored and signalled as a number of days of its own, and shown first when reopened.
    void settingsPeriodsAreStoredAndSignalled() {
        settingsStore()->setValue("Timer/Timeout", QString()); // at first use: an empty box that stores 0
        QStringList choices;
        for (SettingsUi first; choices.size() < first.periods->count();)
            choices << first.periods->itemText(choices.size());
        QSet<int> days;
        for (const QString &choice : choices) {
            SettingsUi w;
            w.periods->setCurrentIndex(w.periods->findText(choice));
            QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
            w.apply();
            const int day = settingsStore()->value("Timer/Timeout").toInt();
            QVERIFY(timeout.value(0).value(0).toInt() == day && (choice.isEmpty() ? day == 0 : day > 0));
            QVERIFY(w.periods->itemText(0) == choice && SettingsUi().periods->itemText(0) == choice);
            QCOMPARE(w.periods->count(), choices.size() - !choice.isEmpty());
            days.insert(day);
        }
        QCOMPARE(days.size(), choices.size());
    }

    // The list's own rules, without a run: what marks a row, the ticks, hiding, and ending without updating.
    void updateListWithoutARun() {
        QHash<QString, QString> map{
            {"C:/Brightfen/LoRa/Meter/app.exe", "/upload/a/app.exe|10"},
            {"C:/Brightfen/LoRa/Meter/help/Meter.html", "/upload/a/help/Meter.html|20"},
            {"C:/Brightfen/MT/readme.txt", "/upload/b/readme.txt|30"}};
        ListAvailableUpdater window;
        QTreeWidget *tree = window.treeWidget();
        QCheckBox *all = window.updateAllBoxWidget();
        QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
        window.Filling_Three_Update(map);
        QVERIFY(window.isVisible() && !tree->topLevelItem(0)->childCount() && rows(tree, -1) == "---");
        QCOMPARE(rows(tree, 0), QStringList(map.keys()).join('|')); // in the map's order
        // A component reported done that matches no row, or only by case, changes nothing; a match is marked.
        const QString available = rows(tree, 1);
        for (const QString &done :
             QStringList{"C:/Brightfen/MT", "c:/brightfen/mt/readme.txt", tree->topLevelItem(1)->text(0)})
            QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component", Q_ARG(QString, done)));
        const QStringList marked = rows(tree, 1).split('|');
        QVERIFY(marked[0] == marked[2] && marked[1] != marked[0] && available.startsWith(marked[0] + "|"));
        // "Update All" ticks and clears every row; a single tick leaves the box alone.
        QTest::mouseClick(all, Qt::LeftButton);
        QCOMPARE(rows(tree, -1), QString("xxx"));
        tree->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
        QTest::mouseClick(all, Qt::LeftButton);
        tree->topLevelItem(0)->setCheckState(0, Qt::Checked);
        QVERIFY(!all->isChecked() && rows(tree, -1) == "x--");
        // Hide and the title-bar close only hide the list, ticks and all; a press alone is enough.
        QTest::mousePress(window.hideButtonWidget(), Qt::LeftButton);
        QVERIFY(window.isHidden());
        QTest::mouseRelease(window.hideButtonWidget(), Qt::LeftButton);
        window.show();
        QVERIFY(!window.close() && window.isHidden() && map.size() == 3 && rows(tree, -1) == "x--");
        // Rows left out, and the update completed all the same: the map empties, keeping its address. An
        // empty map still shows the window; nothing left out: the plain OK box.
        BoxAnswerer answerer({Box::No, Box::Ok});
        map.remove("C:/Brightfen/MT/readme.txt");
        window.Filling_Three_Update(map);
        QVERIFY(tree->topLevelItemCount() == 2 && QMetaObject::invokeMethod(&window, "Finished"));
        QVERIFY(map.isEmpty() && window.isHidden() && tree->topLevelItemCount() == 0 &&
                finished.count() == 1);
        window.Filling_Three_Update(map);
        QVERIFY(window.isVisible() && QMetaObject::invokeMethod(&window, "Finished") &&
                finished.count() == 2);
        QVERIFY(answerer.seen.size() == 2 && answerer.seen[0].buttons.size() == 2 &&
                answerer.seen[1].buttons.size() == 1);
        // "Don't update" empties the map and closes the list too.
        map.insert("C:/a", "/a|1");
        window.Filling_Three_Update(map);
        QTest::mousePress(window.dontUpdateButtonWidget(), Qt::LeftButton);
        QVERIFY(map.isEmpty() && window.isHidden() && tree->topLevelItemCount() == 0 &&
                finished.count() == 3);
    }

    void updateRunsReplaceTickedFilesAndAskAboutTheRest() {
        QTemporaryDir tree, local;
        QHash<QString, QString> map = pendingUpdates(tree, local.path(), {"one.dll", "two.dll", "Gauge.exe"});
        const QString tool = local.filePath("Gauge.exe"), toolValue = map.value(tool);
        // A real running program stands in for the one to update: a copy of sleep.
        QVERIFY(QFile::remove(tool) && QFile::copy("/bin/sleep", tool));
        const QByteArray toolBytes = readTestFile(tool);
        QProcess running; // killed at the latest when it goes
        running.start(tool, {"60"});
        QVERIFY(running.waitForStarted());
        const auto server = serveFiles(tree, {});
        QVERIFY(server);

        ListAvailableUpdater window;
        QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
        window.Filling_Three_Update(map);
        const QString order = rows(window.treeWidget(), 0), listed = rows(window.treeWidget(), 1);
        // Nothing ticked: the run fetches nothing and asks about every row; update later.
        BoxAnswerer answerer({Box::Yes, Box::Ok, Box::No, Box::Yes, Box::Ok},
                             [&window] { return QStringList(rows(window.treeWidget(), 1)); });
        runUpdate(window, answerer, 1);
        QVERIFY(answerer.seen[0].state == QStringList(listed) && map.size() == 3 && isListed(window) &&
                readTestFile(local.filePath("one.dll")) == "old one.dll");

        // All ticked, the program still running: "closed" asks again; skipping counts it as not updated.
        QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
        runUpdate(window, answerer, 4);
        QVERIFY(answerer.seen[1].text.contains("Gauge.exe") &&
                answerer.seen[2].text == answerer.seen[1].text);
        const QStringList statuses = answerer.seen[3].state.value(0).split('|');
        const QString available = listed.section('|', 0, 0);
        const QString updated = statuses.value(statuses.indexOf(available) == 0 ? 1 : 0);
        QVERIFY(statuses.count(available) == 1 &&
                statuses.indexOf(available) == order.split('|').indexOf(tool));
        QVERIFY(finished.isEmpty() && window.isVisible() && isListed(window));
        QVERIFY(map.keys() == QStringList{tool} && map.value(tool) == toolValue &&
                readTestFile(tool) == toolBytes);
        QVERIFY(rows(window.treeWidget(), 0) == tool && rows(window.treeWidget(), -1) == "-");
        QVERIFY(readTestFile(local.filePath("one.dll")) == newContent("one.dll") &&
                readTestFile(local.filePath("two.dll")) == newContent("two.dll"));

        // A further run with a fresh thread and downloader takes the rest, the list closed meanwhile.
        running.kill();
        running.waitForFinished();
        window.treeWidget()->topLevelItem(0)->setCheckState(0, Qt::Checked);
        runUpdate(window, answerer, 5, true);
        QVERIFY(answerer.seen[4].buttons.size() == 1 &&
                answerer.seen[4].state == QStringList(updated)); // all done
        QVERIFY(finished.count() == 1 && map.isEmpty() && window.isHidden());
        QVERIFY(window.treeWidget()->topLevelItemCount() == 0 && window.progressBarWidget()->value() == 100);
        QCOMPARE(readTestFile(tool), newContent("Gauge.exe"));
    }

    void brokenConnectionReturnsTheListToItsListedState_data() {
        QTest::addColumn<QStringList>("fault");
        // "stopped": the port of a server that was there a moment ago. The other faults strike once 200000
        // bytes of file data have gone out, in the middle of big.bin (a stall ends the same way once given
        // up: tst_safety). "unsigned": a publisher key is set and the server has no signed manifest: refused
        // before any file.
        QTest::newRow("refused") << QStringList{"stopped"};
        QTest::newRow("dropped") << QStringList{"--drop-after", "200000"};
        QTest::newRow("not signed") << QStringList{"unsigned"};
    }
    // What a cut leaves of the installed files is tst_safety's and tst_sftp's; here, what the list shows.
    void brokenConnectionReturnsTheListToItsListedState() {
        QFETCH(QStringList, fault);
        QTemporaryDir tree, local;
        QHash<QString, QString> map = pendingUpdates(tree, local.path(), {"small.dll", "big.bin"});
        const QString big = local.filePath("big.bin"), small = local.filePath("small.dll");
        const bool beforeAnyFile = fault.size() == 1;
        auto server = serveFiles(tree, {}, beforeAnyFile ? QStringList() : fault);
        QVERIFY(server);
        if (fault[0] == "stopped")
            server.reset();
        if (fault[0] == "unsigned")
            settingsStore()->setValue(PublisherTrust::keySetting, unusedPublisherKey);
        auto removeKey = qScopeGuard([] { settingsStore()->remove(PublisherTrust::keySetting); });
        const QHash<QString, QString> before = map;
        ListAvailableUpdater window;
        QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
        window.Filling_Three_Update(map);
        const QString available = window.treeWidget()->topLevelItem(0)->text(1);
        // A second attempt after a failed one fails the same way: nothing of the first run is left over.
        for (int attempt = 1; attempt <= 2; ++attempt) {
            for (const QString &key : map.keys())
                window.treeWidget()->findItems(key, Qt::MatchExactly).first()->setCheckState(0, Qt::Checked);
            BoxAnswerer answerer({Box::Ok});
            runUpdate(window, answerer, 1);
            QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning); // the failure box
            QTRY_VERIFY(isListed(window));
            QVERIFY(window.isVisible() && finished.isEmpty());
            // What was cut short stays listed; a file that arrived before the cut is done and leaves the
            // list.
            QVERIFY(map.contains(big) && (!beforeAnyFile || map == before));
            QCOMPARE(map.contains(small), readTestFile(small) != newContent("small.dll"));
            QCOMPARE(rows(window.treeWidget(), 0) + rows(window.treeWidget(), 1) +
                         rows(window.treeWidget(), -1),
                     QStringList(map.keys()).join('|') + QStringList(map.size(), available).join('|') +
                         QString(map.size(), '-'));
        }
    }

    void wizardMarksInstalledRowsAndTicksGroups() {
        setPaths({"Brightfen Console", "/opt/c", "Brightfen Fleet Server", "/opt/f", "CP210x", "/opt/cp"});
        settingsStore()->setValue("MSVC/Inst", true);
        InstallContext context;
        WizardHarness w(&context);
        w.parts.container->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.parts.container));
        QVERIFY(w.parts.softPage->isVisible() && !w.parts.pathPage->isVisible());
        // Group rows: collapsed, without check boxes, and a double-click never gives them one.
        for (int g = 0; g < 4; ++g) {
            QTreeWidgetItem *group = w.tree->topLevelItem(g);
            QMetaObject::invokeMethod(w.parts.softPage, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, group),
                                      Q_ARG(int, 0));
            QVERIFY(!group->isExpanded() && !group->data(0, Qt::CheckStateRole).isValid() &&
                    !w.ticks(g).contains('x'));
        }
        // Recorded under its key, the engineering server shows as installed too; drivers are never marked.
        QTreeWidgetItem *console = w.row("Brightfen Console"), *meter = w.row("Brightfen Meter");
        QTreeWidgetItem *fleet = w.row("Brightfen Fleet Server"), *cp210x = w.row("CP210x");
        QVERIFY(console->isDisabled() && fleet->isDisabled() && !cp210x->isDisabled() &&
                !meter->isDisabled());
        QVERIFY(!console->text(1).isEmpty() && fleet->text(1) == console->text(1) &&
                cp210x->text(1).isEmpty());
        // A double-click toggles a row, in either column, never giving the state cell a box.
        w.tick(meter);
        QCOMPARE(meter->checkState(0), Qt::Checked);
        w.tick(meter);
        QCOMPARE(meter->checkState(0), Qt::Unchecked);
        QMetaObject::invokeMethod(w.parts.softPage, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, meter),
                                  Q_ARG(int, 1));
        QVERIFY(meter->checkState(0) == Qt::Checked && !meter->data(1, Qt::CheckStateRole).isValid());

        // A group box ticks and expands its group, installed rows left alone; it clears rows ticked by hand.
        const QList<QCheckBox *> groupBoxes = w.parts.softPage->findChildren<QCheckBox *>();
        QString allButInstalled;
        for (int i = 0; i < w.tree->topLevelItem(0)->childCount(); ++i)
            allButInstalled += w.tree->topLevelItem(0)->child(i)->isDisabled() ? "-" : "x";
        w.tree->collapseAll();
        QTest::mouseClick(groupBoxes[0], Qt::LeftButton);
        QVERIFY(groupBoxes[0]->isChecked() && w.tree->topLevelItem(0)->isExpanded() &&
                w.ticks(0) == allButInstalled);
        w.tick(console);
        w.tick(w.row("Brightfen Fleet Upload"));
        QVERIFY(w.ticks(0) == allButInstalled && w.ticks(2).count('x') == 1);
        for (int box : {2, 2, 0})
            QTest::mouseClick(groupBoxes[box], Qt::LeftButton);
        QVERIFY(!groupBoxes[2]->isChecked() && !(w.ticks(0) + w.ticks(2)).contains('x'));
        // With the runtime installed only the ticked drivers are recorded; drivers enable no folder row.
        QTest::mouseClick(groupBoxes[3], Qt::LeftButton);
        w.click(w.parts.softPage, 0);
        QCOMPARE(sortedKeys(context.selectedDrivers),
                 QString("CDC Drivers|CH9340|CP210x|MCP2200|OpenSSL|STM32102"));
        for (QLineEdit *field : w.parts.pathPage->findChildren<QLineEdit *>())
            QVERIFY(!field->isEnabled());
    }

    void wizardNextBackAndFolders() {
        InstallContext context;
        WizardHarness w(&context);
        w.tearsDown = false; // counted only: each way of closing is tried
        SelectSoftList *soft = w.parts.softPage;
        SelectPathSoftInstall *path = w.parts.pathPage;
        const QList<QLineEdit *> fields = path->findChildren<QLineEdit *>();
        const auto enabledFields = [&fields] {
            QString marks;
            for (QLineEdit *field : fields)
                marks += field->isEnabled() ? "x" : "-";
            return marks;
        };
        w.parts.container->show();
        for (const char *key : {"Brightfen Clocksync", "Brightfen Fleet Server", "Brightfen Tracker A Setup",
                                "Brightfen Cell Setup"})
            w.tick(w.row(key));
        w.click(soft, 0);
        // Keys, not row texts; nothing ticked among the drivers, yet the runtime is needed.
        QCOMPARE(
            QStringList({sortedKeys(context.selectedLoRa), sortedKeys(context.selectedNbIot),
                         sortedKeys(context.selectedCarMonitoring), sortedKeys(context.selectedDrivers)}),
            QStringList({"Brightfen Clocksync", "Brightfen Cell Setup",
                         "Brightfen Fleet Server|Brightfen Tracker A Setup", "MSVC"}));
        QVERIFY(path->isVisible() && !soft->isVisible() && enabledFields() == "xxx");

        // Every keystroke reaches the context; an empty folder is kept as typed.
        fields[1]->setFocus();
        fields[1]->selectAll();
        QTest::keyClick(fields[1], Qt::Key_Backspace);
        QVERIFY(context.groupFolders.contains("NB-IoT") && context.groupFolders.value("NB-IoT").isEmpty());
        QTest::keyClicks(fields[1], "/srv/nb");
        QCOMPARE(context.groupFolders.value("NB-IoT"), QString("/srv/nb"));
        // The "..." button: a cancelled dialog keeps the folder, a picked one replaces it.
        const QString before = context.groupFolders.value("LoRa");
        for (const QString &folder : {QString(), work.path()}) {
            BoxAnswerer answerer({pickFolder(folder)});
            w.click(path, 0);
            const QString now = context.groupFolders.value("LoRa");
            QVERIFY(answerer.seen.size() == 1 && fields[0]->text() == now);
            QVERIFY(folder.isEmpty() ? now == before : QDir(now) == QDir(folder));
        }

        w.click(path, 4); // Back
        QVERIFY(soft->isVisible() && !path->isVisible());
        // Unticked after Back: the second Next no longer selects it and disables its row; typed folders stay.
        w.tick(w.row("Brightfen Cell Setup"));
        w.click(soft, 0);
        QVERIFY(path->isVisible() && context.selectedNbIot.isEmpty() && enabledFields() == "x-x");
        QCOMPARE(fields[1]->text() + sortedKeys(context.selectedDrivers), QString("/srv/nbMSVC"));
        // Install hands over to the progress page with the folders unchanged.
        QSignalSpy installSpy(path, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next);
        QObject::disconnect(path, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next,
                            w.parts.progressPage, &ProgressBarWindow::Show);
        w.click(path, 3);
        QVERIFY(installSpy.count() == 1 && !path->isVisible() &&
                context.groupFolders.value("NB-IoT") == "/srv/nb");

        // Closing any page, or Cancel, asks the tray controller's teardown slot to tear the wizard down.
        w.parts.container->show();
        w.parts.container->close();
        w.click(soft, 1);
        path->close();
        w.parts.progressPage->close();
        QVERIFY(w.teardowns == 4 && !w.parts.container->isVisible());
        const QList<QPointer<QWidget>> pages{w.parts.container, soft, path, w.parts.progressPage};
        destroyInstallWizard(w.parts); // asking twice before the deferred deletions run is harmless
        w.destroy();
        for (const QPointer<QWidget> &page : pages)
            QVERIFY(page.isNull());
        // A new wizard starts from scratch.
        InstallContext fresh;
        WizardHarness again(&fresh);
        QVERIFY(fresh.selectedLoRa.isEmpty() && !again.row("Brightfen Meter")->isDisabled() &&
                again.row("Brightfen Meter")->checkState(0) == Qt::Unchecked);
    }
};

QUILLON_TEST_MAIN(WindowsTest)
#include "tst_windows.moc"
