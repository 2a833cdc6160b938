#include "bounded.h"

#include <map>

namespace k32l {

std::shared_ptr<Gate> gate_for(std::uint64_t key) {
  static std::mutex mutex;
  static std::map<std::uint64_t, std::shared_ptr<Gate>> gates;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = gates[key];
  if (!slot) slot = std::make_shared<Gate>();
  return slot;
}

}  // namespace k32l
