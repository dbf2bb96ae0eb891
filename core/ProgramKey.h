#pragma once
// The key of the program's settings file; a file written under one key reads only under the same key.

#include <QtGlobal>

constexpr quint64 programKey = 0x5143B7E29A1D06F3ULL;
