#include <unistd.h>

#include <cstdio>

#include "app/UpdaterMain.h"
#include "common/aServer.h"

int main(int argc, char* argv[]) {
  const int status = Updater_main(argc, argv);
#ifndef UPDATER_ORDINARY_EXIT
  // Every thread has been joined and every stored file committed by now.
  // What exit() would add is the libraries' clean-up of their own tables
  // (the TLS and Kerberos stacks under libcurl free theirs entry by entry),
  // about a millisecond of a download's run. The messaging libraries'
  // shutdown delivers queued messages, so a process that loaded them takes
  // the ordinary exit, as does one whose output cannot be flushed.
  if (!aServer_MessagingLoaded() && std::fflush(nullptr) == 0) _exit(status);
#endif
  return status;
}
