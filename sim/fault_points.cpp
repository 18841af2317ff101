// The fault table as tests and runners see it: the rows, and the look-ups by API and class name.
#include <string>
#include <vector>

#include "sim/internal.h"

namespace sim {

const char* FaultClassName(FaultClass cls) {
  static const char* const names[] = {"alloc", "file", "registry", "process", "device"};
  static_assert(sizeof(names) / sizeof(names[0]) == kFaultClassCount, "one name per class");
  return cls >= 0 && cls < kFaultClassCount ? names[cls] : "?";
}

bool FindFaultClass(const std::string& name, FaultClass* cls) {
  for (int c = 0; c < kFaultClassCount; ++c) {
    if (name == FaultClassName(static_cast<FaultClass>(c))) {
      *cls = static_cast<FaultClass>(c);
      return true;
    }
  }
  return false;
}

const std::vector<FaultPoint>& FaultPoints() {
  static const std::vector<FaultPoint> points(std::begin(internal::kFaultPointTable),
                                              std::end(internal::kFaultPointTable));
  return points;
}

bool IsFaultApi(const std::string& api) {
  for (const FaultPoint& point : internal::kFaultPointTable)
    if (api == point.api) return true;
  return false;
}

}  // namespace sim
