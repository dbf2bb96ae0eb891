// The tray controller against a real SFTP server, and the title-frame windows (about, welcome).

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "platform/Platform.h"
#include "support/BoxAnswerer.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "support/TestSettings.h"
#include "support/TestSftpServer.h"
#include "ui/AboutWindow.h"
#include "ui/ListAvailableUpdater.h"
#include "ui/SettingsWindow.h"
#include "ui/StacketWidget.h"
#include "ui/WelcomeWindow.h"

#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

namespace {
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

void checkPicture(const MainTrayIcon &tray, const QString &resource) {
    QCOMPARE(tray.pictureName(), resource);
    QCOMPARE(imageOf(tray.trayIcon()->icon()), imageOf(QIcon(QPixmap(resource))));
}

bool entriesEnabled(const MainTrayIcon &tray) {
    return tray.installAction()->isEnabled() && tray.checkAction()->isEnabled();
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
        // The pictures must differ for the picture checks to mean anything.
        const QImage idle = imageOf(QIcon(QPixmap(":/TrayIcon.ico")));
        QVERIFY(!idle.isNull() && idle != imageOf(QIcon(QPixmap(":/SearchUpdate.ico"))) &&
                idle != imageOf(QIcon(QPixmap(":/Upload.ico"))));
    }
    void init() {
        settingsStore()->setValue("SFTP/port", closedPort);
        settingsStore()->setValue("Timer/Timeout", 1);
    }
    void languageChecksUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"menuAndBalloons", "checkFromMenu", "windowsAndExit",
                                                  "titleWindowsLayoutAndTexts"}));
    }

    void menuAndBalloons() {
        MainTrayIcon tray;
        QStringList texts;
        for (QAction *action : tray.trayMenu()->actions())
            texts << action->text();
        QCOMPARE(texts.join('|'),
                 inLanguage("Install Software|Check updates|Settings|About|Exit",
                            "Установить ПО|Проверить обновления|Настройки|О программе|Выход"));
        QVERIFY(tray.trayIcon()->contextMenu() == tray.trayMenu() && tray.trayIcon()->isVisible());
        QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon"));
        checkPicture(tray, ":/TrayIcon.ico");
        QCOMPARE(tray.checkTimer()->interval(), 86400000);
        QVERIFY(tray.checkTimer()->isActive() && !tray.checkTimer()->isSingleShot());
        tray.Show_Start_Notice();
        QCOMPARE(tray.lastBalloonText(),
                 inLanguage("Right-click the mouse to open the context menu.",
                            "Щелкните правой кнопкой мыши для вызова контекстного меню."));
        tray.Show_Already_Running(); // with no window open
        QCOMPARE(
            tray.lastBalloonText(),
            inLanguage("Quillon is already running. Right-click the mouse to open the context menu.",
                       "Quillon уже запущен. Щелкните правой кнопкой мыши для вызова контекстного меню."));
    }

    void checkFromMenu_data() {
        QTest::addColumn<QByteArray>("installed"); // beside "build 6" on the server; null: no server
        QTest::addColumn<QString>("balloon");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QString>("toolTip");
        const QString checking = "Quillon\nПроверка обновлений..."; // in every language; stays
        QTest::newRow("refused") << QByteArray()
                                 << inLanguage("Failed to join the server",
                                               "Не удалось присоединиться к серверу")
                                 << ":/TrayIcon.ico" << checking;
        QTest::newRow("current") << QByteArray("build 6")
                                 << inLanguage("Updates not found", "Обновления не найдены")
                                 << ":/TrayIcon.ico" << checking;
        QTest::newRow("newer") << QByteArray("build 5")
                               << inLanguage("Updates are available", "Доступны обновления") << ":/Upload.ico"
                               << "Quillon\nДоступны обновления";
    }
    void checkFromMenu() {
        QFETCH(QByteArray, installed);
        QFETCH(QString, picture);
        QTemporaryDir serverTree, installedFolder;
        std::unique_ptr<AsyncsshServer> server;
        settingsStore()->setValue("Path/Brightfen Meter", installedFolder.path());
        if (!installed.isNull()) {
            writeTestFile(serverTree.path() + "/upload/Softwares/For Download/Brightfen Meter/meter.bin",
                          "build 6");
            writeTestFile(installedFolder.filePath("meter.bin"), installed);
            server = std::make_unique<AsyncsshServer>(serverTree.path());
            QVERIFY2(server->isRunning(), qPrintable(server->errorText()));
            pointSettingsAt(*server);
        }
        MainTrayIcon tray;
        for (int round = 0; round < 2; ++round) { // nothing of the first check is kept
            tray.checkAction()->trigger();
            QVERIFY(tray.checkRunning() && !tray.installAction()->isEnabled() &&
                    !tray.checkAction()->isEnabled());
            QCOMPARE(tray.lastBalloonText(), inLanguage("Check updates...", "Проверка обновлений..."));
            checkPicture(tray, ":/SearchUpdate.ico");
            QCOMPARE(tray.trayIcon()->toolTip(), QString("Quillon\nПроверка обновлений..."));
            QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
            QTEST(tray.lastBalloonText(), "balloon");
            QTEST(tray.trayIcon()->toolTip(), "toolTip");
            checkPicture(tray, picture);
            ListAvailableUpdater *list = tray.updateListWindow();
            QCOMPARE(!list, entriesEnabled(tray));
            QCOMPARE(!list, picture == ":/TrayIcon.ico");
            if (!list)
                continue;
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
            QVERIFY(!tray.updateListWindow() && entriesEnabled(tray));
            checkPicture(tray, ":/TrayIcon.ico");
            QTRY_VERIFY(watched.isNull());
            emit tray.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
            QVERIFY(!tray.updateListWindow());
        }
    }

    void dayCountAndBusyTicks() {
        for (const QVariant &period : {QVariant(QString()), QVariant(1)}) { // absent or a day: every tick
            settingsStore()->setValue("Timer/Timeout", period);
            MainTrayIcon tray;
            QCOMPARE(tray.checkPeriod(), period.toInt());
            QCOMPARE(ticks(tray, 3), 3);
            QCOMPARE(tray.daysLeft(), period.toInt());
        }
        settingsStore()->setValue("Timer/Timeout", 7);
        MainTrayIcon tray;
        QCOMPARE(tray.checkPeriod(), 7);
        QCOMPARE(tray.daysLeft(), 7);
        QCOMPARE(ticks(tray, 6), 0);
        QCOMPARE(tray.daysLeft(), 1);
        tray.checkAction()->trigger(); // a check from the menu leaves the count alone
        QTRY_VERIFY_WITH_TIMEOUT(!tray.checkRunning(), 20000);
        // {ticks, checks they start, days left after them}
        for (const auto &[count, checks, left] : std::initializer_list<std::tuple<int, int, int>>{
                 {0, 0, 1}, {1, 1, 7}, {6, 0, 1}, {1, 1, 7}, {5, 0, 2}}) {
            QCOMPARE(ticks(tray, count), checks);
            QCOMPARE(tray.daysLeft(), left);
        }
        // A new period from the settings window starts the count afresh.
        QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 3)));
        QVERIFY(tray.checkPeriod() == 3 && tray.daysLeft() == 3);
        QCOMPARE(ticks(tray, 2), 0);
        QCOMPARE(ticks(tray, 1), 1);
        QCOMPARE(tray.daysLeft(), 3);

        // Due while the wizard is open: the check comes at the first tick after it closed.
        QVERIFY(QMetaObject::invokeMethod(&tray, "SetUp_New_Timeout", Q_ARG(int, 1)));
        tray.Install_Software();
        QVERIFY(!tray.installAction()->isEnabled() && !tray.checkAction()->isEnabled());
        QCOMPARE(ticks(tray, 2), 0);
        QCOMPARE(tray.daysLeft(), -1);
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish") && entriesEnabled(tray));
        QCOMPARE(ticks(tray, 1), 1);
        QCOMPARE(tray.daysLeft(), 1);
        // A tick while a check runs starts no second checker on the same map.
        tray.checkAction()->trigger();
        QVERIFY(QMetaObject::invokeMethod(&tray, "Timer_Counting"));
        QCOMPARE(tray.daysLeft(), 0);
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
        QVERIFY(!tray.installWindow() && entriesEnabled(tray));
        QTRY_VERIFY(wizard.isNull());
        tray.Install_Software();
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish"));
        QVERIFY(QMetaObject::invokeMethod(&tray, "Install_Software_Finish")); // asking twice is harmless
        QVERIFY(!tray.installWindow() && entriesEnabled(tray));

        // A later start brings an open window to the front, even from the minimised state, without a balloon.
        tray.aboutAction()->trigger();
        QPointer<AboutWindow> about(tray.aboutWindow());
        QVERIFY(about && about->isVisible() && !tray.aboutAction()->isEnabled());
        tray.Show_Start_Notice();
        const QString startNotice = tray.lastBalloonText();
        about->showMinimized();
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);
        tray.Show_Already_Running();
        QVERIFY(!(about->windowState() & Qt::WindowMinimized));
        QTRY_COMPARE(QApplication::activeWindow(), about.data());
        QCOMPARE(tray.lastBalloonText(), startNotice);
        QTest::mousePress(about->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
        QVERIFY(tray.aboutAction()->isEnabled() && !tray.aboutWindow() && tray.exitAction()->isEnabled());
        QTRY_VERIFY(about.isNull());

        for (int round = 0; round < 2; ++round) { // closed, then left open until the exit
            tray.settingsAction()->trigger();
            QPointer<SettingsWindow> settings(tray.settingsWindow());
            QVERIFY(settings && settings->isVisible() && !tray.settingsAction()->isEnabled());
            if (round == 1)
                break;
            settings->close();
            QVERIFY(tray.settingsAction()->isEnabled() && !tray.settingsWindow());
            QTRY_VERIFY(settings.isNull());
        }
        tray.settingsWindow()
            ->findChild<QComboBox *>("periodBox")
            ->setCurrentText(inLanguage("Once a week", "1 раз в неделю"));
        const auto askExit = [&tray] { tray.exitAction()->trigger(); };
        {
            BoxAnswerer answerer({QMessageBox::No});
            QCOMPARE(runEventLoopAfter(askExit, 1000), 42); // ended by the test, not by the controller
            QCOMPARE(answerer.texts(), QStringList{inLanguage("Do you really want to get out?",
                                                              "Вы действительно хотите выйти?")});
            QCOMPARE(answerer.seen.first().pressed, inLanguage("&No", "Нет"));
        }
        // Exit? Yes. Save the settings? Yes. The applied-settings notice: OK.
        BoxAnswerer answerer({QMessageBox::Yes, QMessageBox::Yes, QMessageBox::Ok});
        QCOMPARE(runEventLoopAfter(askExit, 10000), 0);
        QCOMPARE(answerer.seen.size(), 3);
        QCOMPARE(answerer.seen.at(0).pressed, inLanguage("&Yes", "Да"));
        QCOMPARE(answerer.seen.at(1).text, QString("Сохранить настройки перед выходом?"));
        QCOMPARE(answerer.seen.at(1).pressed, QString("Да"));
        QVERIFY(settingsStore()->value("Timer/Timeout").toInt() == 7 && tray.checkPeriod() == 7);
    }

    void closingUpdateListRestartsOnlyAfterSelfUpdate() {
        QTemporaryDir base;
        const QString folder = base.path() + "/Program Files/Quillon app"; // spaces in the path
        const QString program = folder + "/" + Platform::programFileName();
        const QString old = folder + "/" + Platform::oldProgramFileName();
        const QString script = folder + "/" + Platform::cleanupScriptName(), marker = folder + "/restarted";
        // The "new program" only marks that it was started and found the folder free.
        QVERIFY(writeTestFile(
            program,
            QString("#!/bin/sh\nflock -n '%1/Quillon.lock' touch '%2'\n").arg(folder, marker).toUtf8()));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        MainTrayIcon tray;
        tray.setProgramFilePath(program);
        const auto closeList = [&tray] { QMetaObject::invokeMethod(&tray, "Delete_Updates_Window"); };
        QCOMPARE(runEventLoopAfter(closeList, 500), 42); // no old program beside it: back to idle only
        QVERIFY(!QFile::exists(script) && !QFile::exists(marker) && entriesEnabled(tray));
        checkPicture(tray, ":/TrayIcon.ico");
        // After a self-update: the script is written, the folder let go, the new program started, the tray
        // quits.
        QVERIFY(writeTestFile(old, "old build") && Platform::claimProgramFolder(folder));
        QCOMPARE(runEventLoopAfter(closeList, 5000), 0);
        QCOMPARE(readTestFile(script), Platform::cleanupScriptText(QDir::toNativeSeparators(old)));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        // The script does what the next start relies on: the old file goes, then the script itself.
        QStringList arguments;
        QCOMPARE(QProcess::execute(Platform::cleanupScriptProgram(script, &arguments), arguments), 0);
        QVERIFY(!QFile::exists(old) && !QFile::exists(script));
    }

    void titleWindowsLayoutAndTexts() {
        AboutWindow about;
        WelcomeWindow welcome(&selfDestroy);
        for (QWidget *window : std::initializer_list<QWidget *>{&about, &welcome}) {
            QVERIFY(window->size() == QSize(615, 467) && window->minimumSize() == window->maximumSize());
            QCOMPARE(window->windowTitle(), QString("Quillon"));
            QCOMPARE(int(window->windowFlags() & 0xFFF), 0x103);
            QList<QRect> pictures; // the title picture and the header
            for (QLabel *label : window->findChildren<QLabel *>())
                if (!label->pixmap().isNull())
                    pictures << label->geometry();
            QCOMPARE(pictures, (QList<QRect>{QRect(18, 95, 291, 301), QRect(10, 5, 591, 81)}));
        }
        struct Box {
            QWidget *window;
            const char *name;
            QRect geometry;
            const char *english = nullptr, *russian = nullptr; // a button's text
        };
        for (const Box &box :
             {Box{&about, "aboutText", QRect(330, 95, 301, 311)},
              Box{&about, "closeButton", QRect(510, 430, 80, 24), "Close", "Закрыть"},
              Box{&welcome, "welcomeText", QRect(320, 95, 271, 301)},
              Box{&welcome, "laterButton", QRect(340, 420, 121, 24), "Install later", "Установить позже"},
              Box{&welcome, "startButton", QRect(470, 420, 121, 24), "Run install", "Начать установку"}}) {
            auto *widget = box.window->findChild<QWidget *>(box.name);
            QCOMPARE(widget->geometry(), box.geometry);
            if (box.english)
                QCOMPARE(qobject_cast<QPushButton *>(widget)->text(), inLanguage(box.english, box.russian));
        }
        QCOMPARE(about.objectName(), inLanguage("About", "О программе"));
        auto *aboutText = about.findChild<QLabel *>("aboutText");
        QVERIFY(Qt::mightBeRichText(aboutText->text()));
        QCOMPARE(aboutText->textInteractionFlags(),
                 Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        const QStringList rows = aboutText->text().split("<br>");
        QCOMPARE(rows.size(), 13);
        QCOMPARE(rows.at(0) + rows.at(2) + rows.at(6), QString());
        QCOMPARE(rows.at(1), inLanguage("Software version 1.0.", "Версия программного обеспечения 1.1.6."));
        QCOMPARE(rows.at(3),
                 inLanguage("Questions on technical support", "Вопросы по технической поддержке"));
        QCOMPARE(rows.at(4), inLanguage("can be sent to the mail:", "вы можете задать на почту:"));
        QCOMPARE(rows.at(9),
                 inLanguage("Transport monitoring product website", "Сайт продукции мониторинга транспорта"));
        QCOMPARE(rows.at(11), inLanguage("Main website", "Основоной сайт"));
        QCOMPARE(rows.at(5),
                 QString("<a href=\"mailto:support@brightfen.example\">support@brightfen.example</a>."));
        const QStringList hosts{"iot", "fleet", "www"}; // the bare host name is shown
        for (int i = 0; i < 3; ++i)
            QCOMPARE(
                rows.at(8 + 2 * i),
                QString("<a href=\"https://%1.brightfen.example\">%1.brightfen.example</a>").arg(hosts[i]));

        auto *welcomeText = welcome.findChild<QLabel *>("welcomeText");
        QCOMPARE(welcomeText->alignment(), Qt::Alignment(Qt::AlignTop));
        const QStringList lines = welcomeText->text().split('\n');
        const QFontMetrics metrics(welcomeText->font()); // no line is clipped by the fixed box
        for (const QString &line : lines)
            QVERIFY2(metrics.horizontalAdvance(line) <= welcomeText->width(), qPrintable(line));
        QCOMPARE(lines.size(), inRussian() ? 20 : 17);
        QCOMPARE(lines.at(0), inLanguage("Welcome to the Quillon", "Вас приветствует менеджер программного"));
        QCOMPARE(lines.at(1), inLanguage(" software manager.", "обеспечения \"Quillon\"."));
        QCOMPARE(lines.at(inRussian() ? 7 : 9), QString());
        QCOMPARE(lines.at(inRussian() ? 15 : 10), inLanguage("Click \"Start installation\" to start",
                                                             "\"Установить позже\" для установки в любое"));
        QCOMPARE(lines.last(), inLanguage("of this program.", "загрузки данной программы."));
    }

    void aboutLinksOpenAndTitleWindowsLeaveOnce() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("mailto", &catcher, "open");
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        AboutWindow about;
        QSignalSpy closed(&about, &AboutWindow::Close_About);
        about.show();
        QApplication::setActiveWindow(&about);
        QVERIFY(QTest::qWaitForWindowActive(&about));
        about.findChild<QLabel *>("aboutText")->setFocus();
        for (int link = 0; link < 4;
             ++link) { // reached with Tab and followed with Enter, in the text's order
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        }
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(
            catcher.opened,
            (QList<QUrl>{QUrl("mailto:support@brightfen.example"), QUrl("https://iot.brightfen.example"),
                         QUrl("https://fleet.brightfen.example"), QUrl("https://www.brightfen.example")}));
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
            QCOMPARE(started.count(), int(way == "start"));
            QCOMPARE(handedBack.size(), 1);
            QTRY_VERIFY(window.isNull());
        }
    }
};

QTEST_MAIN(TrayTest)
#include "tst_tray.moc"
