// Commands for several modules at once: -d with a comma-separated list of
// serial numbers, or -d all (every module a search on the same link, or
// behind the same router, finds). -U and -G -U run in parallel for modules
// on their own links and one after another behind one router; -G, -B, -L
// and -I run for each in turn. Each module's lines carry its serial number;
// on a terminal each module has its own progress line; a summary table
// names every module's outcome at the end.
#ifndef UPDATER_MANY_MODULES_H
#define UPDATER_MANY_MODULES_H

#include "app/CommandLine.h"

class JsonSink;

class Updater;

// -B, -L, -I or -J (by its command bit) for one module; the exit code.
int RunListCommand(UpdaterDisplayInterface& display, Updater& updater, uint32_t bit,
                   const Parameters& params, uint32_t serial);

// The command line names more than one module (or all of them).
bool NamesManyModules(const Parameters& params);

// Runs the requested commands for every module named; the exit code: 1
// when any of them failed.
int RunForManyModules(UpdaterDisplayInterface& display, JsonSink* json, Parameters& params);

#endif
