#include "common/aLibraryLoad.h"

#include <cstdio>

void* aLibrary_Open(const char* soname, int flags) { return dlopen(soname, RTLD_NOW | flags); }

void aLibrary_Unavailable(const char* feature, const char* missing) {
  const char* why = dlerror();
  std::fprintf(stderr, "%s is unavailable: cannot load %s%s%s\n", feature, missing,
               why ? ": " : "", why ? why : "");
}
