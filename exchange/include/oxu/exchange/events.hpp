#pragma once
// A small structured event facade: level, target, message and named fields.
//
// The libraries emit diagnostic events through OXU_EVENT. With no consumer
// installed (the bench installs none) an event costs one relaxed atomic
// load: its fields are not even built.
//
//   OXU_EVENT(events::Level::Debug, "oxu_exchange", "assembled point-to-point exchange",
//             {"sender_logical", sender}, {"count", count});

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace oxu::exchange::events {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

using FieldValue = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, std::string,
                                std::vector<std::uint64_t>>;

struct Field {
  template <std::unsigned_integral T>
  Field(std::string_view field_name, T number) : name(field_name), value(std::uint64_t{number}) {}
  template <std::signed_integral T>
  Field(std::string_view field_name, T number) : name(field_name), value(std::int64_t{number}) {}
  Field(std::string_view field_name, bool flag) : name(field_name), value(flag) {}
  Field(std::string_view field_name, std::string text) : name(field_name), value(std::move(text)) {}
  // Text given as a literal or a view stays text (a literal would otherwise
  // convert to bool).
  Field(std::string_view field_name, const char* text) : name(field_name), value(std::string(text)) {}
  Field(std::string_view field_name, std::string_view text) : name(field_name), value(std::string(text)) {}
  Field(std::string_view field_name, std::span<const std::uint16_t> numbers)
      : name(field_name), value(std::vector<std::uint64_t>(numbers.begin(), numbers.end())) {}
  Field(std::string_view field_name, std::vector<std::uint64_t> numbers)
      : name(field_name), value(std::move(numbers)) {}

  std::string_view name;
  FieldValue value;
};

struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::vector<Field> fields;
};

// A consumer sees every event while installed. Pass nullptr to remove it.
using Consumer = void (*)(const Event&, void* context);
void install_consumer(Consumer consumer, void* context);
[[nodiscard]] bool consumer_installed();
void dispatch(const Event& event);

}  // namespace oxu::exchange::events

#define OXU_EVENT(level, target, message, ...)                                             \
  do {                                                                                     \
    if (::oxu::exchange::events::consumer_installed()) {                                   \
      ::oxu::exchange::events::dispatch(                                                   \
          ::oxu::exchange::events::Event{(level), (target), (message), {__VA_ARGS__}});    \
    }                                                                                      \
  } while (false)
