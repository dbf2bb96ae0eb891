#include "core/Language.h"

#include <QLocale>

QString Current_Language;

QString System_Language() {
    const QString name = QLocale::system().name();
    const char *const russianSpeaking[] = {"ru", "kz", "by", "ua"};
    Current_Language = QStringLiteral("en");
    for (const char *tag : russianSpeaking) {
        if (name.contains(QLatin1String(tag), Qt::CaseInsensitive)) {
            Current_Language = QStringLiteral("ru");
            break;
        }
    }
    return Current_Language;
}

bool localeNameContainsRu() {
    return QLocale::system().name().contains(QLatin1String("ru"), Qt::CaseInsensitive);
}
