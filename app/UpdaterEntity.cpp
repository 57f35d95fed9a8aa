// The upgrade command set, host side.
#include "app/UpdaterEntity.h"
