#pragma once
// Propagation helpers for std::expected results.
//
// libstdc++ 12 has no monadic operations on std::expected, so call sites use
// these two macros to stay flat: one line per fallible call.
//
//   OXU_TRY(check_something());                    // returns the error, if any
//   OXU_TRY_ASSIGN(auto value, compute_value());   // declares `value` on success
//
// The error is forwarded through std::unexpected, so it converts into the
// caller's error type wherever that type has an implicit converting
// constructor (the scheduler library's error wraps this library's error).

#include <expected>
#include <utility>

#define OXU_CONCAT_INNER(a, b) a##b
#define OXU_CONCAT(a, b) OXU_CONCAT_INNER(a, b)

#define OXU_TRY(expr)                                              \
  do {                                                             \
    auto&& oxu_try_result = (expr);                                \
    if (!oxu_try_result) {                                         \
      return std::unexpected(std::move(oxu_try_result).error());   \
    }                                                              \
  } while (false)

#define OXU_TRY_ASSIGN_IMPL(tmp, lhs, expr)           \
  auto tmp = (expr);                                  \
  if (!tmp) {                                         \
    return std::unexpected(std::move(tmp).error());   \
  }                                                   \
  lhs = std::move(*tmp)

#define OXU_TRY_ASSIGN(lhs, expr) OXU_TRY_ASSIGN_IMPL(OXU_CONCAT(oxu_try_tmp_, __LINE__), lhs, expr)
