// The settings window: folder table from the settings, Add/Modify/Delete, check periods, autostart.

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "core/ProgramKey.h"
#include "platform/Platform.h"
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
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

namespace {
CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

bool russian() {
    return System_Language() == QLatin1String("ru");
}

// Deals with the next modal window that comes up (message box, chooser or folder dialog), once.
class ModalAnswerer : public QObject {
public:
    explicit ModalAnswerer(std::function<void(QWidget *)> answer) : answer(std::move(answer)) {
        connect(&poll, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || done)
                return;
            done = true;
            seen = modal->metaObject()->className();
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                texts << box->text();
            this->answer(modal);
        });
        poll.start(20);
    }
    bool done = false;
    QString seen;
    QStringList texts;

private:
    std::function<void(QWidget *)> answer;
    QTimer poll;
};

void pressButton(QWidget *modal, QMessageBox::StandardButton button) {
    qobject_cast<QMessageBox *>(modal)->button(button)->click();
}

// Picks a folder in the toolkit's folder dialog.
void chooseFolder(QWidget *modal, const QString &folder) {
    auto *dialog = qobject_cast<QFileDialog *>(modal);
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
        ModalAnswerer notice([](QWidget *modal) { pressButton(modal, QMessageBox::Ok); });
        QTest::mouseClick(button("applyButton"), Qt::LeftButton);
        QVERIFY(notice.done);
        QCOMPARE(notice.texts, QStringList(russian() ? "Настройки примененны" : "Settings applied"));
    }
};

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

void clearPaths() {
    for (const QString &name : updatableComponents())
        settings()->setValue("Path/" + name, QString());
}
} // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { clearPaths(); }
    void windowTextsFollowLanguage();
    void tableListsRecordedFoldersInCatalogOrder();
    void applyStoresEveryPeriodAndTellsTray();
    void firstUsePeriodIsEmptyAndStoresZero();
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
    QCOMPARE(System_Language(), qEnvironmentVariable("QUILLON_TEST_LOCALE").isEmpty() ? "en" : "ru");
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
    QCOMPARE(w.table->horizontalHeaderItem(0)->text(), russian() ? QString("Путь") : QString("Path"));
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
    if (russian())
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
    settings()->setValue("Path/Quillon", "/opt/quillon");
    settings()->setValue("Path/Brightfen Meter", "/data/LoRa");
    settings()->setValue("Path/Brightfen Hub Server", "/data/LoRa/hub");
    Window w;
    QCOMPARE(w.rowNames(), QStringList({"Brightfen Hub Server", "Brightfen Meter", "Quillon"}));
    QCOMPARE(w.table->item(0, 0)->text(), QString("/data/LoRa/hub"));
    QCOMPARE(w.table->item(1, 0)->text(), QString("/data/LoRa"));
    QCOMPARE(w.table->item(2, 0)->text(), QString("/opt/quillon"));
}

void SettingsWindowTest::applyStoresEveryPeriodAndTellsTray() {
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
    settings()->setValue("Timer/Timeout", 7);
    Window w;
    QCOMPARE(w.periods->count(), 5);
    QCOMPARE(w.periods->itemText(0), russian() ? QString("1 раз в неделю") : QString("Once a week"));
    QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
    for (const Case &period : cases) {
        const QString text = QString::fromUtf8(russian() ? period.russian : period.english);
        QVERIFY2(w.periods->findText(text) >= 0, qPrintable(text));
        w.periods->setCurrentIndex(w.periods->findText(text));
        w.apply();
        QCOMPARE(settings()->value("Timer/Timeout").toInt(), period.days);
        QCOMPARE(timeout.takeLast().at(0).toInt(), period.days);
        // The rebuilt box starts with the stored period.
        QCOMPARE(w.periods->itemText(0), text);
        QCOMPARE(w.periods->count(), 5);
    }
}

void SettingsWindowTest::firstUsePeriodIsEmptyAndStoresZero() {
    settings()->setValue("Timer/Timeout", QString());
    Window w;
    QCOMPARE(w.periods->count(), 6);
    QCOMPARE(w.periods->currentText(), QString());
    QSignalSpy timeout(&w.window, &SettingsWindow::SetUp_New_Timeout);
    w.apply();
    QCOMPARE(settings()->value("Timer/Timeout").toInt(), 0);
    QCOMPARE(timeout.count(), 1);
    QCOMPARE(timeout.first().at(0).toInt(), 0);
}

void SettingsWindowTest::deleteClearsSettingAtOnceAndRemovesFolderOnYes() {
    QTemporaryDir folders;
    const QString kept = folders.filePath("kept");
    const QString removed = folders.filePath("removed");
    QVERIFY(QDir().mkpath(kept + "/bin"));
    QVERIFY(QDir().mkpath(removed + "/bin"));
    settings()->setValue("Path/Brightfen Console", kept);
    settings()->setValue("Path/Brightfen Bridge", removed);
    Window w;
    w.window.show();

    // No: the files stay, the entry goes, and its setting is empty before any Apply.
    w.pressRow(w.rowOf("Brightfen Console"));
    QVERIFY(w.button("deleteButton")->isEnabled());
    ModalAnswerer no([](QWidget *modal) { pressButton(modal, QMessageBox::No); });
    QTest::mousePress(w.button("deleteButton"), Qt::LeftButton);
    QVERIFY(no.done);
    QCOMPARE(no.texts, QStringList(russian() ? "Удалить директорию Brightfen Console ?"
                                             : "Delete directory  Brightfen Console ?"));
    QVERIFY(QFileInfo::exists(kept + "/bin"));
    QCOMPARE(settings()->value("Path/Brightfen Console").toString(), QString());
    QVERIFY(!w.table->item(w.rowOf("Brightfen Console"), 0)); // the row stays, empty
    QVERIFY(!w.button("deleteButton")->isEnabled());
    QVERIFY(!w.window.selectedItem());

    // Yes: the folder goes with everything in it.
    w.pressRow(w.rowOf("Brightfen Bridge"));
    ModalAnswerer yes([](QWidget *modal) { pressButton(modal, QMessageBox::Yes); });
    QTest::mousePress(w.button("deleteButton"), Qt::LeftButton);
    QVERIFY(yes.done);
    QVERIFY(!QFileInfo::exists(removed));
    QCOMPARE(settings()->value("Path/Brightfen Bridge").toString(), QString());

    // After Apply the emptied rows are gone from the table.
    w.apply();
    QVERIFY(!w.rowNames().contains("Brightfen Console"));
    QVERIFY(!w.rowNames().contains("Brightfen Bridge"));
}

void SettingsWindowTest::deleteRefusesProgramFolderAndItsParents() {
    const QString own = QCoreApplication::applicationDirPath();
    settings()->setValue("Path/Quillon", own);
    settings()->setValue("Path/Brightfen Alerter", QFileInfo(own).path()); // a folder holding the program
    Window w;
    w.window.show();
    for (const QString &name : {QString("Quillon"), QString("Brightfen Alerter")}) {
        w.pressRow(w.rowOf(name));
        QVERIFY(w.window.selectedItem());
        ModalAnswerer anything([](QWidget *modal) { pressButton(modal, QMessageBox::Yes); });
        QTest::mousePress(w.button("deleteButton"), Qt::LeftButton);
        QTest::qWait(100);
        QVERIFY2(!anything.done, "no question is asked");
        QVERIFY(w.table->item(w.rowOf(name), 0));
    }
    QCOMPARE(settings()->value("Path/Quillon").toString(), own);
    QVERIFY(QFileInfo::exists(QCoreApplication::applicationFilePath()));
}

void SettingsWindowTest::missingFolderShowsAndOpensNothing() {
    QTemporaryDir folders;
    const QString gone = folders.filePath("gone");
    settings()->setValue("Path/Brightfen Sniffer", gone);
    settings()->setValue("Path/Brightfen Decoder", folders.path());
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
    w.pressRow(w.rowOf("Brightfen Sniffer"));
    ModalAnswerer yes([](QWidget *modal) { pressButton(modal, QMessageBox::Yes); });
    QTest::mousePress(w.button("deleteButton"), Qt::LeftButton);
    QVERIFY(yes.done);
    QCOMPARE(settings()->value("Path/Brightfen Sniffer").toString(), QString());
    QVERIFY(QFileInfo::exists(folders.path()));
}

void SettingsWindowTest::modifyAndAddChangeOnlyTheTableUntilApply() {
    QTemporaryDir folders;
    const QString before = folders.filePath("missing-before");
    const QString after = folders.filePath("after");
    const QString added = folders.filePath("added");
    QVERIFY(QDir().mkpath(after));
    QVERIFY(QDir().mkpath(added));
    settings()->setValue("Path/Brightfen Fieldlink", before);
    Window w;
    w.window.show();

    w.pressRow(w.rowOf("Brightfen Fieldlink"));
    ModalAnswerer pick([&](QWidget *modal) { chooseFolder(modal, after); });
    QTest::mousePress(w.button("modifyButton"), Qt::LeftButton);
    QVERIFY(pick.done);
    QCOMPARE(pick.seen, QString("QFileDialog"));
    QCOMPARE(w.table->item(w.rowOf("Brightfen Fieldlink"), 0)->text(), after);
    QVERIFY(!w.button("modifyButton")->isEnabled());
    QCOMPARE(settings()->value("Path/Brightfen Fieldlink").toString(), before);

    // Add: the chooser, then the folder.
    ModalAnswerer choose([](QWidget *modal) {
        auto *dialog = qobject_cast<Dialog *>(modal);
        dialog->namesBox()->setCurrentText("Brightfen Clocksync");
        dialog->findChild<QPushButton *>("okButton")->click();
    });
    ModalAnswerer *folder = nullptr;
    // The folder dialog comes up once the chooser has been answered.
    QTimer::singleShot(
        300, [&] { folder = new ModalAnswerer([&](QWidget *modal) { chooseFolder(modal, added); }); });
    QTest::mousePress(w.button("addButton"), Qt::LeftButton);
    QVERIFY(choose.done);
    QCOMPARE(choose.seen, QString("Dialog"));
    QVERIFY(folder && folder->done);
    delete folder;
    QCOMPARE(w.rowNames(), QStringList({"Brightfen Fieldlink", "Brightfen Clocksync"}));
    QCOMPARE(w.table->item(1, 0)->text(), added);
    QCOMPARE(settings()->value("Path/Brightfen Clocksync").toString(), QString());

    w.apply();
    QCOMPARE(settings()->value("Path/Brightfen Fieldlink").toString(), after);
    QCOMPARE(settings()->value("Path/Brightfen Clocksync").toString(), added);
}

void SettingsWindowTest::cancelledDialogsChangeNothing() {
    settings()->setValue("Path/Brightfen Fieldlink", "/srv/fieldlink");
    Window w;
    w.window.show();

    w.pressRow(0);
    ModalAnswerer cancelFolder([](QWidget *modal) { qobject_cast<QDialog *>(modal)->reject(); });
    QTest::mousePress(w.button("modifyButton"), Qt::LeftButton);
    QVERIFY(cancelFolder.done);
    QCOMPARE(w.table->item(0, 0)->text(), QString("/srv/fieldlink"));

    ModalAnswerer cancelChooser([](QWidget *modal) {
        qobject_cast<Dialog *>(modal)->findChild<QPushButton *>("cancelButton")->click();
    });
    QTest::mousePress(w.button("addButton"), Qt::LeftButton);
    QVERIFY(cancelChooser.done);
    QCOMPARE(w.table->rowCount(), 1);

    ModalAnswerer acceptChooser([](QWidget *modal) { qobject_cast<Dialog *>(modal)->accept(); });
    ModalAnswerer *cancelAddFolder = nullptr;
    QTimer::singleShot(300, [&] {
        cancelAddFolder = new ModalAnswerer([](QWidget *modal) { qobject_cast<QDialog *>(modal)->reject(); });
    });
    QTest::mousePress(w.button("addButton"), Qt::LeftButton);
    QVERIFY(acceptChooser.done);
    QVERIFY(cancelAddFolder && cancelAddFolder->done);
    delete cancelAddFolder;
    QCOMPARE(w.table->rowCount(), 1);
    QCOMPARE(settings()->value("Path/Brightfen Fieldlink").toString(), QString("/srv/fieldlink"));
}

void SettingsWindowTest::addChooserListsOnlyComponentsNotInTable() {
    const QStringList all = updatableComponents();
    settings()->setValue("Path/Brightfen Meter", "/m");
    settings()->setValue("Path/Quillon", "/q");
    {
        Window w;
        Dialog dialog(w.table, all);
        QCOMPARE(dialog.windowTitle(), russian() ? QString("Выберете необходимый софт из списка")
                                                 : QString("Select the required software from the list"));
        QCOMPARE(dialog.findChild<QPushButton *>("okButton")->text(),
                 russian() ? QString("Ок") : QString("Ok"));
        QCOMPARE(dialog.existingNames(), QStringList({"Brightfen Meter", "Quillon"}));
        QCOMPARE(dialog.namesBox()->count(), all.size() - 2);
        QCOMPARE(dialog.namesBox()->itemText(0), all.first());
        QCOMPARE(dialog.namesBox()->findText("Brightfen Meter"), -1);
    }
    for (const QString &name : all)
        settings()->setValue("Path/" + name, "/x/" + name);
    Window w;
    Dialog dialog(w.table, all);
    QCOMPARE(dialog.namesBox()->count(), 0);
    QCOMPARE(dialog.existingNames(), all);
}

void SettingsWindowTest::autostartFollowsBoxOnApply() {
    const QString entry = QDir::homePath() + "/.config/autostart/Quillon.desktop";
    QVERIFY2(QDir::homePath() != "/root" && QDir::homePath().startsWith(QDir::tempPath()),
             "runs against a temporary home folder");
    settings()->setValue("Autorun", false);
    Window w;
    QVERIFY(!w.autorun->isChecked());
    w.autorun->setChecked(true);
    w.apply();
    QVERIFY(settings()->value("Autorun").toBool());
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
    QVERIFY(!settings()->value("Autorun").toBool());
    QVERIFY(!Platform::startsWithSystem());
    QVERIFY(!QFileInfo::exists(entry));
}

void SettingsWindowTest::pressOutsideTableForgetsSelection() {
    settings()->setValue("Path/Brightfen Meter", "/m");
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

static int runTests(int argc, char **argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    SettingsWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

// The language comes from the system locale, read once per process: this process runs in English and
// runs the language checks again in a child process under a Russian locale. The autostart entry goes
// to a temporary home folder.
int main(int argc, char **argv) {
    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
    const QByteArray locale = qgetenv("QUILLON_TEST_LOCALE");
    qputenv("LC_ALL", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    qputenv("LANG", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qunsetenv("XDG_CONFIG_HOME");
    int result = runTests(argc, argv);
    if (!locale.isEmpty() || argc != 1)
        return result;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUILLON_TEST_LOCALE", "ru_RU.UTF-8");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(self, {"windowTextsFollowLanguage", "applyStoresEveryPeriodAndTellsTray",
                       "deleteClearsSettingAtOnceAndRemovesFolderOnYes",
                       "addChooserListsOnlyComponentsNotInTable"});
    if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        fprintf(stderr, "Run under ru_RU failed\n");
        result = result ? result : 1;
    }
    return result;
}

#include "tst_settingswindow.moc"
