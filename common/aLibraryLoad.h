// Libraries the program opens the first time they are needed rather than
// at every start-up, where each library and its own dependencies would add
// to the dynamic linking of every command.
//
// A loader file lists the library's functions with the prototypes of the
// library's own header, in X-macro lists of this form:
//   X(library, result, name, parameters, arguments, failure result)
//   X(library, name, parameters, arguments)          (no result)
// KORVEX_LOAD_LIBRARY makes the rest of a loader of one library from them.
// A loader of its own defines, in an unnamed namespace, `struct Table` (the
// slots, from KORVEX_LOAD_SLOT / KORVEX_LOAD_PROC_SLOT) and `const Table&
// sTable()`, which loads the library once (aLibrary_Once). The forwarders
// (KORVEX_LOAD_FORWARD / KORVEX_LOAD_PROC_FORWARD) then define each function
// under its own name and call the real one; when the library could not be
// loaded they fail as the library reports failure, so callers' ordinary
// error paths run.
#ifndef KORVEX_ALIBRARYLOAD_H
#define KORVEX_ALIBRARYLOAD_H

#include <dlfcn.h>

#include <mutex>

// Opens the library named soname (RTLD_NOW | flags). Null when it cannot be
// opened; aLibrary_Unavailable then says why.
void* aLibrary_Open(const char* soname, int flags);

// One line on standard error: "<feature> is unavailable: cannot load
// <missing>: <why>" (the loader's last error).
void aLibrary_Unavailable(const char* feature, const char* missing);

// Looks name up in the library's own handle, never in this program, which
// defines forwarders of the same names. False when it is missing.
template <typename F>
bool aLibrary_Find(void* library, const char* name, F* slot) {
  void* symbol = library ? dlsym(library, name) : nullptr;
  *slot = reinterpret_cast<F>(symbol);
  return symbol != nullptr;
}

// The table load gives, loaded by the first caller, once.
template <typename Table>
const Table& aLibrary_Once(Table (*load)()) {
  static std::once_flag once;
  static Table table;
  std::call_once(once, [load] { table = load(); });
  return table;
}

#define KORVEX_LOAD_SLOT(lib, result, name, params, args, fail) result(*name) params = nullptr;
#define KORVEX_LOAD_PROC_SLOT(lib, name, params, args) void(*name) params = nullptr;

// Inside a load function with a Table t, a bool all and a const char*
// missing: finds each function in the handle named lib.
#define KORVEX_LOAD_FIND(lib, result, name, ...) \
  if (!aLibrary_Find(lib, #name, &t.name) && all) { all = false; missing = #name; }
#define KORVEX_LOAD_PROC_FIND(lib, name, ...) KORVEX_LOAD_FIND(lib, void, name)

#define KORVEX_LOAD_FORWARD(lib, result, name, params, args, fail) \
  result name params {                                             \
    const Table& t = sTable();                                     \
    if (t.name == nullptr) return fail;                            \
    return t.name args;                                            \
  }
#define KORVEX_LOAD_PROC_FORWARD(lib, name, params, args) \
  void name params {                                      \
    const Table& t = sTable();                            \
    if (t.name != nullptr) t.name args;                   \
  }

// The table, its loading and the forwarders for the library soname whose
// functions FUNCTIONS and PROCEDURES list with the handle name lib; feature
// names what is unavailable without it.
#define KORVEX_LOAD_LIBRARY(FUNCTIONS, PROCEDURES, lib, soname, feature) \
  namespace {                                                          \
  struct Table {                                                       \
    FUNCTIONS(KORVEX_LOAD_SLOT)                                        \
    PROCEDURES(KORVEX_LOAD_PROC_SLOT)                                  \
  };                                                                   \
  Table sLoad() {                                                      \
    Table t;                                                           \
    void* lib = aLibrary_Open(soname, RTLD_LOCAL);                     \
    bool all = lib != nullptr;                                         \
    const char* missing = soname;                                      \
    FUNCTIONS(KORVEX_LOAD_FIND)                                        \
    PROCEDURES(KORVEX_LOAD_PROC_FIND)                                  \
    if (all) return t;                                                 \
    aLibrary_Unavailable(feature, missing);                            \
    return Table();                                                    \
  }                                                                    \
  const Table& sTable() { return aLibrary_Once(sLoad); }               \
  }                                                                    \
  extern "C" {                                                         \
  FUNCTIONS(KORVEX_LOAD_FORWARD)                                       \
  PROCEDURES(KORVEX_LOAD_PROC_FORWARD)                                 \
  }

#endif
