#include "oxu/exchange/events.hpp"

#include <atomic>

namespace oxu::exchange::events {
namespace {

// The context is stored before the consumer is published, so a dispatch that
// sees a consumer also sees the context that was installed with it.
std::atomic<Consumer> g_consumer{nullptr};
std::atomic<void*> g_context{nullptr};

}  // namespace

void install_consumer(Consumer consumer, void* context) {
  g_consumer.store(nullptr, std::memory_order_release);
  g_context.store(context, std::memory_order_relaxed);
  g_consumer.store(consumer, std::memory_order_release);
}

bool consumer_installed() { return g_consumer.load(std::memory_order_relaxed) != nullptr; }

void dispatch(const Event& event) {
  const Consumer consumer = g_consumer.load(std::memory_order_acquire);
  if (consumer != nullptr) consumer(event, g_context.load(std::memory_order_relaxed));
}

}  // namespace oxu::exchange::events
