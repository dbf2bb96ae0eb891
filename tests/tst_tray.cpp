// The tray controller against a real SFTP server, and its windows: progress, about, welcome.

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestMain.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "transfer/InstallContext.h"
#include "transfer/PublisherTrust.h"
#include "ui/AboutWindow.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"
#include "ui/WelcomeWindow.h"

#include <QtTest>
#include <QtWidgets>

namespace {
const QString remoteRoot = "/upload/Softwares/For Download/";
QString textOf(QWidget *window, const char *label) {
    return window->findChild<QLabel *>(label)->text();
}
QStringList logRows(QWidget *window) {
    return qobject_cast<QStringListModel *>(window->findChild<QListView *>("logView")->model())->stringList();
}
// Runs the application's own event loop as the program does; the result is what ended it (42: the test).
int runEventLoopAfter(const std::function<void()> &action, int giveUpMsec) {
    QObject timers; // nothing of this run fires in a later one
    QTimer::singleShot(0, &timers, action);
    QTimer::singleShot(giveUpMsec, &timers, [] { QCoreApplication::exit(42); });
    return QApplication::exec();
}
QImage imageOf(const QIcon &icon) {
    return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
}
// The tray's picture; and whether its Install and Check entries are enabled.
bool shows(const MainTrayIcon &tray, const QString &picture, bool entriesEnabled) {
    return tray.pictureName() == picture &&
           imageOf(tray.trayIcon()->icon()) == imageOf(QIcon(QPixmap(picture))) &&
           tray.installAction()->isEnabled() == entriesEnabled &&
           tray.checkAction()->isEnabled() == entriesEnabled;
}
// Timer ticks; returns how many started a check, each waited for so that the next tick is not skipped.
int ticks(MainTrayIcon &tray, int count) {
    int started = 0;
    for (int i = 0; i < count; ++i) {
        QMetaObject::invokeMethod(&tray, "Timer_Counting");
        started += tray.checkRunning();
        (void)QTest::qWaitFor([&tray] { return !tray.checkRunning(); }, 20000);
    }
    return started;
}
QList<WelcomeWindow *> handedBack;
void selfDestroy(WelcomeWindow *window) { // as start-up does: destroyed later, from the event loop
    handedBack << window;
    window->deleteLater();
}
} // namespace

class TrayTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private:
    QTemporaryDir work;
    int closedPort = 0;
private slots:
    void initTestCase() {
        QApplication::setQuitOnLastWindowClosed(false);
        QDir::setCurrent(work.path()); // "LogFile.log" of failed checks goes here
        useTestSettings();
        settingsStore()->setValue("SFTP/IP", "127.0.0.1");
        AsyncsshServer server(work.path()); // stopped below: its port then refuses connections at once
        QVERIFY2(server.isRunning(), qPrintable(server.errorText()));
        closedPort = server.port();
        server.stop();
        QVERIFY(imageOf(QIcon(":/TrayIcon.ico")) != imageOf(QIcon(":/SearchUpdate.ico"))); // tells them apart
    }
    void init() {
        settingsStore()->setValue("SFTP/port", closedPort);
        settingsStore()->setValue("Timer/Timeout", 1);
    }
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"checkFromMenu", "windowsAndExit", "titleWindows",
                                                  "timeLabelAndLogRows", "runEndings:refused three times"}));
    }

    void checkFromMenu_data() {
        QTest::addColumn<QByteArray>("installed"); // beside "build 6" on the server; null: no server
        QTest::addColumn<QString>("balloon");
        QTest::newRow("refused") << QByteArray()
                                 << inLanguage("Failed to join the server",
                                               "Не удалось присоединиться к серверу");
        QTest::newRow("current") << QByteArray("build 6")
                                 << inLanguage("Updates not found", "Обновления не найдены");
        QTest::newRow("newer") << QByteArray("build 5")
                               << inLanguage("Updates are available", "Доступны обновления");
        // A publisher key is set and the server has no signed manifest: the check is refused.
        QTest::newRow("not signed") << QByteArray("unsigned") << PublisherTrust::refusedText(inRussian());
    }
    void checkFromMenu() {
        QFETCH(QByteArray, installed);
        QTemporaryDir serverTree, installedFolder;
        std::unique_ptr<AsyncsshServer> server;
        settingsStore()->setValue("Path/Brightfen Meter", installedFolder.path());
        if (!installed.isNull()) {
            writeTestFile(serverTree.path() + remoteRoot + "Brightfen Meter/meter.bin", "build 6");
            writeTestFile(installedFolder.filePath("meter.bin"), installed);
            server = std::make_unique<AsyncsshServer>(serverTree.path());
            QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
            pointSettingsAt(*server);
        }
        if (installed == "unsigned")
            settingsStore()->setValue(
                PublisherTrust::keySetting,
                "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIFKx0nxFdeKEXq/DSdZFd+aZcA4aVoh47Jiw2IM7y/sM");
        auto removeKey = qScopeGuard([] { settingsStore()->remove(PublisherTrust::keySetting); });
        MainTrayIcon tray;
        QStringList texts;
        for (QAction *action : tray.trayMenu()->actions())
            texts << action->text();
        QCOMPARE(texts.join('|'),
                 inLanguage("Install Software|Check updates|Settings|About|Exit",
                            "Установить ПО|Проверить обновления|Настройки|О программе|Выход"));
        QVERIFY(tray.trayIcon()->contextMenu() == tray.trayMenu() && tray.trayIcon()->isVisible());
        QVERIFY(tray.checkTimer()->interval() == 86400000 && tray.checkTimer()->isActive() &&
                !tray.checkTimer()->isSingleShot());
        QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon"));
        QVERIFY(shows(tray, ":/TrayIcon.ico", true));
        if (server) { // a failed check before leaves nothing behind for this one
            settingsStore()->setValue("SFTP/port", closedPort);
            QCOMPARE(ticks(tray, 1), 1);
            pointSettingsAt(*server);
        }
        tray.checkAction()->trigger();
        QVERIFY(tray.checkRunning() && shows(tray, ":/SearchUpdate.ico", false));
        QCOMPARE(tray.lastBalloonText(), inLanguage("Check updates...", "Проверка обновлений..."));
        QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        QTEST(tray.lastBalloonText(), "balloon");
        ListAvailableUpdater *list = tray.updateListWindow();
        QCOMPARE(!list, installed != "build 5");
        QVERIFY(shows(tray, list ? ":/Upload.ico" : ":/TrayIcon.ico", !list));
        // The checking text stays, in every language, unless updates are found.
        QCOMPARE(tray.trayIcon()->toolTip(),
                 list ? "Quillon\nДоступны обновления" : "Quillon\nПроверка обновлений...");
        if (!list)
            return;
        QTRY_VERIFY(list->isVisible());
        // While the list holds the map, neither the timer nor the menu starts another check.
        QCOMPARE(ticks(tray, 2), 0);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Start_Check_Update_Soft") && !tray.checkRunning());
        // A double-click brings a hidden list back; other activations do nothing.
        list->hide();
        emit tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!list->isVisible());
        emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(list->isVisible());
        QPointer<ListAvailableUpdater> watched(list);
        QVERIFY(QMetaObject::invokeMethod(list, "Finish_Update"));
        QVERIFY(!tray.updateListWindow() && shows(tray, ":/TrayIcon.ico", true));
        QTRY_VERIFY(watched.isNull());
        emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!tray.updateListWindow());
    }

    void dayCountAndBusyTicks() {
        for (const QVariant &period : {QVariant(QString()), QVariant(1)}) { // absent or a day: every tick
            settingsStore()->setValue("Timer/Timeout", period);
            MainTrayIcon tray;
            QVERIFY(ticks(tray, 3) == 3 && tray.checkPeriod() == period.toInt() &&
                    tray.daysLeft() == period.toInt());
        }
        settingsStore()->setValue("Timer/Timeout", 7);
        MainTrayIcon tray;
        QVERIFY(tray.checkPeriod() == 7 && tray.daysLeft() == 7);
        QCOMPARE(ticks(tray, 6), 0);
        QCOMPARE(tray.daysLeft(), 1);
        tray.checkAction()->trigger(); // a check from the menu leaves the count alone
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        // {ticks, checks they start, days left after them}; a new period (3) starts the count afresh.
        for (const auto &[count, checks, left] : std::initializer_list<std::tuple<int, int, int>>{
                 {0, 0, 1}, {1, 1, 7}, {6, 0, 1}, {1, 1, 7}, {5, 0, 2}, {-3, 0, 3}, {2, 0, 1}, {1, 1, 3}}) {
            if (count < 0)
                QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, -count)));
            QCOMPARE(ticks(tray, count), checks);
            QCOMPARE(tray.daysLeft(), left);
        }
        // Due while the wizard is open: the check comes at the first tick after it closed.
        QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 1)));
        tray.Install_Software();
        QVERIFY(shows(tray, ":/TrayIcon.ico", false) && ticks(tray, 2) == 0 && tray.daysLeft() == -1);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish") &&
                shows(tray, ":/TrayIcon.ico", true));
        QVERIFY(ticks(tray, 1) == 1 && tray.daysLeft() == 1);
        // A tick while a check runs starts no second checker on the same map.
        tray.checkAction()->trigger();
        QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting") && tray.daysLeft() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        QCOMPARE(ticks(tray, 1), 1);
    }

    void windowsAndExit() {
        MainTrayIcon tray;
        tray.installAction()->trigger();
        QPointer<StacketWidget> wizard = tray.installWindow();
        QVERIFY(wizard && wizard->isVisible());
        wizard->hide();
        tray.Install_Software(); // as the welcome window's start button would
        QVERIFY(tray.installWindow() == wizard && wizard->isVisible());
        wizard->close(); // the title-bar button
        QVERIFY(!tray.installWindow() && shows(tray, ":/TrayIcon.ico", true));
        QTRY_VERIFY(wizard.isNull());
        tray.Install_Software();
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish")); // asking twice is harmless
        QVERIFY(!tray.installWindow() && shows(tray, ":/TrayIcon.ico", true));
        tray.Show_Already_Running(); // with no window open
        const QString notice = inLanguage("Right-click the mouse to open the context menu.",
                                          "Щелкните правой кнопкой мыши для вызова контекстного меню.");
        QCOMPARE(tray.lastBalloonText(),
                 inLanguage("Quillon is already running. ", "Quillon уже запущен. ") + notice);
        tray.Show_Start_Notice();
        QCOMPARE(tray.lastBalloonText(), notice);
        // With a window open, a later start brings it to the front instead, even from the minimised state.
        tray.aboutAction()->trigger();
        QPointer<AboutWindow> about(tray.aboutWindow());
        QVERIFY(about && about->isVisible() && !tray.aboutAction()->isEnabled());
        about->showMinimized();
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);
        tray.Show_Already_Running();
        QVERIFY(!(about->windowState() & Qt::WindowMinimized) && tray.lastBalloonText() == notice);
        QTRY_COMPARE(QApplication::activeWindow(), about.data());
        QTest::mousePress(about->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
        QVERIFY(tray.aboutAction()->isEnabled() && !tray.aboutWindow() && tray.exitAction()->isEnabled());
        QTRY_VERIFY(about.isNull());
        tray.settingsAction()->trigger();
        QPointer<SettingsWindow> settings(tray.settingsWindow());
        QVERIFY(settings && settings->isVisible() && !tray.settingsAction()->isEnabled());
        settings->close();
        QVERIFY(tray.settingsAction()->isEnabled() && !tray.settingsWindow());
        QTRY_VERIFY(settings.isNull());
        tray.settingsAction()->trigger(); // left open until the exit
        auto *period = tray.settingsWindow()->findChild<QComboBox *>("periodBox");
        period->setCurrentText(inLanguage("Once a week", "1 раз в неделю"));
        const auto askExit = [&tray] { tray.exitAction()->trigger(); };
        BoxAnswerer answerer({QMessageBox::No});
        QCOMPARE(runEventLoopAfter(askExit, 1000), 42); // ended by the test, not by the controller
        // Exit? Yes. Save the settings? Yes. The applied-settings notice: OK.
        for (auto answer : {QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok})
            answerer.queue(answer);
        QCOMPARE(runEventLoopAfter(askExit, 10000), 0);
        QCOMPARE(answerer.seen.size(), 4);
        const QString question =
            inLanguage("Do you really want to get out?", "Вы действительно хотите выйти?");
        QCOMPARE(answerer.seen[0].text + answerer.seen[1].text, question + question);
        QCOMPARE(answerer.seen[0].pressed + answerer.seen[1].pressed, inLanguage("&No&Yes", "НетДа"));
        QCOMPARE(answerer.seen[2].text + answerer.seen[2].pressed,
                 QString("Сохранить настройки перед выходом?Да"));
        QVERIFY(settingsStore()->value("Timer/Timeout").toInt() == 7 && tray.checkPeriod() == 7);
    }

    void closingUpdateListRestartsOnlyAfterSelfUpdate() {
        QTemporaryDir base;
        const QString folder = base.path() + "/Program Files/Quillon app"; // spaces in the path
        const QString program = folder + "/" + Platform::programFileName();
        const QString old = folder + "/" + Platform::oldProgramFileName();
        const QString script = folder + "/" + Platform::cleanupScriptName(), marker = folder + "/restarted";
        // The "new program" only marks that it was started and found the folder free.
        const QString body =
            QString("#!/bin/sh\nflock -n '%1/Quillon.lock' touch '%2'\n").arg(folder, marker);
        QVERIFY(writeTestFile(program, body.toUtf8()));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        MainTrayIcon tray;
        tray.setProgramFilePath(program);
        const auto closeList = [&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); };
        QCOMPARE(runEventLoopAfter(closeList, 500), 42); // no old program beside it: back to idle only
        QVERIFY(!QFile::exists(script) && !QFile::exists(marker) && shows(tray, ":/TrayIcon.ico", true));
        // After a self-update: the script written, the folder let go, the new program started, the tray quit.
        QVERIFY(writeTestFile(old, "old build") && Platform::claimProgramFolder(folder));
        QCOMPARE(runEventLoopAfter(closeList, 5000), 0);
        QCOMPARE(readTestFile(script), Platform::cleanupScriptText(QDir::toNativeSeparators(old)));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    }

    void titleWindows() {
        AboutWindow about;
        WelcomeWindow welcome(&selfDestroy);
        const QRect title(18, 95, 291, 301), header(10, 5, 591, 81);
        const QList<QList<QRect>> layouts{
            {title, header, {330, 95, 301, 311}, {510, 430, 80, 24}},
            {title, header, {320, 95, 271, 301}, {340, 420, 121, 24}, {470, 420, 121, 24}}};
        for (QWidget *window : std::initializer_list<QWidget *>{&about, &welcome}) {
            QVERIFY(window->size() == QSize(615, 467) && window->minimumSize() == window->maximumSize());
            QVERIFY(window->windowTitle() == "Quillon" && (window->windowFlags() & 0xFFF) == 0x103);
            QList<QRect> boxes; // the pictures, then the named boxes
            QStringList buttons;
            for (QWidget *box : window->findChildren<QWidget *>()) {
                auto *label = qobject_cast<QLabel *>(box);
                if ((label && !label->pixmap().isNull()) || !box->objectName().isEmpty())
                    boxes << box->geometry();
                if (auto *button = qobject_cast<QPushButton *>(box))
                    buttons << button->text();
            }
            QCOMPARE(boxes, layouts[window == &welcome]);
            QCOMPARE(buttons.join('|'), window == &about ? inLanguage("Close", "Закрыть")
                                                         : inLanguage("Install later|Run install",
                                                                      "Установить позже|Начать установку"));
        }
        QCOMPARE(about.objectName(), inLanguage("About", "О программе"));
        auto *aboutText = about.findChild<QLabel *>("aboutText");
        QCOMPARE(aboutText->textInteractionFlags(),
                 Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        const QStringList sites{"mailto:support@brightfen.example", "https://iot.brightfen.example",
                                "https://fleet.brightfen.example", "https://www.brightfen.example"};
        const auto link = [&sites](int i) { // the bare address is shown
            return QString("<a href=\"%1\">%2</a>").arg(sites[i], sites[i].section(':', 1).remove("//"));
        };
        QCOMPARE(
            aboutText->text().split("<br>"),
            (QStringList{
                "", inLanguage("Software version 1.0.", "Версия программного обеспечения 1.1.6."), "",
                inLanguage("Questions on technical support", "Вопросы по технической поддержке"),
                inLanguage("can be sent to the mail:", "вы можете задать на почту:"), link(0) + ".", "",
                inLanguage("IoT product website", "Сайт продукции IoT"), link(1),
                inLanguage("Transport monitoring product website", "Сайт продукции мониторинга транспорта"),
                link(2), inLanguage("Main website", "Основоной сайт"), link(3)}));
        auto *welcomeText = welcome.findChild<QLabel *>("welcomeText");
        QCOMPARE(welcomeText->alignment(), Qt::Alignment(Qt::AlignTop));
        const QStringList lines = welcomeText->text().split('\n');
        const QFontMetrics metrics(welcomeText->font()); // no line is clipped by the fixed box
        for (const QString &line : lines)
            QVERIFY2(metrics.horizontalAdvance(line) <= welcomeText->width(), qPrintable(line));
        QCOMPARE(lines.size(), inRussian() ? 20 : 17);
        QCOMPARE(lines[0] + lines[1],
                 inLanguage("Welcome to the Quillon software manager.",
                            "Вас приветствует менеджер программногообеспечения \"Quillon\"."));
        QCOMPARE(lines.at(inRussian() ? 7 : 9), QString());
        QCOMPARE(lines.at(inRussian() ? 15 : 10), inLanguage("Click \"Start installation\" to start",
                                                             "\"Установить позже\" для установки в любое"));
        QCOMPARE(lines.last(), inLanguage("of this program.", "загрузки данной программы."));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("mailto", &catcher, "open");
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        QSignalSpy closed(&about, &AboutWindow::Close_About);
        about.show();
        QApplication::setActiveWindow(&about);
        QVERIFY(QTest::qWaitForWindowActive(&about));
        aboutText->setFocus();
        // The links are reached with Tab and followed with Enter, in the text's order.
        for (int link = 0; link < 4; ++link) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        }
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.opened, QUrl::fromStringList(sites));
        QTest::mousePress(about.findChild<QPushButton *>("closeButton"), Qt::LeftButton); // no release
        QVERIFY(closed.count() == 1 && !about.isVisible());
        about.show();
        QVERIFY(!about.close()); // the title-bar close only hides it
        QVERIFY(closed.count() == 2 && !about.isVisible());

        // The welcome window starts on a click, not a press; Later (a press) and the title bar leave without
        // starting; it is handed back once, whatever still arrives before its deletion.
        for (const QString way : {"start", "later", "title bar"}) {
            handedBack.clear();
            QPointer<WelcomeWindow> window = new WelcomeWindow(&selfDestroy);
            window->show();
            QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
            auto *start = window->findChild<QPushButton *>("startButton");
            if (way == "start") {
                QTest::mousePress(start, Qt::LeftButton);
                QCOMPARE(started.count(), 0);
                QTest::mouseRelease(start, Qt::LeftButton);
            } else if (way == "later") {
                QTest::mousePress(window->findChild<QPushButton *>("laterButton"), Qt::LeftButton);
            } else {
                QVERIFY(!window->close());
            }
            QVERIFY2(!window->isVisible() && handedBack == QList<WelcomeWindow *>{window}, qPrintable(way));
            QMetaObject::invokeMethod(window, "Push_Ok_Button");
            window->close();
            QVERIFY(started.count() == int(way == "start") && handedBack.size() == 1);
            QTRY_VERIFY(window.isNull());
        }
    }
    void timeLabelAndLogRows() {
        InstallContext context;
        ProgressBarWindow window(&context);
        QCOMPARE(window.size(), QSize(615, 467));
        QCOMPARE(textOf(&window, "statusLabel") + "|" +
                     window.findChild<QPushButton *>("cancelButton")->text(),
                 inLanguage("Joining the server...|Cancel", "Присоединение к серверу...|Отмена"));
        QVERIFY(textOf(&window, "timeLabel").isEmpty());
        const auto call = [&window](const char *slot, auto... arguments) {
            return QMetaObject::invokeMethod(&window, slot, arguments...);
        };
        QVERIFY(call("Set_Size_All_Soft", Q_ARG(int, 122000000)) &&
                call("Set_Size_All_Soft", Q_ARG(int, 61000000)));
        // 1000000 bytes in a tick are 8 Mbps, at which 61000000 bytes take 61 s; over 3600 s shows as none.
        // {bytes counted, then ticks, and the label: elapsed min and sec, remaining min and sec, speed}
        for (const auto &[bytes, ticks, time, speed] :
             std::initializer_list<std::tuple<QList<int>, int, QString, const char *>>{
                 {{400000, 600000}, 1, "00 01 01 01", "8.000"},
                 {{}, 1, "00 02 00 00", "0.000"},
                 {{}, 87, "01 29 00 00", "0.000"},
                 {{1000000}, 1, "01 30 01 01", "8.000"},
                 {{61000000 / 3600 - 5}, 1, "01 31 00 00", "0.136"}, // 3601.2 s: none
                 {{61000000 / 3600 + 1}, 1, "01 32 59 59", "0.136"}, // 3599.8 s, truncated
                 {{61000000 / 3600}, 1, "01 33 60 00", "0.136"}}) {  // 3600.09 s: still shown
            for (int size : bytes)
                QVERIFY(call("Counter", Q_ARG(int, size)));
            for (int i = 0; i < ticks; ++i)
                QVERIFY(call("Update_Timer_Label"));
            const QStringList t = time.split(' ');
            QCOMPARE(textOf(&window, "timeLabel"),
                     inLanguage("Elapsed: %1 min %2 sec\nRemaining approximately: %3 min %4 sec\n"
                                "Download speed: %5 Mbps",
                                "Прошло: %1 мин %2 сек\nОсталось примерно: %3 мин %4 сек\n"
                                "Cкорость загрузки: %5 Мбит/сек")
                         .arg(t[0], t[1], t[2], t[3], speed));
        }
        for (const auto &[name, state] : std::initializer_list<std::pair<QString, int>>{
                 {"C:/Apps/LoRa/Tool/readme.txt", 1}, {"Downloading Brightfen Console", 0}, {"plain.txt", 1}})
            QVERIFY(call("Update_Log", Q_ARG(QString, name), Q_ARG(int, state)));
        QCOMPARE(logRows(&window),
                 (QStringList{inLanguage("Component readme.txt loaded", "Компонент readme.txt загружен"),
                              "Downloading Brightfen Console",
                              inLanguage("Component plain.txt loaded", "Компонент plain.txt загружен")}));
        // The two archives are only unpacked by hand: no folder is recorded for them.
        for (const QString key : {"Brightfen Alerter", "Brightfen Clocksync", "Brightfen Console"}) {
            settingsStore()->setValue("Path/" + key, QString());
            QVERIFY(call("Write_Path_in_Settings", Q_ARG(QString, key), Q_ARG(QString, "/opt/" + key)));
            QCOMPARE(settingsStore()->value("Path/" + key).toString(),
                     key.endsWith("Console") ? "/opt/" + key : "");
        }
    }

    void runEndings_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("status"); // how the status line starts when the wizard is told to close
        QTest::addColumn<bool>("threadEndedFirst");
        QTest::addColumn<QStringList>("box");
        QTest::newRow("complete") << "complete" << QString() /* any */ << true
                                  << QStringList{"Complete!",
                                                 inLanguage("The updates have been successfully installed!",
                                                            "Процесс установки завершен!")};
        QTest::newRow("cancel") << "cancel" << inLanguage("Stopping the download...", "Остановка загрузки...")
                                << true << QStringList();
        QTest::newRow("wizard closed")
            << "close" << inLanguage("Downloading...", "Загрузка...") << false << QStringList();
        QTest::newRow("refused three times")
            << "refused"
            << inLanguage("Attempting to join the server...", "Попытка присоединение к серверу...") << true
            << QStringList{
                   "Error!",
                   inLanguage("Failed to connect to the server!\nTry installing the software later or use "
                              "the offline installer.",
                              "Не удалось подключится к серверу!\nПопрбуйте установить ПО позже или "
                              "воспользуйтесь офлайн установщиком")};
        // A publisher key is set and the server has no signed manifest: refused before any file, no retry.
        QTest::newRow("not signed") << "unsigned" << QString() << true
                                    << QStringList{"Error!", PublisherTrust::refusedText(inRussian())};
    }
    // A complete run records its folder, then runs the installers in turn; the others stop it midway.
    void runEndings() {
        QFETCH(QString, ending);
        const bool complete = ending == "complete";
        QTemporaryDir tree, local;
        const QString download = tree.path() + remoteRoot, marks = local.filePath("marks");
        const QString drivers = local.filePath("program/Drivers"), meter = "Path/Brightfen Meter";
        // 40 MB served 1 KB per read: the run is still fetching it when the test stops it.
        const QByteArray bytes(complete ? 300000 : 40 << 20, 'b');
        QVERIFY(writeTestFile(download + "Brightfen Meter/big.bin", bytes));
        // Installers: scripts named like Windows ones that note their start and their end; one cannot start.
        for (const QString installer : {"CP210x/x64/cp210x-setup.exe", "MSVC/vc_redist.exe"}) {
            const QByteArray note = "echo " + installer.toUtf8() + " >> '" + marks.toUtf8() + "'\n";
            QVERIFY(writeTestFile(download + installer, "#!/bin/sh\n" + note + "sleep 0.5\n" + note));
            QVERIFY(QFile::setPermissions(download + installer, QFile::ReadOwner | QFile::ExeOwner));
        }
        QVERIFY(writeTestFile(download + "MCP2200/setup.exe", "not a program"));
        auto server = std::make_unique<AsyncsshServer>(tree.path(), QStringList{"--max-read", "1024"});
        QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
        pointSettingsAt(*server);
        if (ending == "refused")
            server.reset(); // its port now refuses connections
        if (ending == "unsigned")
            settingsStore()->setValue(
                PublisherTrust::keySetting,
                "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIFKx0nxFdeKEXq/DSdZFd+aZcA4aVoh47Jiw2IM7y/sM");
        auto removeKey = qScopeGuard([] { settingsStore()->remove(PublisherTrust::keySetting); });
        settingsStore()->setValue(meter, QString());
        InstallContext context;
        context.selectedLoRa.insert("Brightfen Meter", true);
        for (const char *driver : {"CP210x", "MCP2200", "MSVC"})
            context.selectedDrivers.insert(driver, complete);
        context.groupFolders = {{"LoRa", local.filePath("LoRa")}, {"Drivers", drivers}};
        QDir::setCurrent(local.path()); // its "LogFile.log"
        // The controller's part: tears the wizard down as the tray does, noting the moment.
        struct Controller : QObject {
            InstallWizard wizard;
            QPointer<QThread> thread;
            int teardowns = 0;
            bool threadEndedFirst = false;
            QString status;
            void tearDown() {
                ++teardowns;
                threadEndedFirst = !thread || thread->isFinished();
                status = textOf(wizard.progressPage, "statusLabel");
                destroyInstallWizard(wizard);
            }
        } tray;
        tray.wizard = buildInstallWizard(&context);
        connectInstallWizardTeardown(tray.wizard, &tray, &Controller::tearDown);
        QPointer<ProgressBarWindow> progress = tray.wizard.progressPage;
        // The box comes once everything before it is done: every row, and the drivers folder gone.
        BoxAnswerer boxes({QMessageBox::Ok}, [&progress, &drivers] {
            return logRows(progress) << (QDir(drivers).exists() ? "folder left" : "folder gone");
        });
        tray.wizard.container->show(); // then Install, as the folder page's button does
        QVERIFY(QMetaObject::invokeMethod(tray.wizard.pathPage, "Push_Next_Button"));
        tray.thread = progress->runThread();
        QVERIFY(progress->isVisible() && tray.thread);
        auto *cancel = progress->findChild<QPushButton *>("cancelButton");
        if (complete) { // the first installer is seen running alone, the event loop going on
            QTRY_COMPARE_WITH_TIMEOUT(readTestFile(marks).count('\n'), 1, 30000);
            QVERIFY(!cancel->isEnabled());
            QCOMPARE(progress->findChild<QProgressBar *>("progressBar")->value(), 100);
        } else if (ending != "refused" && ending != "unsigned") {
            QTRY_VERIFY_WITH_TIMEOUT(
                textOf(progress, "statusLabel").startsWith(inLanguage("Downloading...", "Загрузка...")),
                20000);
        }
        if (ending == "cancel")
            QTest::mousePress(cancel, Qt::LeftButton); // the window waits for the run's end, events going on
        if (ending == "close")
            tray.wizard.container->close(); // the title-bar button does not wait for the run
        QTRY_COMPARE_WITH_TIMEOUT(tray.teardowns, 1, 30000);
        const QStringList logLines = logFileLines();
        QDir::setCurrent(work.path());
        QFETCH(QString, status);
        QVERIFY2(tray.status.startsWith(status), qPrintable(tray.status));
        QTEST(tray.threadEndedFirst, "threadEndedFirst");
        QCOMPARE(int(connectFailures), 0); // a later wizard gets its own three attempts
        if (ending == "cancel" && progress)
            QTest::mouseRelease(cancel, Qt::LeftButton); // pressed, not clicked: nothing more happens
        QTRY_VERIFY(progress.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(tray.thread.isNull(), 10000); // let go: it ended and deleted itself
        QTest::qWait(100);
        QCOMPARE(tray.teardowns, 1);
        QTEST(boxes.titles() + boxes.texts(), "box");
        QCOMPARE(readTestFile(local.filePath("LoRa/Brightfen Meter/big.bin")),
                 complete ? bytes : "<missing>");
        QCOMPARE(settingsStore()->value(meter).toString(),
                 complete ? local.filePath("LoRa/Brightfen Meter") : "");
        if (!complete)
            return;
        const QStringList notes = QString(readTestFile(marks)).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(notes.size() == 4 && notes[0] == notes[1] && notes[2] == notes[3] && notes[0] != notes[2],
                 qPrintable(notes.join(", "))); // one after the other
        QCOMPARE(context.driverInstallers.size(), 3);
        QStringList rows, state = boxes.seen.first().state;
        for (const QString &path : context.driverInstallers)
            rows << path + inLanguage(" installed", " установлен");
        QVERIFY(rows.first().startsWith(drivers + "/"));
        QCOMPARE(state.mid(state.size() - 4), rows << "folder gone");
        QVERIFY(state.contains(inLanguage("Component big.bin loaded", "Компонент big.bin загружен")));
        QVERIFY2(logLines.filter("] - Error start installer - " + drivers + "/MCP2200/setup.exe: ").size() ==
                     1,
                 qPrintable(logLines.join('\n')));
    }
};

QUILLON_TEST_MAIN(TrayTest)
#include "tst_tray.moc"
