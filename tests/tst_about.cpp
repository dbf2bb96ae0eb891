// The about window: texts in both languages, live links, and how it closes.

#include "core/Language.h"
#include "ui/AboutWindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

namespace {
bool russian() {
    return System_Language() == QLatin1String("ru");
}

// Stands in for the system's browser and mail program.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};
} // namespace

class AboutTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void windowTextsFollowLanguage();
    void linksOpenInSystemPrograms();
    void closeButtonActsOnPress();
    void titleBarCloseBehavesLikeCloseButton();
};

void AboutTest::initTestCase() {
    QCOMPARE(System_Language(), qEnvironmentVariable("QUILLON_TEST_LOCALE").isEmpty() ? "en" : "ru");
}

void AboutTest::windowTextsFollowLanguage() {
    AboutWindow window;
    QCOMPARE(window.size(), QSize(615, 467));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowTitle(), QString("Quillon"));
    QCOMPARE(int(window.windowFlags() & 0xFFF), 0x103);
    QCOMPARE(window.objectName(), russian() ? QString("О программе") : QString("About"));

    auto *text = window.findChild<QLabel *>("aboutText");
    auto *close = window.findChild<QPushButton *>("closeButton");
    QVERIFY(text && close);
    QCOMPARE(text->geometry(), QRect(330, 95, 301, 311));
    QCOMPARE(close->geometry(), QRect(510, 430, 80, 24));
    QCOMPARE(close->text(), russian() ? QString("Закрыть") : QString("Close"));
    QCOMPARE(text->textFormat(), Qt::AutoText);
    QVERIFY(Qt::mightBeRichText(text->text()));
    QVERIFY(text->openExternalLinks());
    QCOMPARE(text->textInteractionFlags(),
             Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);

    const QStringList rows = text->text().split("<br>");
    QCOMPARE(rows.size(), 13);
    QCOMPARE(rows.at(0), QString());
    QCOMPARE(rows.at(2), QString());
    QCOMPARE(rows.at(6), QString());
    if (russian()) {
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

void AboutTest::closeButtonActsOnPress() {
    AboutWindow window;
    window.show();
    QSignalSpy closed(&window, &AboutWindow::Close_About);
    QTest::mousePress(window.findChild<QPushButton *>("closeButton"), Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!window.isVisible());
}

void AboutTest::titleBarCloseBehavesLikeCloseButton() {
    AboutWindow window;
    window.show();
    QSignalSpy closed(&window, &AboutWindow::Close_About);
    QCloseEvent event;
    QApplication::sendEvent(&window, &event);
    QVERIFY(!event.isAccepted());
    QCOMPARE(closed.count(), 1);
    QVERIFY(!window.isVisible());
}

static int runTests(int argc, char **argv) {
    QApplication application(argc, argv);
    AboutTest test;
    return QTest::qExec(&test, argc, argv);
}

// The language comes from the system locale, read once per process: this process runs in English and
// runs the text checks again in a child process under a Russian locale.
int main(int argc, char **argv) {
    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
    const QByteArray locale = qgetenv("QUILLON_TEST_LOCALE");
    qputenv("LC_ALL", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    qputenv("LANG", locale.isEmpty() ? QByteArray("en_US.UTF-8") : locale);
    int result = runTests(argc, argv);
    if (!locale.isEmpty() || argc != 1)
        return result;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUILLON_TEST_LOCALE", "ru_RU.UTF-8");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(self, {"windowTextsFollowLanguage"});
    if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        fprintf(stderr, "Run under ru_RU failed\n");
        result = result ? result : 1;
    }
    return result;
}

#include "tst_about.moc"
