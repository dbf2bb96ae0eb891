// The about window: texts in both languages, live links, and how it closes.

#include "support/TestMain.h"
#include "support/TestFiles.h"
#include "support/TestLocale.h"
#include "ui/AboutWindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

class AboutTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { useTestLocale(); }

private slots:
    void windowTextsFollowLanguage();
    void textsUnderRussianLocale() {
        QVERIFY(passesUnderLocale("ru_RU.UTF-8", {"windowTextsFollowLanguage"}));
    }
    void linksOpenInSystemPrograms();
    void closeButtonPressAndTitleBarCloseHideAndTell();
};

void AboutTest::windowTextsFollowLanguage() {
    AboutWindow window;
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowTitle(), QString("Quillon"));
    QCOMPARE(int(window.windowFlags() & 0xFFF), 0x103);
    QCOMPARE(window.objectName(), inRussian() ? QString("О программе") : QString("About"));

    auto *text = window.findChild<QLabel *>("aboutText");
    auto *close = window.findChild<QPushButton *>("closeButton");
    QVERIFY(text && close);
    QCOMPARE(text->geometry(), QRect(330, 95, 301, 311));
    QCOMPARE(close->geometry(), QRect(510, 430, 80, 24));
    QList<QRect> pictures; // the title picture and the header
    for (QLabel *label : window.findChildren<QLabel *>())
        if (!label->pixmap().isNull())
            pictures << label->geometry();
    QCOMPARE(pictures, (QList<QRect>{QRect(18, 95, 291, 301), QRect(10, 5, 591, 81)}));
    QCOMPARE(close->text(), inRussian() ? QString("Закрыть") : QString("Close"));
    QVERIFY(Qt::mightBeRichText(text->text()));
    QCOMPARE(text->textInteractionFlags(),
             Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);

    const QStringList rows = text->text().split("<br>");
    QCOMPARE(rows.size(), 13);
    QCOMPARE(rows.at(0), QString());
    QCOMPARE(rows.at(2), QString());
    QCOMPARE(rows.at(6), QString());
    if (inRussian()) {
        QCOMPARE(rows.at(1), QString("Версия программного обеспечения 1.1.6."));
        QCOMPARE(rows.at(3), QString("Вопросы по технической поддержке"));
        QCOMPARE(rows.at(11), QString("Основоной сайт"));
    } else {
        QCOMPARE(rows.at(1), QString("Software version 1.0."));
        QCOMPARE(rows.at(4), QString("can be sent to the mail:"));
        QCOMPARE(rows.at(9), QString("Transport monitoring product website"));
    }
    QCOMPARE(rows.at(5),
             QString("<a href=\"mailto:support@brightfen.example\">support@brightfen.example</a>."));
    for (int row : {8, 10, 12}) {
        const QRegularExpression anchor("^<a href=\"https://([a-z.]+)\">([a-z.]+)</a>$");
        const QRegularExpressionMatch match = anchor.match(rows.at(row));
        QVERIFY2(match.hasMatch(), qPrintable(rows.at(row)));
        QCOMPARE(match.captured(1), match.captured(2)); // the bare host name is shown
        QVERIFY(match.captured(1).endsWith(".brightfen.example"));
    }
}

void AboutTest::linksOpenInSystemPrograms() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("mailto", &catcher, "open");
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    AboutWindow window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *text = window.findChild<QLabel *>("aboutText");
    text->setFocus();
    // The links are reached with Tab and followed with Enter, in the order of the text.
    for (int link = 0; link < 4; ++link) {
        QTest::keyClick(text, Qt::Key_Tab);
        QTest::keyClick(text, Qt::Key_Return);
    }
    QDesktopServices::unsetUrlHandler("mailto");
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(catcher.opened.size(), 4);
    QCOMPARE(catcher.opened.at(0), QUrl("mailto:support@brightfen.example"));
    QCOMPARE(catcher.opened.at(1).host(), QString("iot.brightfen.example"));
    QCOMPARE(catcher.opened.at(3).host(), QString("www.brightfen.example"));
}

void AboutTest::closeButtonPressAndTitleBarCloseHideAndTell() {
    AboutWindow window;
    QSignalSpy closed(&window, &AboutWindow::Close_About);
    window.show();
    QTest::mousePress(window.findChild<QPushButton *>("closeButton"), Qt::LeftButton); // no release
    QCOMPARE(closed.count(), 1);
    QVERIFY(!window.isVisible());

    window.show();
    QCloseEvent event;
    QApplication::sendEvent(&window, &event);
    QVERIFY(!event.isAccepted());
    QCOMPARE(closed.count(), 2);
    QVERIFY(!window.isVisible());
}

QUILLON_TEST_MAIN(AboutTest)
#include "tst_about.moc"
