// A background writer: a thread that calls its callback over and over while
// running. The callback paces the loop itself (sleeping when idle).
#ifndef KORVEX_ALOGGER_H
#define KORVEX_ALOGGER_H

#include "common/aError.h"
#include "common/aFile.h"

struct aLogger;
typedef aLogger* aLoggerRef;
typedef void (*aLoggerProc)(aFileRef file, void* context);

// Opens path for appending, unbuffered. The logger starts stopped. Null
// when the file cannot be opened.
aLoggerRef aLogger_Create(void* context, aLoggerProc proc, const char* path);
aErr aLogger_Enable(aLoggerRef logger);
aErr aLogger_Disable(aLoggerRef logger);
aErr aLogger_Destroy(aLoggerRef* logger);

#endif
