// Tests of the language rule under real system locales, each in a child process of its own
// since the system locale is read once per process.

#include "core/Language.h"

#include <QtTest>

class LanguageTest : public QObject {
    Q_OBJECT

private slots:
    // Each row is named by its locale; the answer is System_Language, Current_Language, the narrow "ru" test.
    void ruleFollowsTheSystemLocale_data() {
        QTest::addColumn<QString>("answer");
        QTest::newRow("ru_RU.UTF-8") << "ru ru 1\n";
        QTest::newRow("kk_KZ.UTF-8") << "ru ru 0\n"; // Kazakhstan
        QTest::newRow("be_BY.UTF-8") << "ru ru 0\n"; // Belarus
        QTest::newRow("uk_UA.UTF-8") << "ru ru 0\n"; // Ukraine
        QTest::newRow("tt_RU.UTF-8") << "ru ru 1\n"; // Tatar in Russia
        QTest::newRow("en_US.UTF-8") << "en en 0\n";
        QTest::newRow("de_DE.UTF-8") << "en en 0\n";
        QTest::newRow("C") << "en en 0\n";
    }
    void ruleFollowsTheSystemLocale() {
        QFETCH(QString, answer);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"answer", QTest::currentDataTag()});
        QVERIFY(child.waitForFinished());
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), answer);
    }
};

int main(int argc, char *argv[]) {
    if (argc == 3 && qstrcmp(argv[1], "answer") == 0) {
        qputenv("LC_ALL", argv[2]);
        qunsetenv("LANGUAGE");
        const QString language = System_Language();
        QTextStream(stdout) << language << ' ' << Current_Language << ' ' << int(localeNameContainsRu())
                            << '\n';
        return 0;
    }
    QCoreApplication app(argc, argv);
    LanguageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_language.moc"
