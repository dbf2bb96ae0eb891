// The settings window: folder table from the settings, Add/Modify/Delete, check periods, autostart.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "transfer/InstallContext.h"
#include "ui/Dialog.h"
#include "ui/SettingsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

namespace {
// Deals with the next modal dialog that comes up (the chooser or a folder dialog), once.
class DialogAnswerer : public QObject {
public:
    explicit DialogAnswerer(std::function<void(QWidget *)> answer) : answer(std::move(answer)) {
        connect(&poll, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !seen.isEmpty())
                return;
            seen = modal->metaObject()->className();
            this->answer(modal);
        });
        poll.start(20);
    }
    QString seen; // the class of the dialog answered

private:
    std::function<void(QWidget *)> answer;
    QTimer poll;
};

// Picks a folder in the toolkit's folder dialog, or cancels it when the folder is empty.
void chooseFolder(QWidget *modal, const QString &folder) {
    auto *dialog = qobject_cast<QFileDialog *>(modal);
    if (folder.isEmpty()) {
        dialog->reject();
        return;
    }
    dialog->setDirectory(folder);
    static_cast<QDialog *>(dialog)->accept();
}

struct Window {
    SettingsWindow window;
    QTableWidget *table = window.findChild<QTableWidget *>("folderTable");
    QComboBox *periods = window.findChild<QComboBox *>("periodBox");
    QCheckBox *autorun = window.findChild<QCheckBox *>("autorunBox");
    QPushButton *button(const char *name) { return window.findChild<QPushButton *>(name); }

    QStringList rowNames() const {
        QStringList names;
        for (int row = 0; row < table->rowCount(); ++row)
            names << table->verticalHeaderItem(row)->text();
        return names;
    }
    int rowOf(const QString &name) const { return rowNames().indexOf(name); }
    // Presses the row's cell the way the mouse does.
    void pressRow(int row) {
        const QRect cell = table->visualItemRect(table->item(row, 0));
        QTest::mousePress(table->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseRelease(table->viewport(), Qt::LeftButton, {}, cell.center());
    }
    // Applies and answers the notice that follows.
    void apply() {
        BoxAnswerer notice({QMessageBox::Ok});
        QTest::mouseClick(button("applyButton"), Qt::LeftButton);
        QCOMPARE(notice.texts(), QStringList(inLanguage("Settings applied", "Настройки примененны")));
    }
    // Presses Delete on the row and answers the question, if one comes; returns the boxes shown.
    QStringList deleteRow(const QString &name, QMessageBox::StandardButton answer) {
        pressRow(rowOf(name));
        BoxAnswerer question({answer});
        QTest::mousePress(button("deleteButton"), Qt::LeftButton);
        QTest::qWait(50);
        return question.texts();
    }
    // Presses Add, answers the chooser, then the folder dialog that follows an accepted chooser.
    void add(std::function<void(QWidget *)> chooser, const QString &folder, bool expectFolderDialog) {
        DialogAnswerer choose(std::move(chooser));
        std::unique_ptr<DialogAnswerer> pick;
        // The folder dialog comes up once the chooser has been answered.
        QTimer::singleShot(300, &choose, [&] {
            pick =
                std::make_unique<DialogAnswerer>([folder](QWidget *modal) { chooseFolder(modal, folder); });
        });
        QTest::mousePress(button("addButton"), Qt::LeftButton);
        QCOMPARE(choose.seen, QString("Dialog"));
        QCOMPARE(pick ? pick->seen : QString(), expectFolderDialog ? QString("QFileDialog") : QString());
    }
};

void clearPaths() {
    for (const QString &name : updatableComponents())
        settingsStore()->setValue("Path/" + name, QString());
}
} // namespace

class SettingsWindowTest : public QObject {
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
    void initTestCase();
    void init() { clearPaths(); }
    void windowTextsFollowLanguage();
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8",
                                  {"windowTextsFollowLanguage", "applyStoresEveryPeriodAndTellsTray",
                                   "deleteClearsSettingAtOnceAndRemovesFolderOnYes",
                                   "addChooserListsOnlyComponentsNotInTable"}));
    }
    void tableListsRecordedFoldersInCatalogOrder();
    void applyStoresEveryPeriodAndTellsTray();
    void deleteClearsSettingAtOnceAndRemovesFolderOnYes();
    void deleteRefusesProgramFolderAndItsParents();
    void missingFolderShowsAndOpensNothing();
    void modifyAndAddChangeOnlyTheTableUntilApply();
    void cancelledDialogsChangeNothing();
    void addChooserListsOnlyComponentsNotInTable();
    void autostartFollowsBoxOnApply();
    void pressOutsideTableForgetsSelection();

private:
    QTemporaryDir work;
};

void SettingsWindowTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(work.isValid());
    QDir::setCurrent(work.path());
    CEncryptedSettings::getInstance(work.filePath("settings.ini"), programKey);
}

void SettingsWindowTest::windowTextsFollowLanguage() {
    Window w;
    QCOMPARE(w.window.size(), QSize(615, 467));
    QCOMPARE(w.window.minimumSize(), w.window.maximumSize());
    QCOMPARE(w.table->geometry(), QRect(20, 20, 481, 351));
    QCOMPARE(w.periods->geometry(), QRect(20, 390, 121, 24));
    QCOMPARE(w.autorun->geometry(), QRect(330, 390, 261, 22));
    QCOMPARE(w.button("applyButton")->geometry(), QRect(510, 430, 80, 24));
    QCOMPARE(w.button("deleteButton")->geometry(), QRect(520, 80, 80, 24));
    QCOMPARE(w.table->horizontalHeaderItem(0)->text(), inLanguage("Path", "Путь"));
    QCOMPARE(w.table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(w.table->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(w.table->verticalHeader()->defaultSectionSize(), 20);
    const QStringList labels = {w.button("applyButton")->text(),
                                w.button("closeButton")->text(),
                                w.button("addButton")->text(),
                                w.button("modifyButton")->text(),
                                w.button("deleteButton")->text(),
                                w.window.findChild<QLabel *>("periodLabel")->text(),
                                w.autorun->text()};
    if (inRussian())
        QCOMPARE(labels, QStringList({"Применить", "Закрыть", "Добавить", "Изменить", "Удалить",
                                      "Период проверки обновлений", "Запускать при старте Windows"}));
    else
        QCOMPARE(labels, QStringList({"Apply", "Close", "Add", "Modify", "Delete", "Update check period",
                                      "Run at Windows startup"}));
    QVERIFY(w.button("addButton")->isEnabled());
    QVERIFY(!w.button("modifyButton")->isEnabled());
    QVERIFY(!w.button("deleteButton")->isEnabled());

    // The close button acts on its press, and closing hides the window and asks the tray to dispose of it.
    w.window.show();
    QSignalSpy closing(&w.window, &SettingsWindow::Delete_Setting_Window);
    QTest::mousePress(w.button("closeButton"), Qt::LeftButton);
    QCOMPARE(closing.count(), 1);
    QVERIFY(!w.window.isVisible());
}

void SettingsWindowTest::tableListsRecordedFoldersInCatalogOrder() {
    settingsStore()->setValue("Path/Quillon", "/opt/quillon");
    settingsStore()->setValue("Path/Brightfen Meter", "/data/LoRa");
    settingsStore()->setValue("Path/Brightfen Hub Server", "/data/LoRa/hub");
    Window w;
    QCOMPARE(w.rowNames(), QStringList({"Brightfen Hub Server", "Brightfen Meter", "Quillon"}));
    QCOMPARE(w.table->item(0, 0)->text(), QString("/data/LoRa/hub"));
    QCOMPARE(w.table->item(1, 0)->text(), QString("/data/LoRa"));
    QCOMPARE(w.table->item(2, 0)->text(), QString("/opt/quillon"));
}

void SettingsWindowTest::applyStoresEveryPeriodAndTellsTray() {
    // At first use no period is stored: the box starts empty, and Apply stores 0.
    settingsStore()->setValue("Timer/Timeout", QString());
    {
        Window w;
        QCOMPARE(w.periods->count(), 6);
        QCOMPARE(w.periods->currentText(), QString());
        QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
        w.apply();
        QCOMPARE(settingsStore()->value("Timer/Timeout").toInt(), 0);
        QCOMPARE(timeout.count(), 1);
        QCOMPARE(timeout.first().at(0).toInt(), 0);
    }

    struct Case {
        const char *english;
        const char *russian;
        int days;
    };
    const Case cases[] = {{"Once a day", "1 раз в сутки", 1},
                          {"Once a week", "1 раз в неделю", 7},
                          {"Once a month", "1 раз в месяц", 25},
                          {"2 times per month", "2 раза в месяц", 12},
                          {"Once every 6 months", "1 раз в 6 месяцев", 183}};
    settingsStore()->setValue("Timer/Timeout", 7);
    Window w;
    QCOMPARE(w.periods->count(), 5);
    QCOMPARE(w.periods->itemText(0), inLanguage("Once a week", "1 раз в неделю"));
    QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
    for (const Case &period : cases) {
        const QString text = inLanguage(period.english, period.russian);
        QVERIFY2(w.periods->findText(text) >= 0, qPrintable(text));
        w.periods->setCurrentIndex(w.periods->findText(text));
        w.apply();
        QCOMPARE(settingsStore()->value("Timer/Timeout").toInt(), period.days);
        QCOMPARE(timeout.takeLast().at(0).toInt(), period.days);
        // The rebuilt box starts with the stored period.
        QCOMPARE(w.periods->itemText(0), text);
        QCOMPARE(w.periods->count(), 5);
    }
}

void SettingsWindowTest::deleteClearsSettingAtOnceAndRemovesFolderOnYes() {
    QTemporaryDir folders;
    const QString kept = folders.filePath("kept");
    const QString removed = folders.filePath("removed");
    QVERIFY(QDir().mkpath(kept + "/bin"));
    QVERIFY(QDir().mkpath(removed + "/bin"));
    settingsStore()->setValue("Path/Brightfen Console", kept);
    settingsStore()->setValue("Path/Brightfen Bridge", removed);
    Window w;
    w.window.show();

    // No: the files stay, the entry goes, and its setting is empty before any Apply.
    QCOMPARE(w.deleteRow("Brightfen Console", QMessageBox::No),
             QStringList(inLanguage("Delete directory  Brightfen Console ?",
                                    "Удалить директорию Brightfen Console ?")));
    QVERIFY(QFileInfo::exists(kept + "/bin"));
    QCOMPARE(settingsStore()->value("Path/Brightfen Console").toString(), QString());
    QVERIFY(!w.table->item(w.rowOf("Brightfen Console"), 0)); // the row stays, empty
    QVERIFY(!w.button("deleteButton")->isEnabled());
    QVERIFY(!w.window.selectedItem());

    // Yes: the folder goes with everything in it.
    QCOMPARE(w.deleteRow("Brightfen Bridge", QMessageBox::Yes).size(), 1);
    QVERIFY(!QFileInfo::exists(removed));
    QCOMPARE(settingsStore()->value("Path/Brightfen Bridge").toString(), QString());

    // After Apply the emptied rows are gone from the table.
    w.apply();
    QVERIFY(!w.rowNames().contains("Brightfen Console"));
    QVERIFY(!w.rowNames().contains("Brightfen Bridge"));
}

void SettingsWindowTest::deleteRefusesProgramFolderAndItsParents() {
    const QString own = QCoreApplication::applicationDirPath();
    settingsStore()->setValue("Path/Quillon", own);
    settingsStore()->setValue("Path/Brightfen Alerter",
                              QFileInfo(own).path()); // a folder holding the program
    Window w;
    w.window.show();
    for (const QString &name : {QString("Quillon"), QString("Brightfen Alerter")}) {
        QVERIFY2(w.deleteRow(name, QMessageBox::Yes).isEmpty(), "no question is asked");
        QVERIFY(w.table->item(w.rowOf(name), 0));
    }
    QCOMPARE(settingsStore()->value("Path/Quillon").toString(), own);
    QVERIFY(QFileInfo::exists(QCoreApplication::applicationFilePath()));
}

void SettingsWindowTest::missingFolderShowsAndOpensNothing() {
    QTemporaryDir folders;
    const QString gone = folders.filePath("gone");
    settingsStore()->setValue("Path/Brightfen Sniffer", gone);
    settingsStore()->setValue("Path/Brightfen Decoder", folders.path());
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    Window w;
    w.window.show();
    QCOMPARE(w.table->item(w.rowOf("Brightfen Sniffer"), 0)->text(), gone);

    // The table's own double-click signal, as a double-click on the cell gives it.
    emit w.table->itemDoubleClicked(w.table->item(w.rowOf("Brightfen Sniffer"), 0));
    QVERIFY(catcher.opened.isEmpty());
    emit w.table->itemDoubleClicked(w.table->item(w.rowOf("Brightfen Decoder"), 0));
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.opened, QList<QUrl>({QUrl::fromLocalFile(folders.path())}));

    // A missing folder can still be deleted; there is nothing to remove on disk.
    QCOMPARE(w.deleteRow("Brightfen Sniffer", QMessageBox::Yes).size(), 1);
    QCOMPARE(settingsStore()->value("Path/Brightfen Sniffer").toString(), QString());
    QVERIFY(QFileInfo::exists(folders.path()));
}

void SettingsWindowTest::modifyAndAddChangeOnlyTheTableUntilApply() {
    QTemporaryDir folders;
    const QString before = folders.filePath("missing-before");
    const QString after = folders.filePath("after");
    const QString added = folders.filePath("added");
    QVERIFY(QDir().mkpath(after));
    QVERIFY(QDir().mkpath(added));
    settingsStore()->setValue("Path/Brightfen Fieldlink", before);
    Window w;
    w.window.show();

    w.pressRow(w.rowOf("Brightfen Fieldlink"));
    DialogAnswerer pick([&](QWidget *modal) { chooseFolder(modal, after); });
    QTest::mousePress(w.button("modifyButton"), Qt::LeftButton);
    QCOMPARE(pick.seen, QString("QFileDialog"));
    QCOMPARE(w.table->item(w.rowOf("Brightfen Fieldlink"), 0)->text(), after);
    QVERIFY(!w.button("modifyButton")->isEnabled());
    QCOMPARE(settingsStore()->value("Path/Brightfen Fieldlink").toString(), before);

    // Add: the chooser, then the folder.
    w.add(
        [](QWidget *modal) {
            auto *dialog = qobject_cast<Dialog *>(modal);
            dialog->namesBox()->setCurrentText("Brightfen Clocksync");
            dialog->findChild<QPushButton *>("okButton")->click();
        },
        added, true);
    QCOMPARE(w.rowNames(), QStringList({"Brightfen Fieldlink", "Brightfen Clocksync"}));
    QCOMPARE(w.table->item(1, 0)->text(), added);
    QCOMPARE(settingsStore()->value("Path/Brightfen Clocksync").toString(), QString());

    w.apply();
    QCOMPARE(settingsStore()->value("Path/Brightfen Fieldlink").toString(), after);
    QCOMPARE(settingsStore()->value("Path/Brightfen Clocksync").toString(), added);
}

void SettingsWindowTest::cancelledDialogsChangeNothing() {
    settingsStore()->setValue("Path/Brightfen Fieldlink", "/srv/fieldlink");
    Window w;
    w.window.show();

    w.pressRow(0);
    DialogAnswerer cancelFolder([](QWidget *modal) { chooseFolder(modal, QString()); });
    QTest::mousePress(w.button("modifyButton"), Qt::LeftButton);
    QCOMPARE(cancelFolder.seen, QString("QFileDialog"));
    QCOMPARE(w.table->item(0, 0)->text(), QString("/srv/fieldlink"));

    // Cancel in the chooser; then the chooser accepted but the folder dialog cancelled.
    w.add([](QWidget *modal) { modal->findChild<QPushButton *>("cancelButton")->click(); }, QString(), false);
    QCOMPARE(w.table->rowCount(), 1);
    w.add([](QWidget *modal) { qobject_cast<Dialog *>(modal)->accept(); }, QString(), true);
    QCOMPARE(w.table->rowCount(), 1);
    QCOMPARE(settingsStore()->value("Path/Brightfen Fieldlink").toString(), QString("/srv/fieldlink"));
}

void SettingsWindowTest::addChooserListsOnlyComponentsNotInTable() {
    const QStringList all = updatableComponents();
    settingsStore()->setValue("Path/Brightfen Meter", "/m");
    settingsStore()->setValue("Path/Quillon", "/q");
    {
        Window w;
        Dialog dialog(w.table, all);
        QCOMPARE(dialog.windowTitle(), inLanguage("Select the required software from the list",
                                                  "Выберете необходимый софт из списка"));
        QCOMPARE(dialog.findChild<QPushButton *>("okButton")->text(), inLanguage("Ok", "Ок"));
        QCOMPARE(dialog.existingNames(), QStringList({"Brightfen Meter", "Quillon"}));
        QCOMPARE(dialog.namesBox()->count(), all.size() - 2);
        QCOMPARE(dialog.namesBox()->itemText(0), all.first());
        QCOMPARE(dialog.namesBox()->findText("Brightfen Meter"), -1);
    }
    for (const QString &name : all)
        settingsStore()->setValue("Path/" + name, "/x/" + name);
    Window w;
    Dialog dialog(w.table, all);
    QCOMPARE(dialog.namesBox()->count(), 0);
    QCOMPARE(dialog.existingNames(), all);
}

void SettingsWindowTest::autostartFollowsBoxOnApply() {
    const QString entry = QDir::homePath() + "/.config/autostart/Quillon.desktop";
    QVERIFY2(QDir::homePath() != "/root" && QDir::homePath().startsWith(QDir::tempPath()),
             "runs against a temporary home folder");
    settingsStore()->setValue("Autorun", false);
    Window w;
    QVERIFY(!w.autorun->isChecked());
    w.autorun->setChecked(true);
    w.apply();
    QVERIFY(settingsStore()->value("Autorun").toBool());
    QVERIFY(Platform::startsWithSystem());
    QVERIFY(QFileInfo::exists(entry));
    QVERIFY(w.autorun->isChecked());

    // Ticked while already stored true: nothing changes, not even a removed entry comes back.
    QFile::remove(entry);
    w.apply();
    QVERIFY(!QFileInfo::exists(entry));
    QVERIFY(Platform::setStartWithSystem(true, QCoreApplication::applicationFilePath()));

    w.autorun->setChecked(false);
    w.apply();
    QVERIFY(!settingsStore()->value("Autorun").toBool());
    QVERIFY(!Platform::startsWithSystem());
    QVERIFY(!QFileInfo::exists(entry));
}

void SettingsWindowTest::pressOutsideTableForgetsSelection() {
    settingsStore()->setValue("Path/Brightfen Meter", "/m");
    Window w;
    w.window.show();
    w.pressRow(0);
    QVERIFY(w.window.selectedItem());
    QVERIFY(w.button("modifyButton")->isEnabled());
    QTest::mousePress(&w.window, Qt::LeftButton, {}, QPoint(300, 440));
    QVERIFY(!w.window.selectedItem());
    QVERIFY(!w.button("modifyButton")->isEnabled());
    QVERIFY(!w.button("deleteButton")->isEnabled());
    QVERIFY(w.table->selectedItems().isEmpty());
}

QUILLON_TEST_MAIN(SettingsWindowTest)
#include "tst_settingswindow.moc"
