#pragma once
// Runs a test process in a chosen system locale and re-runs its language checks under other locales.
//
// The system locale is read once per process, so each locale needs a process of its own. Give the test
// class `static void initMain() { useTestLocale(); }` (QTEST_MAIN calls it before the application
// exists): the process then runs in English, or in the locale a parent run asked for.

#include <QByteArray>
#include <QString>
#include <QStringList>

// Sets LC_ALL and LANG to the locale a parent run asked for, else to en_US.UTF-8.
void useTestLocale();
// The locale this process was started for by a parent run; empty in the first run.
QByteArray testLocale();
// True when started for another locale: every locale passesUnderLocale is given shows Russian texts.
inline bool inRussian() {
    return !testLocale().isEmpty();
}
// The text this process should show.
inline QString inLanguage(const char *english, const char *russian) {
    return QString::fromUtf8(inRussian() ? russian : english);
}
// Runs these test functions of this program in a child process under the locale; true when they all passed.
bool passesUnderLocale(const QByteArray &locale, const QStringList &functions);
