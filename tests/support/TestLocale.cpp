#include "TestLocale.h"

#include <QCoreApplication>
#include <QProcess>

namespace {
const char localeVariable[] = "QUILLON_TEST_LOCALE";
}

void useTestLocale() {
    const QByteArray locale = testLocale().isEmpty() ? QByteArray("en_US.UTF-8") : testLocale();
    qputenv("LC_ALL", locale);
    qputenv("LANG", locale);
    qunsetenv("LANGUAGE");
}

QByteArray testLocale() {
    return qgetenv(localeVariable);
}

bool passesUnderLocale(const QByteArray &locale, const QStringList &functions) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(localeVariable, QString::fromLatin1(locale));
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
