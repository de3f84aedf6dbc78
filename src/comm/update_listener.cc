#include "comm/update_listener.h"

#include <atomic>

namespace cvie {
namespace {
std::atomic<UpdateListener*> g_listener{nullptr};
}  // namespace

UpdateListener* SetUpdateListener(UpdateListener* listener) {
  return g_listener.exchange(listener, std::memory_order_acq_rel);
}

UpdateListener* CurrentUpdateListener() {
  return g_listener.load(std::memory_order_acquire);
}

}  // namespace cvie
