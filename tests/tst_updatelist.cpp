// Drives the update list window on the offscreen platform: filling, ticking, its questions and final
// box, and update runs against a real SFTP server on loopback.

#include "support/TestMain.h"
#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/sftp/SftpSession.h"
#include "ui/ListAvailableUpdater.h"

#include <QApplication>
#include <QAtomicInt>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QString remoteFolder = QStringLiteral("/upload/Softwares/For Download/Brightfen Meter");
const QString updateLaterText =
    QStringLiteral("Some compnets have not been updated.\nShould I update them later?");

// Which texts the locale of this process should give: Russian by the "contains ru" rule (A) and by
// System_Language (B).
struct Expected {
    bool ruA;
    bool ruB;
};

Expected expectedLanguages() {
    return {testLocale().startsWith("ru_"), inRussian()};
}

QStringList rowTexts(const QTreeWidget *tree, int column) {
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts << tree->topLevelItem(i)->text(column);
    return texts;
}

QList<Qt::CheckState> rowChecks(const QTreeWidget *tree) {
    QList<Qt::CheckState> states;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        states << tree->topLevelItem(i)->checkState(0);
    return states;
}

// Answers the window's boxes and notes the status column of the list while each box is up.
struct ListAnswerer : BoxAnswerer {
    explicit ListAnswerer(const ListAvailableUpdater &window, QList<QMessageBox::StandardButton> answers)
        : BoxAnswerer(answers, [tree = QPointer<QTreeWidget>(window.treeWidget())] {
              return tree ? rowTexts(tree, 1) : QStringList();
          }) {}
};

void tick(ListAvailableUpdater &window, const QString &key) {
    const QList<QTreeWidgetItem *> rows = window.treeWidget()->findItems(key, Qt::MatchExactly, 0);
    QCOMPARE(rows.size(), 1);
    rows.first()->setCheckState(0, Qt::Checked);
}

QByteArray newContent(const QString &name) {
    return "new " + name.toUtf8() + QByteArray(3000, 'n');
}
QByteArray oldContent(const QString &name) {
    return "old " + name.toUtf8();
}

// Puts a new version of each file on the server and an old one locally; returns the pending map a
// check would have found.
QHash<QString, QString> pendingUpdates(const QString &serverRoot, const QString &localFolder,
                                       const QStringList &names) {
    // The downloader only writes below the recorded install folder of a component.
    settingsStore()->setValue("Path/Brightfen Meter", localFolder);
    QHash<QString, QString> map;
    for (const QString &name : names) {
        const QByteArray fresh = newContent(name);
        writeTestFile(serverRoot + remoteFolder + "/" + name, fresh);
        writeTestFile(localFolder + "/" + name, oldContent(name));
        map.insert(localFolder + "/" + name, remoteFolder + "/" + name + "|" + QString::number(fresh.size()));
    }
    return map;
}

bool isListed(const ListAvailableUpdater &window) {
    return !window.isRunning() && window.updateButtonWidget()->isEnabled() &&
           window.dontUpdateButtonWidget()->isEnabled() && !window.dontUpdateButtonWidget()->isHidden() &&
           window.progressBarWidget()->isHidden();
}

// Presses Update with the given answers queued and waits until that many boxes came and the run's
// thread is gone.
void runUpdate(ListAvailableUpdater &window, BoxAnswerer &answerer, int boxes) {
    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();
    QVERIFY(thread);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), boxes, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QCOMPARE(answerer.unanswered, 0);
}

} // namespace

class TestUpdateList : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void initTestCase();
    void fillingListsEveryPendingFileUnticked();
    void windowHasFixedSizeAndLayout();
    void textsFollowLocaleRules();
    void textsUnderRussianAndKazakhLocales();
    void updateAllBoxTicksEveryRowButSingleTicksLeaveItAlone();
    void buttonsActOnPressAndCloseBoxOnlyHides();
    void allTickedRunReplacesFilesAndClosesTheList();
    void updateLaterKeepsTheRowsLeftOutAndRunsAgain();
    void runningProgramAnsweredOkThenSkipped();
    void brokenConnectionReturnsTheListToItsListedState_data();
    void brokenConnectionReturnsTheListToItsListedState();

private:
    QTemporaryDir workFolder;
};

void TestUpdateList::initTestCase() {
    QVERIFY(workFolder.isValid());
    // The log file goes to the working folder; keep it out of the build tree.
    QVERIFY(QDir::setCurrent(workFolder.path()));
    useTestSettings();
}

void TestUpdateList::fillingListsEveryPendingFileUnticked() {
    QHash<QString, QString> map{{"C:/Brightfen/LoRa/Meter/app.exe", "/upload/a/app.exe|10"},
                                {"C:/Brightfen/LoRa/Meter/help/Meter.html", "/upload/a/help/Meter.html|20"},
                                {"C:/Brightfen/MT/readme.txt", "/upload/b/readme.txt|30"}};
    ListAvailableUpdater window;
    QVERIFY(window.isHidden());
    window.Filling_Three_Update(map);
    QVERIFY(window.isVisible());

    QStringList keysInMapOrder;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        keysInMapOrder << it.key();
    QTreeWidget *tree = window.treeWidget();
    QCOMPARE(rowTexts(tree, 0), keysInMapOrder);
    QCOMPARE(rowTexts(tree, 1), QStringList(3, "Update available"));
    QCOMPARE(rowChecks(tree), QList<Qt::CheckState>(3, Qt::Unchecked));
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        QCOMPARE(tree->topLevelItem(i)->childCount(), 0);

    // A component reported done that matches no row, or only by case, changes nothing.
    QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component", Q_ARG(QString, "C:/Brightfen/MT")));
    QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component",
                                      Q_ARG(QString, "c:/brightfen/mt/readme.txt")));
    QCOMPARE(rowTexts(tree, 1), QStringList(3, "Update available"));

    // Filling again replaces the rows rather than adding to them, and the window keeps the map's address.
    map.remove("C:/Brightfen/MT/readme.txt");
    window.Filling_Three_Update(map);
    QCOMPARE(tree->topLevelItemCount(), 2);

    // An empty map still shows the window, with an empty list.
    QHash<QString, QString> empty;
    window.hide();
    window.Filling_Three_Update(empty);
    QVERIFY(window.isVisible());
    QCOMPARE(tree->topLevelItemCount(), 0);
}

void TestUpdateList::windowHasFixedSizeAndLayout() {
    ListAvailableUpdater window;
    QCOMPARE(window.minimumSize(), QSize(615, 467));
    QCOMPARE(window.maximumSize(), QSize(615, 467));
    QVERIFY(window.parent() == nullptr);
    QVERIFY(window.windowTitle().isEmpty());
    QVERIFY(!window.windowIcon().isNull());

    QCOMPARE(window.updateButtonWidget()->geometry(), QRect(510, 430, 80, 24));
    QCOMPARE(window.hideButtonWidget()->geometry(), QRect(420, 430, 80, 24));
    QCOMPARE(window.updateAllBoxWidget()->geometry(), QRect(210, 430, 120, 24));
    QCOMPARE(window.dontUpdateButtonWidget()->geometry(), QRect(320, 430, 90, 24));
    QCOMPARE(window.treeWidget()->geometry(), QRect(10, 100, 591, 321));
    QCOMPARE(window.headerPictureWidget()->geometry(), QRect(10, 10, 591, 71));
    QVERIFY(!window.headerPictureWidget()->pixmap().isNull());
    QVERIFY(window.progressBarWidget()->isHidden());

    QTreeWidget *tree = window.treeWidget();
    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->columnWidth(0), 451);
    QCOMPARE(tree->columnWidth(1), 130);
    QCOMPARE(tree->header()->sectionResizeMode(0), QHeaderView::Fixed);
    QCOMPARE(tree->header()->sectionResizeMode(1), QHeaderView::Fixed);
    QVERIFY(!tree->isSortingEnabled());
}

void TestUpdateList::textsFollowLocaleRules() {
    const Expected ru = expectedLanguages();
    QCOMPARE(localeNameContainsRu(), ru.ruA);
    auto a = [&](const char *english, const char *russian) {
        return ru.ruA ? QString::fromUtf8(russian) : QString::fromUtf8(english);
    };
    auto b = [&](const char *english, const char *russian) {
        return ru.ruB ? QString::fromUtf8(russian) : QString::fromUtf8(english);
    };
    auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };

    ListAvailableUpdater window;
    QCOMPARE(window.objectName(), a("Updates", "Обновления"));
    QCOMPARE(window.updateButtonWidget()->text(), a("Update", "Обновить"));
    QCOMPARE(window.hideButtonWidget()->text(), a("Hide", "Свернуть"));
    QCOMPARE(window.dontUpdateButtonWidget()->text(), a("Don't update", "Не обновлять"));
    QCOMPARE(window.updateAllBoxWidget()->text(), a("Update All", "Обновить все"));
    QTreeWidgetItem *header = window.treeWidget()->headerItem();
    QCOMPARE(header->text(0), a("New updates are available", "Доступны новые обновления"));
    QCOMPARE(header->text(1), a("Status", "Статус"));

    QHash<QString, QString> map{{"C:/x/one.txt", "/r/one.txt|1"}, {"C:/x/two.txt", "/r/two.txt|2"}};
    Current_Language.clear();
    window.Filling_Three_Update(map);
    QCOMPARE(Current_Language, ru.ruB ? QString("ru") : QString("en"));
    QCOMPARE(rowTexts(window.treeWidget(), 1), QStringList(2, b("Update available", "Доступно обновление")));

    QVERIFY(QMetaObject::invokeMethod(&window, "Finish_Upload_Component", Q_ARG(QString, "C:/x/two.txt")));
    for (int i = 0; i < 2; ++i) {
        const QTreeWidgetItem *row = window.treeWidget()->topLevelItem(i);
        QCOMPARE(row->text(1), row->text(0) == "C:/x/two.txt" ? a("Updated", "Обновлено")
                                                              : b("Update available", "Доступно обновление"));
    }

    // The running-program question names the file behind the last "/", or the whole name without one.
    QAtomicInt cell = 1;
    {
        BoxAnswerer answerer({QMessageBox::Ok, QMessageBox::No});
        QVERIFY(QMetaObject::invokeMethod(&window, "Attachement", Q_ARG(QString, "C:/x/Tool.exe"),
                                          Q_ARG(int *, reinterpret_cast<int *>(&cell))));
        QCOMPARE(cell.loadAcquire(), 0);
        QVERIFY(QMetaObject::invokeMethod(&window, "Attachement", Q_ARG(QString, "Console.exe"),
                                          Q_ARG(int *, reinterpret_cast<int *>(&cell))));
        QCOMPARE(cell.loadAcquire(), 2);
        QCOMPARE(answerer.titles(), QStringList(2, "Quillon"));
        QCOMPARE(answerer.texts(), (QStringList{b("Before updating, close the Tool.exe application.",
                                                  "Перед обновлением закройте приложение Tool.exe"),
                                                b("Before updating, close the Console.exe application.",
                                                  "Перед обновлением закройте приложение Console.exe")}));
        QCOMPARE(answerer.seen[0].buttons, sorted({"OK", b("Skip", "Пропустить")}));
    }

    // The final box: with rows left out it offers "Update later", which lists the same rows again.
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    {
        BoxAnswerer answerer({QMessageBox::Yes});
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.titles(), QStringList{b("The updates have been successfully installed!",
                                                  "Обновления успешно установлены!")});
        QCOMPARE(answerer.texts(),
                 QStringList{b("Some compnets have not been updated.\nShould I update them later?",
                               "Некоторые компопнеты не были обновлены.\nОбновить их позже?")});
        QCOMPARE(answerer.seen[0].buttons, sorted({b("Update later", "Обновить позже"),
                                                   b("Complete the update", "Завершить обновление")}));
        QCOMPARE(map.size(), 2);
        QCOMPARE(rowTexts(window.treeWidget(), 1),
                 QStringList(2, b("Update available", "Доступно обновление")));
        QVERIFY(window.isVisible());
        QCOMPARE(finished.count(), 0);
    }
    {
        // "Complete the update": the list is emptied and closed.
        BoxAnswerer answerer({QMessageBox::No});
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.seen.size(), 1);
        QVERIFY(map.isEmpty());
        QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
        QVERIFY(window.isHidden());
        QCOMPARE(finished.count(), 1);
    }
    {
        // Nothing left out: the plain OK box.
        BoxAnswerer answerer({QMessageBox::Ok});
        window.Filling_Three_Update(map);
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.texts(), QStringList{b("Press OK to continue.", "Нажмите ОК, чтобы продолжить.")});
        QCOMPARE(answerer.seen[0].buttons, QStringList{"OK"});
        QCOMPARE(finished.count(), 2);
    }
}

void TestUpdateList::textsUnderRussianAndKazakhLocales() {
    // Kazakh takes System_Language's Russian texts but not those of the narrower "contains ru" rule.
    for (const char *locale : {"ru_RU.UTF-8", "kk_KZ.UTF-8"})
        QVERIFY2(passesUnderLocale(locale, {"textsFollowLocaleRules"}), locale);
}

void TestUpdateList::updateAllBoxTicksEveryRowButSingleTicksLeaveItAlone() {
    QHash<QString, QString> map{{"C:/a", "/a|1"}, {"C:/b", "/b|1"}, {"C:/c", "/c|1"}};
    ListAvailableUpdater window;
    window.Filling_Three_Update(map);
    QCheckBox *all = window.updateAllBoxWidget();
    QTreeWidget *tree = window.treeWidget();

    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(all->checkState(), Qt::Checked);
    QCOMPARE(rowChecks(tree), QList<Qt::CheckState>(3, Qt::Checked));

    tree->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(all->checkState(), Qt::Checked);

    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(all->checkState(), Qt::Unchecked);
    QCOMPARE(rowChecks(tree), QList<Qt::CheckState>(3, Qt::Unchecked));

    tree->topLevelItem(0)->setCheckState(0, Qt::Checked);
    QCOMPARE(all->checkState(), Qt::Unchecked);
    QCOMPARE(rowChecks(tree), (QList<Qt::CheckState>{Qt::Checked, Qt::Unchecked, Qt::Unchecked}));
}

void TestUpdateList::buttonsActOnPressAndCloseBoxOnlyHides() {
    QHash<QString, QString> map{{"C:/a", "/a|1"}, {"C:/b", "/b|1"}};
    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    tick(window, "C:/a");

    // Hide and the title-bar close only hide the list, ticks and all; a press alone is enough.
    QTest::mousePress(window.hideButtonWidget(), Qt::LeftButton);
    QVERIFY(window.isHidden());
    QTest::mouseRelease(window.hideButtonWidget(), Qt::LeftButton);
    window.show();
    QVERIFY(!window.close());
    QVERIFY(window.isHidden());
    QCOMPARE(map.size(), 2);
    QStringList ticked; // rows follow the map's order
    for (int i = 0; i < window.treeWidget()->topLevelItemCount(); ++i)
        if (window.treeWidget()->topLevelItem(i)->checkState(0) == Qt::Checked)
            ticked << window.treeWidget()->topLevelItem(i)->text(0);
    QCOMPARE(ticked, QStringList{"C:/a"});
    QCOMPARE(finished.count(), 0);

    window.show();
    QTest::mousePress(window.dontUpdateButtonWidget(), Qt::LeftButton);
    QVERIFY(map.isEmpty());
    QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
    QVERIFY(window.isHidden());
    QCOMPARE(finished.count(), 1);
}

void TestUpdateList::allTickedRunReplacesFilesAndClosesTheList() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"Meter.dll", "help.html"});
    // A slow server keeps the run going long enough to close the window in the middle of it.
    AsyncsshServer server(serverRoot.path(), {"--open-delay-ms", "300"});
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    ListAnswerer answerer(window, {QMessageBox::Ok});

    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();
    QVERIFY(thread);
    QVERIFY(window.isRunning());
    QCOMPARE(window.chosenUpdates().size(), 2);
    QVERIFY(!window.updateButtonWidget()->isEnabled());
    QVERIFY(!window.dontUpdateButtonWidget()->isEnabled());
    QVERIFY(window.dontUpdateButtonWidget()->isHidden());
    QVERIFY(!window.progressBarWidget()->isHidden());
    QCOMPARE(window.progressBarWidget()->geometry(), QRect(20, 430, 391, 23));

    // Closing by the title bar only hides the list; the run goes on to its final box.
    QVERIFY(!window.close());
    QVERIFY(window.isHidden());
    QVERIFY(window.isRunning());

    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
    QCOMPARE(answerer.seen[0].title, QString("The updates have been successfully installed!"));
    QCOMPARE(answerer.seen[0].text, QString("Press OK to continue."));
    QCOMPARE(answerer.seen[0].state, QStringList(2, "Updated"));
    QCOMPARE(answerer.unanswered, 0);
    QCOMPARE(finished.count(), 1);
    QVERIFY(map.isEmpty());
    QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
    QVERIFY(window.isHidden());
    QCOMPARE(window.progressBarWidget()->value(), 100);
    QCOMPARE(readTestFile(local.filePath("Meter.dll")), newContent("Meter.dll"));
    QCOMPARE(readTestFile(local.filePath("help.html")), newContent("help.html"));
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
}

void TestUpdateList::updateLaterKeepsTheRowsLeftOutAndRunsAgain() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map =
        pendingUpdates(serverRoot.path(), local.path(), {"one.dll", "two.dll", "three.dll"});
    const QString third = local.filePath("three.dll");
    const QString thirdValue = map.value(third);
    AsyncsshServer server(serverRoot.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    {
        // Nothing ticked: the run fetches nothing and asks about every row.
        ListAnswerer answerer(window, {QMessageBox::Yes}); // "Update later"
        runUpdate(window, answerer, 1);
        QVERIFY(window.chosenUpdates().isEmpty());
        QCOMPARE(answerer.texts(), QStringList{updateLaterText});
        QCOMPARE(answerer.seen[0].state, QStringList(3, "Update available"));
        QCOMPARE(map.size(), 3);
        QCOMPARE(readTestFile(local.filePath("one.dll")), oldContent("one.dll"));
    }
    tick(window, local.filePath("one.dll"));
    tick(window, local.filePath("two.dll"));
    {
        ListAnswerer answerer(window, {QMessageBox::Yes});
        runUpdate(window, answerer, 1);
        QCOMPARE(answerer.texts(), QStringList{updateLaterText});
    }
    QCOMPARE(finished.count(), 0);
    QCOMPARE(map.keys(), QStringList{third});
    QCOMPARE(map.value(third), thirdValue);
    QVERIFY(window.isVisible());
    QCOMPARE(rowTexts(window.treeWidget(), 0), QStringList{third});
    QCOMPARE(rowTexts(window.treeWidget(), 1), QStringList{"Update available"});
    QCOMPARE(rowChecks(window.treeWidget()), QList<Qt::CheckState>{Qt::Unchecked});
    QVERIFY(isListed(window));
    QVERIFY(window.chosenUpdates().isEmpty());
    QCOMPARE(readTestFile(local.filePath("one.dll")), newContent("one.dll"));
    QCOMPARE(readTestFile(local.filePath("two.dll")), newContent("two.dll"));
    QCOMPARE(readTestFile(third), oldContent("three.dll"));

    // A further run with a fresh thread and downloader takes the rest.
    tick(window, third);
    ListAnswerer answerer(window, {QMessageBox::Ok});
    runUpdate(window, answerer, 1);
    QCOMPARE(answerer.texts(), QStringList{"Press OK to continue."});
    QCOMPARE(answerer.seen[0].state, QStringList{"Updated"});
    QCOMPARE(finished.count(), 1);
    QVERIFY(map.isEmpty());
    QCOMPARE(readTestFile(third), newContent("three.dll"));
}

void TestUpdateList::runningProgramAnsweredOkThenSkipped() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"data.dll"});
    // A real running program stands in for the one to update: a copy of sleep named Tool.exe.
    const QString tool = local.filePath("Tool.exe");
    QVERIFY(QFile::copy("/bin/sleep", tool));
    const QByteArray toolBytes = readTestFile(tool);
    writeTestFile(serverRoot.path() + remoteFolder + "/Tool.exe", newContent("Tool.exe"));
    map.insert(tool, remoteFolder + "/Tool.exe|" + QString::number(newContent("Tool.exe").size()));
    QProcess running;
    running.start(tool, {"60"});
    QVERIFY(running.waitForStarted());
    auto stopRunning = qScopeGuard([&running] {
        running.kill();
        running.waitForFinished();
    });
    AsyncsshServer server(serverRoot.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    const QStringList rows = rowTexts(window.treeWidget(), 0);
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    // "Closed" while it still runs: asked again; then "Skip"; then "Complete the update".
    ListAnswerer answerer(window, {QMessageBox::Ok, QMessageBox::No, QMessageBox::No});
    runUpdate(window, answerer, 3);

    const QString question = "Before updating, close the Tool.exe application.";
    // Skipping counts as not updated, so the final box asks about the rest.
    QCOMPARE(answerer.texts(), (QStringList{question, question, updateLaterText}));
    QCOMPARE(answerer.seen[1].buttons, (QStringList{"OK", "Skip"}));
    QStringList statuses;
    for (const QString &key : rows)
        statuses << (key == tool ? "Update available" : "Updated");
    QCOMPARE(answerer.seen[2].state, statuses);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(readTestFile(tool), toolBytes);
    QCOMPARE(readTestFile(local.filePath("data.dll")), newContent("data.dll"));
}

void TestUpdateList::brokenConnectionReturnsTheListToItsListedState_data() {
    QTest::addColumn<QStringList>("fault");
    // "refused": the port of a server that was there a moment ago and has stopped. The other faults
    // strike once 200000 bytes of file data have gone out, in the middle of big.bin.
    QTest::newRow("refused") << QStringList{"stopped"};
    QTest::newRow("dropped") << QStringList{"--drop-after", "200000"};
    QTest::newRow("stalled") << QStringList{"--stall-after", "200000"};
}

void TestUpdateList::brokenConnectionReturnsTheListToItsListedState() {
    QFETCH(QStringList, fault);
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"small.dll"});
    const QByteArray big(600000, 'b');
    writeTestFile(serverRoot.path() + remoteFolder + "/big.bin", big);
    writeTestFile(local.filePath("big.bin"), oldContent("big.bin"));
    map.insert(local.filePath("big.bin"), remoteFolder + "/big.bin|" + QString::number(big.size()));
    const bool refused = fault == QStringList{"stopped"};
    AsyncsshServer server(serverRoot.path(), refused ? QStringList() : fault);
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
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const QString &key : map.keys())
            tick(window, key);
        ListAnswerer answerer(window, {QMessageBox::Ok});
        runUpdate(window, answerer, 1);
        QCOMPARE(answerer.titles(), QStringList{"Quillon"});
        QCOMPARE(answerer.texts(), QStringList{"Failed to join the server"});
        QTRY_VERIFY(isListed(window));
        QVERIFY(window.isVisible());
        QVERIFY(window.chosenUpdates().isEmpty());
        QCOMPARE(finished.count(), 0);
        // What was cut short stays listed; a file that arrived before the cut is done and leaves the list.
        QVERIFY(map.contains(local.filePath("big.bin")));
        QCOMPARE(readTestFile(local.filePath("big.bin")), oldContent("big.bin"));
        QCOMPARE(map.contains(local.filePath("small.dll")),
                 readTestFile(local.filePath("small.dll")) != newContent("small.dll"));
        if (refused)
            QCOMPARE(map, before);
        QCOMPARE(rowTexts(window.treeWidget(), 0), QStringList(map.keys()));
        QCOMPARE(rowTexts(window.treeWidget(), 1), QStringList(map.size(), "Update available"));
        QCOMPARE(rowChecks(window.treeWidget()), QList<Qt::CheckState>(map.size(), Qt::Unchecked));
    }
}

QUILLON_TEST_MAIN(TestUpdateList)
#include "tst_updatelist.moc"
