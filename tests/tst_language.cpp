// Tests of the language rule under real system locales, each in a child process of its own
// since the system locale is read once per process.

#include "support/TestMain.h"
#include "core/Language.h"

#include <QtTest>

#include <QProcess>

class LanguageTest : public QObject {
    Q_OBJECT

private slots:
    void ruleFollowsTheSystemLocale_data();
    void ruleFollowsTheSystemLocale();

private:
    QString childAnswer(const QByteArray &locale);
};

QString LanguageTest::childAnswer(const QByteArray &locale) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LANGUAGE"));
    environment.remove(QStringLiteral("LC_MESSAGES"));
    environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
    environment.insert(QStringLiteral("LANG"), QString::fromLatin1(locale));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("answer")});
    if (!child.waitForFinished(30000))
        return QStringLiteral("child did not finish");
    return QString::fromUtf8(child.readAllStandardOutput()).trimmed();
}

void LanguageTest::ruleFollowsTheSystemLocale_data() {
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QString>("expected"); // System_Language, Current_Language, narrow "ru" test

    QTest::newRow("Russian") << QByteArray("ru_RU.UTF-8") << "ru ru 1";
    QTest::newRow("Kazakhstan") << QByteArray("kk_KZ.UTF-8") << "ru ru 0";
    QTest::newRow("Belarus") << QByteArray("be_BY.UTF-8") << "ru ru 0";
    QTest::newRow("Ukraine") << QByteArray("uk_UA.UTF-8") << "ru ru 0";
    QTest::newRow("Tatar in Russia") << QByteArray("tt_RU.UTF-8") << "ru ru 1";
    QTest::newRow("English") << QByteArray("en_US.UTF-8") << "en en 0";
    QTest::newRow("German") << QByteArray("de_DE.UTF-8") << "en en 0";
    QTest::newRow("C") << QByteArray("C") << "en en 0";
}

void LanguageTest::ruleFollowsTheSystemLocale() {
    QFETCH(QByteArray, locale);
    QFETCH(QString, expected);
    QCOMPARE(childAnswer(locale), expected);
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("answer")) {
        const bool storedBefore = Current_Language.isEmpty();
        const QString language = System_Language();
        QTextStream(stdout) << language << ' ' << (storedBefore ? Current_Language : QStringLiteral("?"))
                            << ' ' << (localeNameContainsRu() ? 1 : 0) << Qt::endl;
        return 0;
    }
    LanguageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_language.moc"
