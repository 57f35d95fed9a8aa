// The firmware update over the device link (-U).
#include "app/Updater.h"
