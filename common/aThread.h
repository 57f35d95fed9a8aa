// Threads. Every thread created is joined by aThread_Destroy.
#ifndef KORVEX_ATHREAD_H
#define KORVEX_ATHREAD_H

#include "common/aError.h"

struct aThread;
typedef aThread* aThreadRef;
typedef void* (*aThreadProc)(void* arg);

// Starts proc(arg) on a new thread; null on failure.
aThreadRef aThread_Create(aThreadProc proc, void* arg);
// Joins the thread, frees the handle, sets *thread to null. Returns the
// join's own status number (0 on success), not an aErr.
int aThread_Destroy(aThreadRef* thread);
// Sleeps 5 microseconds.
void aThread_Yield(void);

#endif
