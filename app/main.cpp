#include "app/UpdaterMain.h"

int main(int argc, char* argv[]) { return Updater_main(argc, argv); }
