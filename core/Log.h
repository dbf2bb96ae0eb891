#pragma once
// Appends one time-stamped line to "LogFile.log" in the working folder.

#include <QString>

void Write_Log(QString message);
