// Drives the update list window on the offscreen platform: filling, ticking, its questions and final
// box, and update runs against a real SFTP server on loopback.

#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/SftpSession.h"
#include "ui/ListAvailableUpdater.h"

#include <QAbstractButton>
#include <QApplication>
#include <QAtomicInt>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QString remoteFolder = QStringLiteral("/upload/Softwares/For Download/Brightfen Meter");

// Which texts the locale of this process should give: Russian by the "contains ru" rule (A) and by
// System_Language (B).
struct Expected {
    bool ruA;
    bool ruB;
};

Expected expectedLanguages() {
    const QString locale = qEnvironmentVariable("QUILLON_TEST_LOCALE");
    if (locale == QLatin1String("ru_RU"))
        return {true, true};
    if (locale == QLatin1String("kk_KZ"))
        return {false, true};
    return {false, false};
}

// What a message box showed when it was answered, and the status column of the list at that moment.
struct SeenBox {
    QString title;
    QString text;
    QStringList buttons;
    QStringList statuses;
};

// Answers application-modal message boxes as they appear, with the queued standard buttons in order.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QTreeWidget *tree = nullptr) : tree(tree) {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(10);
    }
    void queue(QMessageBox::StandardButton button) { answers.append(button); }

    QList<SeenBox> seen;
    int unanswered = 0; // boxes that came with no answer queued; they are rejected

private:
    void poll() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        SeenBox shown{box->windowTitle(), box->text(), {}, {}};
        for (QAbstractButton *button : box->buttons())
            shown.buttons << button->text();
        shown.buttons.sort();
        if (tree) {
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                shown.statuses << tree->topLevelItem(i)->text(1);
        }
        seen << shown;
        QAbstractButton *button = answers.isEmpty() ? nullptr : box->button(answers.takeFirst());
        if (!button) {
            ++unanswered;
            box->reject();
            return;
        }
        QTest::mouseClick(button, Qt::LeftButton);
    }

    QPointer<QTreeWidget> tree;
    QTimer timer;
    QList<QMessageBox::StandardButton> answers;
};

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

void tick(ListAvailableUpdater &window, const QString &key) {
    const QList<QTreeWidgetItem *> rows = window.treeWidget()->findItems(key, Qt::MatchExactly, 0);
    QCOMPARE(rows.size(), 1);
    rows.first()->setCheckState(0, Qt::Checked);
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
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
    CEncryptedSettings::getInstance(QString(), 0)->setValue("Path/Brightfen Meter", localFolder);
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

} // namespace

class TestUpdateList : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void fillingListsEveryPendingFileUnticked();
    void windowHasFixedSizeAndLayout();
    void textsFollowLocaleRules();
    void textsUnderRussianAndKazakhLocales();
    void updateAllBoxTicksEveryRowButSingleTicksLeaveItAlone();
    void buttonsActOnPress();
    void closeBoxOnlyHidesTheList();
    void allTickedRunReplacesFilesAndClosesTheList();
    void runWithNothingTickedOffersToUpdateLater();
    void updateLaterKeepsTheRowsLeftOutAndRunsAgain();
    void runningProgramAnsweredOkThenSkipped();
    void unreachableServerReturnsTheListToItsListedState();
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

    // A name given before construction finishes is kept; only a nameless window gets "Updates".
    QCOMPARE(window.objectName(), expectedLanguages().ruA ? QString("Обновления") : QString("Updates"));
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
        BoxAnswerer answerer;
        answerer.queue(QMessageBox::Ok);
        answerer.queue(QMessageBox::No);
        QVERIFY(QMetaObject::invokeMethod(&window, "Attachement", Q_ARG(QString, "C:/x/Tool.exe"),
                                          Q_ARG(int *, reinterpret_cast<int *>(&cell))));
        QCOMPARE(cell.loadAcquire(), 0);
        QVERIFY(QMetaObject::invokeMethod(&window, "Attachement", Q_ARG(QString, "Console.exe"),
                                          Q_ARG(int *, reinterpret_cast<int *>(&cell))));
        QCOMPARE(cell.loadAcquire(), 2);
        QCOMPARE(answerer.seen.size(), 2);
        QCOMPARE(answerer.seen[0].title, QString("Quillon"));
        QCOMPARE(answerer.seen[0].text, b("Before updating, close the Tool.exe application.",
                                          "Перед обновлением закройте приложение Tool.exe"));
        QCOMPARE(answerer.seen[1].text, b("Before updating, close the Console.exe application.",
                                          "Перед обновлением закройте приложение Console.exe"));
        QStringList buttons{"OK", b("Skip", "Пропустить")};
        buttons.sort();
        QCOMPARE(answerer.seen[0].buttons, buttons);
    }

    // The final box: with rows left out it offers "Update later", which lists the same rows again.
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    {
        BoxAnswerer answerer;
        answerer.queue(QMessageBox::Yes);
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title,
                 b("The updates have been successfully installed!", "Обновления успешно установлены!"));
        QCOMPARE(answerer.seen[0].text, b("Some compnets have not been updated.\nShould I update them later?",
                                          "Некоторые компопнеты не были обновлены.\nОбновить их позже?"));
        QStringList buttons{b("Update later", "Обновить позже"),
                            b("Complete the update", "Завершить обновление")};
        buttons.sort();
        QCOMPARE(answerer.seen[0].buttons, buttons);
        QCOMPARE(map.size(), 2);
        QCOMPARE(rowTexts(window.treeWidget(), 1),
                 QStringList(2, b("Update available", "Доступно обновление")));
        QVERIFY(window.isVisible());
        QCOMPARE(finished.count(), 0);
    }
    {
        BoxAnswerer answerer;
        answerer.queue(QMessageBox::No);
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.seen.size(), 1);
        QVERIFY(map.isEmpty());
        QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
        QVERIFY(window.isHidden());
        QCOMPARE(finished.count(), 1);
    }
    // Nothing left out: the plain OK box.
    {
        BoxAnswerer answerer;
        answerer.queue(QMessageBox::Ok);
        window.Filling_Three_Update(map);
        QVERIFY(QMetaObject::invokeMethod(&window, "Finished"));
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].text, b("Press OK to continue.", "Нажмите ОК, чтобы продолжить."));
        QCOMPARE(answerer.seen[0].buttons, QStringList{"OK"});
        QCOMPARE(finished.count(), 2);
    }
}

void TestUpdateList::textsUnderRussianAndKazakhLocales() {
    // The system locale is read once per process, so each locale gets a process of its own.
    for (const char *locale : {"ru_RU", "kk_KZ"}) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QUILLON_TEST_LOCALE", locale);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"windowHasFixedSizeAndLayout", "textsFollowLocaleRules"});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 qPrintable(QString::fromLatin1(locale) + ":\n" + QString::fromUtf8(output)));
    }
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

void TestUpdateList::buttonsActOnPress() {
    QHash<QString, QString> map{{"C:/a", "/a|1"}, {"C:/b", "/b|1"}};
    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);

    // A press alone is enough: no release follows.
    QTest::mousePress(window.hideButtonWidget(), Qt::LeftButton);
    QVERIFY(window.isHidden());
    QCOMPARE(map.size(), 2);
    QCOMPARE(window.treeWidget()->topLevelItemCount(), 2);
    QCOMPARE(finished.count(), 0);
    QTest::mouseRelease(window.hideButtonWidget(), Qt::LeftButton);

    window.show();
    QTest::mousePress(window.dontUpdateButtonWidget(), Qt::LeftButton);
    QVERIFY(map.isEmpty());
    QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
    QVERIFY(window.isHidden());
    QCOMPARE(finished.count(), 1);
}

void TestUpdateList::closeBoxOnlyHidesTheList() {
    QHash<QString, QString> map{{"C:/a", "/a|1"}};
    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    tick(window, "C:/a");

    QVERIFY(!window.close());
    QVERIFY(window.isHidden());
    QCOMPARE(map.size(), 1);
    QCOMPARE(rowChecks(window.treeWidget()), QList<Qt::CheckState>{Qt::Checked});
    QCOMPARE(finished.count(), 0);
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
    BoxAnswerer answerer(window.treeWidget());
    answerer.queue(QMessageBox::Ok);

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
    QCOMPARE(answerer.seen[0].statuses, QStringList(2, "Updated"));
    QCOMPARE(answerer.unanswered, 0);
    QCOMPARE(finished.count(), 1);
    QVERIFY(map.isEmpty());
    QCOMPARE(window.treeWidget()->topLevelItemCount(), 0);
    QVERIFY(window.isHidden());
    QCOMPARE(window.progressBarWidget()->value(), 100);
    QCOMPARE(fileBytes(local.filePath("Meter.dll")), newContent("Meter.dll"));
    QCOMPARE(fileBytes(local.filePath("help.html")), newContent("help.html"));
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
}

void TestUpdateList::runWithNothingTickedOffersToUpdateLater() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"a.dll", "b.dll"});
    AsyncsshServer server(serverRoot.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    BoxAnswerer answerer(window.treeWidget());
    answerer.queue(QMessageBox::No); // "Complete the update"

    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();
    QVERIFY(window.chosenUpdates().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
    QCOMPARE(answerer.seen[0].text,
             QString("Some compnets have not been updated.\nShould I update them later?"));
    QCOMPARE(answerer.seen[0].statuses, QStringList(2, "Update available"));
    QCOMPARE(finished.count(), 1);
    QVERIFY(map.isEmpty());
    QVERIFY(window.isHidden());
    QCOMPARE(fileBytes(local.filePath("a.dll")), oldContent("a.dll"));
    QCOMPARE(fileBytes(local.filePath("b.dll")), oldContent("b.dll"));
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
    tick(window, local.filePath("one.dll"));
    tick(window, local.filePath("two.dll"));
    {
        BoxAnswerer answerer(window.treeWidget());
        answerer.queue(QMessageBox::Yes); // "Update later"
        QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
        QPointer<QThread> thread = window.runThread();
        QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
        QCOMPARE(answerer.seen[0].text,
                 QString("Some compnets have not been updated.\nShould I update them later?"));
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
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
    QCOMPARE(fileBytes(local.filePath("one.dll")), newContent("one.dll"));
    QCOMPARE(fileBytes(local.filePath("two.dll")), newContent("two.dll"));
    QCOMPARE(fileBytes(third), oldContent("three.dll"));

    // A second run with a fresh thread and downloader takes the rest.
    tick(window, third);
    BoxAnswerer answerer(window.treeWidget());
    answerer.queue(QMessageBox::Ok);
    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
    QCOMPARE(answerer.seen[0].text, QString("Press OK to continue."));
    QCOMPARE(answerer.seen[0].statuses, QStringList{"Updated"});
    QCOMPARE(finished.count(), 1);
    QVERIFY(map.isEmpty());
    QCOMPARE(fileBytes(third), newContent("three.dll"));
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
}

void TestUpdateList::runningProgramAnsweredOkThenSkipped() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"data.dll"});
    // A real running program stands in for the one to update: a copy of sleep named Tool.exe.
    const QString tool = local.filePath("Tool.exe");
    QVERIFY(QFile::copy("/bin/sleep", tool));
    const QByteArray toolBytes = fileBytes(tool);
    writeTestFile(serverRoot.path() + remoteFolder + "/Tool.exe", newContent("Tool.exe"));
    map.insert(tool, remoteFolder + "/Tool.exe|" + QString::number(newContent("Tool.exe").size()));
    QProcess running;
    running.start(tool, {"60"});
    QVERIFY(running.waitForStarted());
    AsyncsshServer server(serverRoot.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    const QStringList rows = rowTexts(window.treeWidget(), 0);
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    BoxAnswerer answerer(window.treeWidget());
    answerer.queue(QMessageBox::Ok); // "closed" while it still runs: asked again
    answerer.queue(QMessageBox::No); // "Skip"
    answerer.queue(QMessageBox::No); // "Complete the update"
    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();

    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 3, 30000);
    const QString question = "Before updating, close the Tool.exe application.";
    QCOMPARE(answerer.seen[0].text, question);
    QCOMPARE(answerer.seen[1].text, question);
    QCOMPARE(answerer.seen[1].buttons, (QStringList{"OK", "Skip"}));
    // Skipping counts as not updated, so the final box asks about the rest.
    QCOMPARE(answerer.seen[2].text,
             QString("Some compnets have not been updated.\nShould I update them later?"));
    QStringList statuses;
    for (const QString &key : rows)
        statuses << (key == tool ? "Update available" : "Updated");
    QCOMPARE(answerer.seen[2].statuses, statuses);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(fileBytes(tool), toolBytes);
    QCOMPARE(fileBytes(local.filePath("data.dll")), newContent("data.dll"));
    QCOMPARE(answerer.unanswered, 0);
    running.kill();
    running.waitForFinished();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
}

void TestUpdateList::unreachableServerReturnsTheListToItsListedState() {
    QTemporaryDir serverRoot;
    QTemporaryDir local;
    QHash<QString, QString> map = pendingUpdates(serverRoot.path(), local.path(), {"a.dll", "b.dll"});
    {
        // A port where a server was a moment ago and nothing listens now.
        AsyncsshServer server(serverRoot.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        pointSettingsAt(server);
    }
    const QHash<QString, QString> before = map;

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    for (int attempt = 0; attempt < 2; ++attempt) {
        tick(window, local.filePath("a.dll"));
        BoxAnswerer answerer(window.treeWidget());
        answerer.queue(QMessageBox::Ok);
        QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
        QPointer<QThread> thread = window.runThread();
        QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
        QCOMPARE(answerer.seen[0].title, QString("Quillon"));
        QCOMPARE(answerer.seen[0].text, QString("Failed to join the server"));
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
        QTRY_VERIFY(isListed(window));
        QVERIFY(window.isVisible());
        QCOMPARE(map, before);
        QCOMPARE(rowTexts(window.treeWidget(), 1), QStringList(2, "Update available"));
        QCOMPARE(rowChecks(window.treeWidget()), QList<Qt::CheckState>(2, Qt::Unchecked));
        QVERIFY(window.chosenUpdates().isEmpty());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(answerer.unanswered, 0);
    }
}

void TestUpdateList::brokenConnectionReturnsTheListToItsListedState_data() {
    QTest::addColumn<QStringList>("fault");
    // Both faults strike once 200000 bytes of file data have gone out, in the middle of big.bin.
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
    AsyncsshServer server(serverRoot.path(), fault);
    QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
    pointSettingsAt(server);
    // A silent server is given up after 1.5 s here instead of a minute.
    setSessionTimeoutsForTesting(5000, 1500);
    auto restoreTimeouts = qScopeGuard([] { setSessionTimeoutsForTesting(0, 0); });

    ListAvailableUpdater window;
    QSignalSpy finished(&window, &ListAvailableUpdater::Finish_Update);
    window.Filling_Three_Update(map);
    QTest::mouseClick(window.updateAllBoxWidget(), Qt::LeftButton);
    BoxAnswerer answerer(window.treeWidget());
    answerer.queue(QMessageBox::Ok);
    QTest::mousePress(window.updateButtonWidget(), Qt::LeftButton);
    QPointer<QThread> thread = window.runThread();

    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 30000);
    QCOMPARE(answerer.seen[0].text, QString("Failed to join the server"));
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 10000);
    QTRY_VERIFY(isListed(window));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(answerer.unanswered, 0);
    // What was cut short stays listed; a file that arrived before the cut is done and leaves the list.
    QVERIFY(map.contains(local.filePath("big.bin")));
    QCOMPARE(map.contains(local.filePath("small.dll")),
             fileBytes(local.filePath("small.dll")) != newContent("small.dll"));
    QCOMPARE(rowTexts(window.treeWidget(), 0), QStringList(map.keys()));
    QCOMPARE(rowTexts(window.treeWidget(), 1), QStringList(map.size(), "Update available"));
    QCOMPARE(rowChecks(window.treeWidget()), QList<Qt::CheckState>(map.size(), Qt::Unchecked));
}

int main(int argc, char **argv) {
    // The locale comes from the environment before the application reads it; English unless a
    // child run of this test asks for another one.
    QByteArray locale = qgetenv("QUILLON_TEST_LOCALE");
    if (locale.isEmpty())
        locale = "en_US";
    qputenv("LC_ALL", locale + ".UTF-8");
    qunsetenv("LANGUAGE");
    QApplication app(argc, argv);
    TestUpdateList test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatelist.moc"
