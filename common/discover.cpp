#include "common/discover.h"

#include <new>

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* record = new (std::nothrow) linkSpec();
  if (record) record->type = type;
  return record;
}

linkSpec* aLinkSpec_Copy(linkSpec record) { return new (std::nothrow) linkSpec(record); }

aErr aLinkSpec_Destroy(linkSpec** record) {
  if (!record || !*record) return aErrParam;
  delete *record;
  *record = nullptr;
  return aErrNone;
}
