#pragma once
// The language rule of every window and worker: "ru" for Russian-speaking locales, "en" otherwise.

#include <QString>

// The result of the last System_Language() call.
extern QString Current_Language;

QString System_Language();

// The narrower rule some texts use: the locale name contains "ru".
bool localeNameContainsRu();
