#pragma once
// The default "settings.ini", encrypted with the program key at build time.

#include <QByteArray>

QByteArray defaultSettingsContent();
