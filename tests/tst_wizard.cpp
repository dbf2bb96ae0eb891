// The install wizard's pages and their hand-over, driven through real widgets.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestWidgets.h"
#include "transfer/InstallContext.h"
#include "ui/StacketWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <memory>

namespace {

// One wizard with its context, released (deferred) at the end of the test.
struct Wizard {
    std::unique_ptr<InstallContext> context = std::make_unique<InstallContext>();
    InstallWizard parts = buildInstallWizard(context.get());
    QTreeWidget *tree = parts.softPage->findChild<QTreeWidget *>();
    QList<QLineEdit *> fields = parts.pathPage->findChildren<QLineEdit *>();

    ~Wizard() {
        destroyInstallWizard(parts);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QCheckBox *groupBox(const QString &text) {
        for (QCheckBox *box : parts.softPage->findChildren<QCheckBox *>())
            if (box->text() == text)
                return box;
        return nullptr;
    }
    QTreeWidgetItem *row(const QString &text) { return findRow(tree, text); }
    void tick(const QString &text) { doubleClickRow(tree, row(text)); }
    void next() {
        QTest::mouseClick(buttonLabelled(parts.softPage, inLanguage("Next", "Далее")), Qt::LeftButton);
    }
    void back() {
        QTest::mouseClick(buttonLabelled(parts.pathPage, inLanguage("Back", "Назад")), Qt::LeftButton);
    }
};

} // namespace

class WizardTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void initTestCase() { useTestSettings(); }
    void init() {
        for (const char *key : {"Path/Brightfen Console", "Path/Brightfen Fleet Server", "Path/CP210x",
                                "Path/Brightfen Cell Setup"})
            settingsStore()->setValue(key, QString());
        settingsStore()->setValue("MSVC/Inst", false);
    }

    void pagesAreAssembledInStackOrder();
    void textsFollowLocale();
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8",
                                  {"textsFollowLocale", "installedRowsAreGreyedAndLeftAloneByGroupBoxes",
                                   "nextRecordsComponentKeysAndRuntime",
                                   "folderDialogPicksAFolderAndCancelKeepsFolder"}));
    }
    void installedRowsAreGreyedAndLeftAloneByGroupBoxes();
    void groupRowsIgnoreDoubleClicks();
    void nextRecordsComponentKeysAndRuntime();
    void nextWithRuntimeInstalledRecordsOnlyTickedDrivers();
    void nextBackNextKeepsTicksAndFolders();
    void folderDialogPicksAFolderAndCancelKeepsFolder();
    void columnsWidenWhenTheListScrolls();
    void closingAnyPageAsksForTeardown();
};

void WizardTest::pagesAreAssembledInStackOrder() {
    Wizard w;
    StacketWidget *container = w.parts.container;
    QCOMPARE(container->count(), 3);
    QCOMPARE(container->widget(0), w.parts.softPage);
    QCOMPARE(container->widget(1), w.parts.pathPage);
    QCOMPARE(container->widget(2), w.parts.progressPage);
    QCOMPARE(container->windowTitle(), QString("Quillon"));
    QCOMPARE(container->size(), QSize(615, 467));
    QCOMPARE(w.context->softListPage, w.parts.softPage);
    QCOMPARE(w.context->pathSelectPage, w.parts.pathPage);

    container->show();
    QVERIFY(QTest::qWaitForWindowExposed(container));
    QVERIFY(w.parts.softPage->isVisible());
    QVERIFY(!w.parts.pathPage->isVisible());
    QVERIFY(!w.parts.progressPage->isVisible());

    // Group rows come first, collapsed, without check boxes; components start unchecked.
    QCOMPARE(w.tree->topLevelItemCount(), 4);
    const int children[] = {10, 1, 5, 6};
    for (int g = 0; g < 4; ++g) {
        QTreeWidgetItem *group = w.tree->topLevelItem(g);
        QCOMPARE(group->childCount(), children[g]);
        QVERIFY(!group->isExpanded());
        QVERIFY(!group->data(0, Qt::CheckStateRole).isValid());
        for (int i = 0; i < group->childCount(); ++i)
            QCOMPARE(group->child(i)->checkState(0), Qt::Unchecked);
    }
}

// Checks every fixed text against the language the process runs in.
void WizardTest::textsFollowLocale() {
    Wizard w;
    QCOMPARE(w.tree->headerItem()->text(0),
             inLanguage("Installation software", "Программное обеспечение для установки"));
    QCOMPARE(w.tree->headerItem()->text(1), inLanguage("State", "Состояние"));
    QCOMPARE(w.tree->topLevelItem(2)->text(0), inLanguage("Transport monitoring", "Мониторинг транспорта"));
    QCOMPARE(w.tree->topLevelItem(3)->text(0), inLanguage("Drivers", "Драйверы"));
    QVERIFY(w.row(inLanguage("MCP2200(COM port driver)", "MCP2200(Дайвер для COM-порта)")));
    QVERIFY(w.row(inLanguage("CH9340(WCHIP driver)", "CH9340(Драйвер для WCHIP)")));
    QVERIFY(w.row(inLanguage("Brightfen Alerter(Zip archive)", "Brightfen Alerter(Архив zip)")));
    QVERIFY(w.groupBox(inLanguage("Transport\nmonitoring", "Мониторинг\nтранспорта")));
    QVERIFY(buttonLabelled(w.parts.softPage, inLanguage("Next", "Далее")));
    QVERIFY(buttonLabelled(w.parts.softPage, inLanguage("Cancel", "Отмена")));
    QVERIFY(buttonLabelled(w.parts.pathPage, inLanguage("Install", "Установить")));
    QVERIFY(buttonLabelled(w.parts.pathPage, inLanguage("Back", "Назад")));
    QStringList captions;
    for (QLabel *label : w.parts.pathPage->findChildren<QLabel *>())
        if (!label->text().isEmpty())
            captions << label->text();
    const QStringList expected = inRussian()
                                     ? QStringList{"ПО для работы с сетями LoRa", "ПО для работы с NB-IoT",
                                                   "ПО для работы с мониторингом транспорта"}
                                     : QStringList{"LoRa networking software", "NB-IoT software",
                                                   "Software for work with transport monitoring"};
    QCOMPARE(captions, expected);
}

void WizardTest::installedRowsAreGreyedAndLeftAloneByGroupBoxes() {
    settingsStore()->setValue("Path/Brightfen Console", "/opt/Brightfen/LoRa/Brightfen Console");
    settingsStore()->setValue("Path/Brightfen Fleet Server", "/opt/Brightfen/MT/Brightfen Fleet Server");
    settingsStore()->setValue("Path/CP210x", "/opt/drivers/CP210x");
    Wizard w;
    const QString installed = inLanguage("Installed", "Установлено");

    QTreeWidgetItem *console = w.row("Brightfen Console");
    QVERIFY(console);
    QVERIFY(console->isDisabled());
    QCOMPARE(console->text(1), installed);
    // Recorded under its key, the engineering server shows as installed too.
    QTreeWidgetItem *fleet = w.row(inLanguage("Engineering server", "Инженерный сервер"));
    QVERIFY(fleet->isDisabled());
    QCOMPARE(fleet->text(1), installed);
    // Drivers are never marked.
    QTreeWidgetItem *cp210x = w.row(inLanguage("CP210x(COM port driver)", "CP210x(Драйвер для COM-порта)"));
    QVERIFY(!cp210x->isDisabled());
    QVERIFY(cp210x->text(1).isEmpty());

    QTreeWidgetItem *lora = w.tree->topLevelItem(0);
    QCheckBox *loraBox = w.groupBox("LoRa");
    w.parts.container->show();
    QTest::mouseClick(loraBox, Qt::LeftButton);
    QVERIFY(loraBox->isChecked());
    QVERIFY(lora->isExpanded());
    for (int i = 0; i < lora->childCount(); ++i)
        QCOMPARE(lora->child(i)->checkState(0), lora->child(i) == console ? Qt::Unchecked : Qt::Checked);

    doubleClickRow(w.tree, console);
    QCOMPARE(console->checkState(0), Qt::Unchecked);

    // A row ticked by hand in another group is cleared by that group's box too.
    QTreeWidgetItem *upload = w.row("Brightfen Fleet Upload");
    doubleClickRow(w.tree, upload);
    QCOMPARE(upload->checkState(0), Qt::Checked);
    QCheckBox *transportBox = w.groupBox(inLanguage("Transport\nmonitoring", "Мониторинг\nтранспорта"));
    QTest::mouseClick(transportBox, Qt::LeftButton);
    QTest::mouseClick(transportBox, Qt::LeftButton);
    QVERIFY(!transportBox->isChecked());
    QCOMPARE(upload->checkState(0), Qt::Unchecked);
    QCOMPARE(fleet->checkState(0), Qt::Unchecked);

    // Clearing the LoRa box clears every enabled row; the group stays expanded.
    QTest::mouseClick(loraBox, Qt::LeftButton);
    QVERIFY(lora->isExpanded());
    for (int i = 0; i < lora->childCount(); ++i)
        QCOMPARE(lora->child(i)->checkState(0), Qt::Unchecked);
}

void WizardTest::groupRowsIgnoreDoubleClicks() {
    Wizard w;
    w.parts.container->show();
    QTreeWidgetItem *meter = w.row("Brightfen Meter");
    doubleClickRow(w.tree, meter);
    QCOMPARE(meter->checkState(0), Qt::Checked);
    doubleClickRow(w.tree, meter);
    QCOMPARE(meter->checkState(0), Qt::Unchecked);

    for (int g = 0; g < 4; ++g) {
        QTreeWidgetItem *group = w.tree->topLevelItem(g);
        QMetaObject::invokeMethod(w.parts.softPage, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, group),
                                  Q_ARG(int, 0));
        QVERIFY(!group->data(0, Qt::CheckStateRole).isValid());
    }
    // A double-click in the State column toggles the name column, never gives the State cell a box.
    QMetaObject::invokeMethod(w.parts.softPage, "Reverse_State_Item", Q_ARG(QTreeWidgetItem *, meter),
                              Q_ARG(int, 1));
    QCOMPARE(meter->checkState(0), Qt::Checked);
    QVERIFY(!meter->data(1, Qt::CheckStateRole).isValid());
}

void WizardTest::nextRecordsComponentKeysAndRuntime() {
    Wizard w;
    w.parts.container->show();
    w.tick(inLanguage("Brightfen Clocksync(Zip archive)", "Brightfen Clocksync(Архив zip)"));
    w.tick(inLanguage("Engineering server", "Инженерный сервер"));
    w.tick("Brightfen Tracker A Setup");

    QSignalSpy nextSpy(w.parts.softPage, &SelectSoftList::Close_Software_Window_For_Next);
    w.next();
    QCOMPARE(nextSpy.count(), 1);
    QCOMPARE(w.context->selectedLoRa.keys(), QList<QString>{"Brightfen Clocksync"});
    QCOMPARE(w.context->selectedNbIot.size(), 0);
    QStringList transport = w.context->selectedCarMonitoring.keys();
    transport.sort();
    QCOMPARE(transport, (QStringList{"Brightfen Fleet Server", "Brightfen Tracker A Setup"}));
    // Nothing ticked among the drivers, yet the runtime is needed.
    QCOMPARE(w.context->selectedDrivers.keys(), QList<QString>{"MSVC"});

    // Only the rows of groups with a tick are enabled on the folder page.
    QVERIFY(w.parts.pathPage->isVisible());
    QVERIFY(!w.parts.softPage->isVisible());
    QVERIFY(w.fields[0]->isEnabled());
    QVERIFY(!w.fields[1]->isEnabled());
    QVERIFY(w.fields[2]->isEnabled());
}

void WizardTest::nextWithRuntimeInstalledRecordsOnlyTickedDrivers() {
    settingsStore()->setValue("MSVC/Inst", true);
    Wizard w;
    QVERIFY(w.context->msvcInstalled);
    w.parts.container->show();
    QTest::mouseClick(w.groupBox(inLanguage("Drivers", "Драйверы")), Qt::LeftButton);
    w.next();
    QStringList keys = w.context->selectedDrivers.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"CDC Drivers", "CH9340", "CP210x", "MCP2200", "OpenSSL", "STM32102"}));
    // Drivers alone enable no folder row.
    for (QLineEdit *field : w.fields)
        QVERIFY(!field->isEnabled());
}

void WizardTest::nextBackNextKeepsTicksAndFolders() {
    Wizard w;
    w.parts.container->show();
    QTreeWidgetItem *cell = w.row("Brightfen Cell Setup");
    doubleClickRow(w.tree, cell);
    w.next();
    QVERIFY(w.parts.pathPage->isVisible());
    QCOMPARE(w.context->selectedNbIot.keys(), QList<QString>{"Brightfen Cell Setup"});
    QVERIFY(!w.fields[0]->isEnabled());
    QVERIFY(w.fields[1]->isEnabled());

    // Every keystroke reaches the context; an empty folder is kept as typed.
    QLineEdit *nbIot = w.fields[1];
    nbIot->setFocus();
    nbIot->selectAll();
    QTest::keyClick(nbIot, Qt::Key_Backspace);
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString());
    QVERIFY(w.context->groupFolders.contains("NB-IoT"));
    QTest::keyClicks(nbIot, "/srv/nb");
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString("/srv/nb"));

    QSignalSpy backSpy(w.parts.pathPage, &SelectPathSoftInstall::Close_Path_Select_Window);
    w.back();
    QCOMPARE(backSpy.count(), 1);
    QVERIFY(w.parts.softPage->isVisible());
    QVERIFY(!w.parts.pathPage->isVisible());
    QCOMPARE(cell->checkState(0), Qt::Checked);

    w.next();
    QVERIFY(w.parts.pathPage->isVisible());
    QCOMPARE(nbIot->text(), QString("/srv/nb"));
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString("/srv/nb"));

    // Unticked after Back: the second Next no longer selects it and disables its row.
    w.back();
    doubleClickRow(w.tree, cell);
    w.next();
    QVERIFY(w.context->selectedNbIot.isEmpty());
    QVERIFY(!nbIot->isEnabled());
    QCOMPARE(w.context->selectedDrivers.keys(), QList<QString>{"MSVC"});

    // Install hands over to the progress page with the folder unchanged.
    QSignalSpy installSpy(w.parts.pathPage, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next);
    QObject::disconnect(w.parts.pathPage, &SelectPathSoftInstall::Close_Path_Select_Window_For_Next,
                        w.parts.progressPage, &ProgressBarWindow::Show);
    QTest::mouseClick(buttonLabelled(w.parts.pathPage, inLanguage("Install", "Установить")), Qt::LeftButton);
    QCOMPARE(installSpy.count(), 1);
    QVERIFY(!w.parts.pathPage->isVisible());
    QCOMPARE(w.context->groupFolders.value("NB-IoT"), QString("/srv/nb"));
}

void WizardTest::folderDialogPicksAFolderAndCancelKeepsFolder() {
    QTemporaryDir picked;
    Wizard w;
    w.parts.container->show();
    QTest::mouseClick(w.groupBox("LoRa"), Qt::LeftButton);
    w.next();
    const QString before = w.context->groupFolders.value("LoRa");
    QPushButton *browse = w.parts.pathPage->findChildren<QPushButton *>().at(0);
    QCOMPARE(browse->text(), QString("..."));

    QString title;
    auto answerDialog = [&](bool accept) {
        QTimer::singleShot(0, [&, accept] {
            QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            title = dialog->windowTitle();
            if (accept) {
                dialog->setDirectory(picked.path());
                dialog->selectFile(picked.path());
                static_cast<QDialog *>(dialog)->accept();
            } else {
                dialog->reject();
            }
        });
        QTest::mousePress(browse, Qt::LeftButton);
        QTest::mouseRelease(browse, Qt::LeftButton);
    };

    answerDialog(false);
    QCOMPARE(title,
             inLanguage("Select the directory for the LoRa software", "Выберете директорию для софта LoRa"));
    QCOMPARE(w.context->groupFolders.value("LoRa"), before);
    QCOMPARE(w.fields[0]->text(), before);

    answerDialog(true);
    QCOMPARE(QDir(w.context->groupFolders.value("LoRa")), QDir(picked.path()));
    QCOMPARE(w.fields[0]->text(), w.context->groupFolders.value("LoRa"));
}

void WizardTest::columnsWidenWhenTheListScrolls() {
    Wizard w;
    w.parts.container->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.parts.container));
    QHeaderView *header = w.tree->header();
    QCOMPARE(header->sectionSize(0), 371);
    QCOMPARE(header->sectionSize(1), 80);
    for (int g = 0; g < 4; ++g)
        w.tree->topLevelItem(g)->setExpanded(true);
    QTRY_VERIFY(w.tree->verticalScrollBar()->maximum() >= 1);
    QCOMPARE(header->sectionSize(0), 356);
    QCOMPARE(header->sectionSize(1), 95);
    for (int g = 0; g < 4; ++g)
        w.tree->topLevelItem(g)->setExpanded(false);
    QTRY_COMPARE(w.tree->verticalScrollBar()->maximum(), 0);
    QCOMPARE(header->sectionSize(0), 371);
    QCOMPARE(header->sectionSize(1), 80);
}

void WizardTest::closingAnyPageAsksForTeardown() {
    QPointer<QWidget> pages[4];
    {
        Wizard w;
        int requests = 0;
        // What the tray controller does in its teardown slot.
        struct Counter : QObject {
            int *count;
            void teardown() { ++*count; }
        } counter;
        counter.count = &requests;
        connectInstallWizardTeardown(w.parts, &counter, &Counter::teardown);
        w.parts.container->show();

        w.parts.container->close();
        QCOMPARE(requests, 1);
        QVERIFY(!w.parts.container->isVisible());
        QTest::mouseClick(buttonLabelled(w.parts.softPage, inLanguage("Cancel", "Отмена")), Qt::LeftButton);
        QCOMPARE(requests, 2);
        w.parts.pathPage->close();
        QCOMPARE(requests, 3);
        w.parts.progressPage->close();
        QCOMPARE(requests, 4);

        pages[0] = w.parts.container;
        pages[1] = w.parts.softPage;
        pages[2] = w.parts.pathPage;
        pages[3] = w.parts.progressPage;
        // Asking twice before the deferred deletions run is harmless.
        destroyInstallWizard(w.parts);
    }
    for (const QPointer<QWidget> &page : pages)
        QVERIFY(page.isNull());

    // A new wizard starts from scratch.
    Wizard again;
    QVERIFY(again.context->selectedLoRa.isEmpty());
    QVERIFY(!again.row("Brightfen Meter")->isDisabled());
    QCOMPARE(again.row("Brightfen Meter")->checkState(0), Qt::Unchecked);
}

QUILLON_TEST_MAIN(WizardTest)
#include "tst_wizard.moc"
