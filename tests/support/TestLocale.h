#pragma once
// Runs a test process in a chosen system locale and re-runs its language checks under other locales.
//
// The system locale is read once per process, so each locale needs a process of its own. Give the test
// class `static void initMain() { useTestLocale(); }` (QTEST_MAIN calls it before the application
// exists): the process then runs in English, or in the locale a parent run asked for.

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

inline const char testLocaleVariable[] = "QUILLON_TEST_LOCALE";

// The locale this process was started for by a parent run; empty in the first run.
inline QByteArray testLocale() {
    return qgetenv(testLocaleVariable);
}
// Sets LC_ALL and LANG to the locale a parent run asked for, else to en_US.UTF-8.
inline void useTestLocale() {
    const QByteArray locale = testLocale().isEmpty() ? QByteArray("en_US.UTF-8") : testLocale();
    qputenv("LC_ALL", locale);
    qputenv("LANG", locale);
    qunsetenv("LANGUAGE");
}
// True when started for another locale: every locale passesUnderLocale is given shows Russian texts.
inline bool inRussian() {
    return !testLocale().isEmpty();
}
// Runs these test functions of this program in a child process under the locale; true when they all passed.
inline bool passesUnderLocale(const QByteArray &locale, const QStringList &functions) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(testLocaleVariable, QString::fromLatin1(locale));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels); // the child's output goes to this one's
    child.start(QCoreApplication::applicationFilePath(), functions);
    if (!child.waitForFinished(300000)) {
        child.kill();
        child.waitForFinished();
        qWarning("the run under %s did not end", locale.constData());
        return false;
    }
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}
