// Directories and paths. Every call maps the platform's failure onto aErr.
#ifndef KORVEX_ADIRECTORY_H
#define KORVEX_ADIRECTORY_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "common/aError.h"

extern const char* aDIR_PATH_SEP;  // "/"

#define aDIRECTORY_PATH_MAX 2048   // path buffers used inside this layer
#define aFILE_NAME_MAX 4096        // longer file names are refused

// One entry of a directory listing; valid only during the callback.
struct aDirectoryListData {
  char path[aDIRECTORY_PATH_MAX];  // directory and entry name joined
  uint32_t size;                   // low 32 bits of the file size
  bool isDirectory;
};

// Return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* ref);

bool aDirectory_Exists(const char* path);

// Makes path a directory, creating every missing level with mode.
// aErrPermission when a level could not be created.
aErr aDirectory_Ensure(const char* path, mode_t mode);

// Calls proc for each entry ("." and ".." included). aErrNotFound when the
// directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Joins parts with single separators into destination. The part list ends
// with a null pointer; at most 10 parts in all. aErrParam for a null
// destination, a destination that is also a part, or too many parts;
// aErrOverrun when the result does not fit.
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...);
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first,
                         const char* second);

#endif
