#pragma once
// The bench's one error value and its report on standard error.
//
// A BenchError is a message with an optional chain of causes: file errors
// carry a context line ("open {}", "parse {}") as the message and the
// system's or the reader's text as the cause; every other error is a bare
// message.

#include <string>
#include <vector>

namespace oxu::bench {

struct BenchError {
  std::string message;
  std::vector<std::string> causes;  // outermost first
};

// "Error: {message}\n", then, when there are causes, a blank line,
// "Caused by:" and the causes: a single one indented by four spaces, several
// numbered from 0 in a five-column field.
[[nodiscard]] std::string render_error_report(const BenchError& error);

}  // namespace oxu::bench
