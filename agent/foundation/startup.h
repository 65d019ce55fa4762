#pragma once

#include <QStringList>

namespace KELStartup {

// True when "--hidden" (exactly, case-sensitive) is among the arguments after the program name.
bool startsHidden(const QStringList& arguments);

// True when "--version" is among the arguments after the program name: the agent then prints
// "vellox <version>" and exits, before anything of the agent starts (no display is needed).
bool asksForVersion(int argc, char** argv);

// "loglevel" as an integer; absent or not a number gives 0.
int logLevelSetting(const QString& value);

// The whole life of the agent process; returns its exit code.
int runAgent(int argc, char** argv);

} // namespace KELStartup

// Registers the agent's resources (artwork, translations); test programs call it too.
void velloxInitResources();
