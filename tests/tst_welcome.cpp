// The welcome window: its texts in both languages and its three ways out.

#include "app/MainTrayIcon.h"
#include "core/CEncryptedSettings.h"
#include "core/Language.h"
#include "core/ProgramKey.h"
#include "ui/StacketWidget.h"
#include "ui/WelcomeWindow.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QList<WelcomeWindow *> handedBack;

// What start-up gives the window: destroy it later, from the event loop.
void selfDestroy(WelcomeWindow *window) {
    handedBack << window;
    if (window)
        window->deleteLater();
}

bool russian() {
    return System_Language() == QLatin1String("ru");
}
} // namespace

class WelcomeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { handedBack.clear(); }
    void windowTextsAndGeometryFollowLanguage();
    void startEmitsOnceAndLeavesWindow();
    void laterActsOnPressWithoutWizard();
    void closeButtonBehavesLikeLater();
    void startOpensWizardThroughTray();

private:
    QTemporaryDir work;
};

void WelcomeTest::initTestCase() {
    QCOMPARE(System_Language(), qEnvironmentVariable("QUILLON_TEST_LOCALE").isEmpty() ? "en" : "ru");
    QVERIFY(work.isValid());
    QDir::setCurrent(work.path());
    CEncryptedSettings::getInstance(work.filePath("settings.ini"), programKey);
}

void WelcomeTest::windowTextsAndGeometryFollowLanguage() {
    WelcomeWindow window(&selfDestroy);
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowTitle(), QString("Quillon"));
    QCOMPARE(int(window.windowFlags() & 0xFFF), 0x103);
    QVERIFY(!window.isVisible());

    auto *text = window.findChild<QLabel *>("welcomeText");
    auto *later = window.findChild<QPushButton *>("laterButton");
    auto *start = window.findChild<QPushButton *>("startButton");
    QVERIFY(text && later && start);
    QCOMPARE(text->geometry(), QRect(320, 95, 271, 301));
    QCOMPARE(later->geometry(), QRect(340, 420, 121, 24));
    QCOMPARE(start->geometry(), QRect(470, 420, 121, 24));
    QCOMPARE(text->alignment(), Qt::Alignment(Qt::AlignTop));

    const QStringList lines = text->text().split('\n');
    QVERIFY(!text->text().endsWith('\n'));
    const QFontMetrics metrics(text->font()); // no line is clipped by the fixed box
    for (const QString &line : lines)
        QVERIFY2(metrics.horizontalAdvance(line) <= text->width(), qPrintable(line));
    if (russian()) {
        QCOMPARE(later->text(), QString("Установить позже"));
        QCOMPARE(start->text(), QString("Начать установку"));
        QCOMPARE(lines.size(), 20);
        QCOMPARE(lines.at(1), QString("обеспечения \"Quillon\"."));
        QCOMPARE(lines.at(7), QString());
        QCOMPARE(lines.at(15), QString("\"Установить позже\" для установки в любое"));
        QCOMPARE(lines.last(), QString("загрузки данной программы."));
    } else {
        QCOMPARE(later->text(), QString("Install later"));
        QCOMPARE(start->text(), QString("Run install"));
        QCOMPARE(lines.size(), 17);
        QCOMPARE(lines.at(0), QString("Welcome to the Quillon"));
        QCOMPARE(lines.at(1), QString(" software manager."));
        QCOMPARE(lines.at(9), QString());
        QCOMPARE(lines.at(10), QString("Click \"Start installation\" to start"));
        QCOMPARE(lines.last(), QString("of this program."));
    }
}

void WelcomeTest::startEmitsOnceAndLeavesWindow() {
    auto *window = new WelcomeWindow(&selfDestroy);
    QPointer<WelcomeWindow> watched(window);
    window->show();
    QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
    auto *start = window->findChild<QPushButton *>("startButton");
    QTest::mousePress(start, Qt::LeftButton);
    QCOMPARE(started.count(), 0); // acts on the click, not the press
    QTest::mouseRelease(start, Qt::LeftButton);
    QCOMPARE(started.count(), 1);
    QVERIFY(!window->isVisible());
    QCOMPARE(handedBack, QList<WelcomeWindow *>({window}));
    // Whatever still arrives before the deferred deletion does not start a second install.
    QMetaObject::invokeMethod(window, "Push_Ok_Button");
    window->close();
    QCOMPARE(started.count(), 1);
    QCOMPARE(handedBack.size(), 1);
    QTRY_VERIFY(watched.isNull());
}

void WelcomeTest::laterActsOnPressWithoutWizard() {
    auto *window = new WelcomeWindow(&selfDestroy);
    QPointer<WelcomeWindow> watched(window);
    window->show();
    QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
    QTest::mousePress(window->findChild<QPushButton *>("laterButton"), Qt::LeftButton);
    QVERIFY(!window->isVisible()); // before any release
    QCOMPARE(handedBack, QList<WelcomeWindow *>({window}));
    QCOMPARE(started.count(), 0);
    QTRY_VERIFY(watched.isNull());
}

void WelcomeTest::closeButtonBehavesLikeLater() {
    auto *window = new WelcomeWindow(&selfDestroy);
    QPointer<WelcomeWindow> watched(window);
    window->show();
    QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
    QCloseEvent event;
    QApplication::sendEvent(window, &event);
    QVERIFY(!event.isAccepted());
    QVERIFY(!window->isVisible());
    QCOMPARE(handedBack, QList<WelcomeWindow *>({window}));
    QCOMPARE(started.count(), 0);
    QTRY_VERIFY(watched.isNull());
}

void WelcomeTest::startOpensWizardThroughTray() {
    MainTrayIcon tray;
    auto *window = new WelcomeWindow(&selfDestroy);
    connect(window, &WelcomeWindow::Start_Download_Soft, &tray, &MainTrayIcon::Install_Software);
    window->show();
    QTest::mouseClick(window->findChild<QPushButton *>("startButton"), Qt::LeftButton);
    QVERIFY(tray.installWindow());
    QVERIFY(tray.installWindow()->isVisible());
    QVERIFY(!tray.installAction()->isEnabled());
    QVERIFY(!window->isVisible());
    QMetaObject::invokeMethod(&tray, "Install_Software_Finish");
    QVERIFY(tray.installAction()->isEnabled());
}

static int runTests(int argc, char **argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    WelcomeTest test;
    return QTest::qExec(&test, argc, argv);
}

// The language comes from the system locale, read once per process: this process runs in English, then
// the text checks run again in child processes under locales that take the Russian texts.
int main(int argc, char **argv) {
    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath(); // tests change folder
    const QByteArray locale = qgetenv("QUILLON_TEST_LOCALE");
    qputenv("LC_ALL", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    qputenv("LANG", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    int result = runTests(argc, argv);
    if (!locale.isEmpty() || argc != 1)
        return result;
    for (const char *other : {"ru_RU.UTF-8", "be_BY.UTF-8", "uk_UA.UTF-8"}) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QUILLON_TEST_LOCALE", other);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(self, {"windowTextsAndGeometryFollowLanguage"});
        if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0) {
            fprintf(stderr, "Run under %s failed\n", other);
            result = result ? result : 1;
        }
    }
    return result;
}

#include "tst_welcome.moc"
