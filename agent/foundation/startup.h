#pragma once

#include <QStringList>

namespace KELStartup {

// True when "--hidden" (exactly, case-sensitive) is among the arguments after the program name.
bool startsHidden(const QStringList& arguments);

// "loglevel" as an integer; absent or not a number gives 0.
int logLevelSetting(const QString& value);

// The whole life of the agent process; returns its exit code.
int runAgent(int argc, char** argv);

} // namespace KELStartup

// Registers the agent's resources (artwork, translations); test programs call it too.
void velloxInitResources();
