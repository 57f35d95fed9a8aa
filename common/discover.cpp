#include "common/discover.h"

#include <new>

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = new (std::nothrow) linkSpec();
  if (spec) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) { return new (std::nothrow) linkSpec(spec); }

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}
