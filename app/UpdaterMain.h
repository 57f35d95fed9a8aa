// The whole run of the updater: parse, decide, run, exit code.
#ifndef UPDATER_MAIN_H
#define UPDATER_MAIN_H

int Updater_main(int argc, char* argv[]);

#endif
