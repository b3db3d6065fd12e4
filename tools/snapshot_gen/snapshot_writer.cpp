#include "snapshot_writer.hpp"

#include <fmt/format.h>

#include <iterator>

namespace oxu::snapshot_gen {
namespace {

std::string_view width_name(codegen::ExchangeItemWidth width) {
  return width == codegen::ExchangeItemWidth::Paired64 ? "Paired64" : "Word32";
}

void write_transfer(fmt::memory_buffer& out, const codegen::ExchangeScheduleTransfer& transfer) {
  auto it = std::back_inserter(out);
  fmt::format_to(it, R"({{"source":{},"source_addresses":[)", transfer.source);
  for (std::size_t i = 0; i < transfer.source_addresses.size(); ++i) {
    fmt::format_to(it, "{}{}", i == 0 ? "" : ",", transfer.source_addresses[i]);
  }
  fmt::format_to(it, R"(],"destinations":[)");
  for (std::size_t i = 0; i < transfer.destinations.size(); ++i) {
    const codegen::ExchangeScheduleDestination& destination = transfer.destinations[i];
    fmt::format_to(it, R"({}{{"tile":{},"address":{}}})", i == 0 ? "" : ",", destination.tile,
                   destination.address);
  }
  fmt::format_to(it, R"(],"words":{},"width":"{}"}})", transfer.words, width_name(transfer.width));
}

}  // namespace

std::string write_snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot) {
  fmt::memory_buffer out;
  auto it = std::back_inserter(out);
  fmt::format_to(it, R"({{"schema_version":{},"tile_count":{},"phases":[)", snapshot.schema_version,
                 snapshot.tile_count);
  for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
    const codegen::ExchangeScheduleProblem& phase = snapshot.phases[p];
    fmt::format_to(it, R"({}{}{{"phase":{},"transfers":[)", p == 0 ? "" : ",", "\n", phase.phase);
    for (std::size_t t = 0; t < phase.transfers.size(); ++t) {
      fmt::format_to(it, "{}\n", t == 0 ? "" : ",");
      write_transfer(out, phase.transfers[t]);
    }
    fmt::format_to(it, "{}]}}", phase.transfers.empty() ? "" : "\n");
  }
  fmt::format_to(it, "{}]}}\n", snapshot.phases.empty() ? "" : "\n");
  return fmt::to_string(out);
}

}  // namespace oxu::snapshot_gen
