// The welcome window: its texts in both languages and its three ways out.

#include "support/TestMain.h"
#include "support/TestLocale.h"
#include "ui/WelcomeWindow.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {
QList<WelcomeWindow *> handedBack;

// What start-up gives the window: destroy it later, from the event loop.
void selfDestroy(WelcomeWindow *window) {
    handedBack << window;
    if (window)
        window->deleteLater();
}
} // namespace

class WelcomeTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void init() { handedBack.clear(); }
    void windowTextsAndGeometryFollowLanguage();
    void textsUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"windowTextsAndGeometryFollowLanguage"}));
    }
    void startEmitsOnceOnClickAndLeavesWindow();
    void laterPressAndTitleBarCloseLeaveWithoutStarting();
};

void WelcomeTest::windowTextsAndGeometryFollowLanguage() {
    WelcomeWindow window(&selfDestroy);
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowTitle(), QString("Quillon"));
    QCOMPARE(int(window.windowFlags() & 0xFFF), 0x103);

    auto *text = window.findChild<QLabel *>("welcomeText");
    auto *later = window.findChild<QPushButton *>("laterButton");
    auto *start = window.findChild<QPushButton *>("startButton");
    QVERIFY(text && later && start);
    QCOMPARE(text->geometry(), QRect(320, 95, 271, 301));
    QCOMPARE(later->geometry(), QRect(340, 420, 121, 24));
    QCOMPARE(start->geometry(), QRect(470, 420, 121, 24));
    QList<QRect> pictures; // the title picture and the header
    for (QLabel *label : window.findChildren<QLabel *>())
        if (!label->pixmap().isNull())
            pictures << label->geometry();
    QCOMPARE(pictures, (QList<QRect>{QRect(18, 95, 291, 301), QRect(10, 5, 591, 81)}));
    QCOMPARE(text->alignment(), Qt::Alignment(Qt::AlignTop));

    const QStringList lines = text->text().split('\n');
    QVERIFY(!text->text().endsWith('\n'));
    const QFontMetrics metrics(text->font()); // no line is clipped by the fixed box
    for (const QString &line : lines)
        QVERIFY2(metrics.horizontalAdvance(line) <= text->width(), qPrintable(line));
    if (inRussian()) {
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

void WelcomeTest::startEmitsOnceOnClickAndLeavesWindow() {
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

void WelcomeTest::laterPressAndTitleBarCloseLeaveWithoutStarting() {
    for (bool byTitleBar : {false, true}) {
        handedBack.clear();
        auto *window = new WelcomeWindow(&selfDestroy);
        QPointer<WelcomeWindow> watched(window);
        window->show();
        QSignalSpy started(window, &WelcomeWindow::Start_Download_Soft);
        if (byTitleBar) {
            QCloseEvent event;
            QApplication::sendEvent(window, &event);
            QVERIFY(!event.isAccepted());
        } else {
            QTest::mousePress(window->findChild<QPushButton *>("laterButton"), Qt::LeftButton); // no release
        }
        QVERIFY(!window->isVisible());
        QCOMPARE(handedBack, QList<WelcomeWindow *>({window}));
        QCOMPARE(started.count(), 0);
        QTRY_VERIFY(watched.isNull());
    }
}

QUILLON_TEST_MAIN(WelcomeTest)
#include "tst_welcome.moc"
