#include "oxu/codegen/snapshot_reader.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "oxu/codegen/snapshot.hpp"
#include "snapshot_parser.hpp"

namespace oxu::codegen {
namespace {

using Result = std::expected<ExchangeScheduleSnapshot, SnapshotReadError>;
using W = ExchangeItemWidth;

ExchangeScheduleDestination destination(std::uint16_t tile, std::uint32_t address) { return {tile, address}; }

ExchangeScheduleTransfer transfer(std::uint16_t source, std::vector<std::uint32_t> addresses,
                                  std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words,
                                  ExchangeItemWidth width) {
  return {source, std::move(addresses), std::move(destinations), words, width};
}

ExchangeScheduleProblem problem(std::uint32_t phase, std::vector<ExchangeScheduleTransfer> transfers) {
  return {phase, std::move(transfers)};
}

ExchangeScheduleSnapshot snapshot(std::uint32_t version, std::uint16_t tiles,
                                  std::vector<ExchangeScheduleProblem> phases) {
  return {version, tiles, std::move(phases)};
}

// Hands out the text in chunks of at most `chunk` bytes, each in a buffer of
// its own that is freed when the next one is handed out (so a pointer kept
// across a refill is caught by the address sanitizer); after the text it
// fails with `fail_errno` if that is not 0.
class ChunkedSource {
 public:
  ChunkedSource(std::string_view text, std::size_t chunk, int fail_errno = 0)
      : text_(text), chunk_(chunk), fail_errno_(fail_errno) {}

  bool next(const unsigned char*& begin, const unsigned char*& end) {
    buffer_.reset();
    if (offset_ == text_.size()) {
      os_error_ = fail_errno_;
      return false;
    }
    const std::size_t size = std::min(chunk_, text_.size() - offset_);
    buffer_ = std::make_unique<unsigned char[]>(size);
    std::memcpy(buffer_.get(), text_.data() + offset_, size);
    offset_ += size;
    begin = buffer_.get();
    end = begin + size;
    return true;
  }
  [[nodiscard]] int os_error() const { return os_error_; }

 private:
  std::string_view text_;
  std::size_t chunk_;
  int fail_errno_;
  int os_error_ = 0;
  std::size_t offset_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;
};

Result read_chunked(std::string_view text, std::size_t chunk, int fail_errno = 0) {
  ChunkedSource source(text, chunk, fail_errno);
  return json::parse_snapshot(source);
}

// A temporary file holding `text`, open for reading at its start.
class TempFile {
 public:
  explicit TempFile(std::string_view text) {
    std::string path = ::testing::TempDir() + "snapshot_reader_XXXXXX";
    fd_ = ::mkstemp(path.data());
    EXPECT_GE(fd_, 0) << std::strerror(errno);
    ::unlink(path.c_str());
    std::size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
      EXPECT_GT(n, 0) << std::strerror(errno);
      if (n <= 0) {
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    ::lseek(fd_, 0, SEEK_SET);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { ::close(fd_); }
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

std::string display(const Result& result) { return result ? std::string("ok") : result.error().display(); }

// Reads `text` from memory, from a file and in chunks of several sizes; all
// must agree. Returns the result of read_snapshot_text.
Result read_every_way(std::string_view text, std::initializer_list<std::size_t> chunks = {1, 2, 3, 5, 7, 64, 8192}) {
  Result from_text = read_snapshot_text(text);
  {
    const TempFile file(text);
    const Result from_fd = read_snapshot_fd(file.fd());
    EXPECT_EQ(display(from_fd), display(from_text)) << "read_snapshot_fd differs";
    EXPECT_EQ(from_fd, from_text) << "read_snapshot_fd differs";
  }
  for (const std::size_t chunk : chunks) {
    const Result chunked = read_chunked(text, chunk);
    EXPECT_EQ(display(chunked), display(from_text)) << "chunks of " << chunk << " bytes differ";
    EXPECT_EQ(chunked, from_text) << "chunks of " << chunk << " bytes differ";
  }
  return from_text;
}

const ExchangeScheduleTransfer kSpecTransfer = transfer(3, {256}, {destination(4, 512)}, 8, W::Word32);

TEST(SnapshotReaderTest, AcceptedDocuments) {
  struct Case {
    const char* name;
    std::string text;
    ExchangeScheduleSnapshot expected;
  };
  const std::string skipped_value =
      R"({"a": [1, -2.5e-3, 0, -0, 1E400, 123456789012345678901234567890, true, false, null,)"
      R"( "s\u00e9\ud83d\ude00\n\"\\\/\b\f\r\t", "é€😀", {"b": [[], {}]}], "c": {}, "d": ""})";
  const Case cases[] = {
      {"minimal object", R"({"schema_version": 3, "tile_count": 8, "phases": []})", snapshot(3, 8, {})},
      {"minimal array", "[3,8,[]]", snapshot(3, 8, {})},
      {"keys in any order", R"({"phases": [], "tile_count": 8, "schema_version": 3})", snapshot(3, 8, {})},
      {"empty transfers", R"({"schema_version":3,"tile_count":1,"phases":[{"phase":7,"transfers":[]}]})",
       snapshot(3, 1, {problem(7, {})})},
      {"transfer object form",
       R"({"schema_version": 3, "tile_count": 8, "phases": [{"phase": 1, "transfers": [)"
       R"({"source": 3, "source_addresses": [256], "destinations": [{"tile": 4, "address": 512}], "words": 8,)"
       R"( "width": "Word32"}]}]})",
       snapshot(3, 8, {problem(1, {kSpecTransfer})})},
      {"transfer array form",
       R"({"schema_version": 3, "tile_count": 8, "phases": [{"phase": 1, "transfers": [)"
       R"([3, [256], [{"tile": 4, "address": 512}], 8, "Word32"]]}]})",
       snapshot(3, 8, {problem(1, {kSpecTransfer})})},
      {"every record as an array", R"([3, 8, [[1, [[3, [256], [[4, 512]], 8, "Word32"]]]]])",
       snapshot(3, 8, {problem(1, {kSpecTransfer})})},
      {"width forms",
       R"([3, 8, [[1, [[3, [256], [[4, 512]], 8, {"Word32": null}], [5, [8], [[6, 16], [7, 24]], 2, "Paired64"],)"
       R"( [5, [8], [[6, 16]], 2, { "Paired64" : null }]]]]])",
       snapshot(3, 8,
                {problem(1, {kSpecTransfer, transfer(5, {8}, {destination(6, 16), destination(7, 24)}, 2, W::Paired64),
                             transfer(5, {8}, {destination(6, 16)}, 2, W::Paired64)})})},
      {"escaped keys and variant names",
       R"({"schema\u005fversion": 3, "tile_count": 8, "ph\u0061ses": [{"phase": 1, "transfers": [)"
       R"({"source": 3, "source_addresses": [256], "destinations": [{"tile": 4, "\u0061ddress": 512}], "words": 8,)"
       R"( "width": "Word\u0033\u0032"}]}]})",
       snapshot(3, 8, {problem(1, {kSpecTransfer})})},
      {"extra keys everywhere",
       R"({"comment": "written by hand", "schema_version": 3, "tile_count": 8, "x": )" + skipped_value +
           R"(, "phases": [{"phase": 1, "note": )" + skipped_value +
           R"(, "transfers": [{"source": 3, "extra": [[[]]], "source_addresses": [256], "destinations": [)"
           R"({"tile": 4, "z": null, "address": 512, "zz": {"tile": "no"}}], "words": 8, "width": "Word32",)"
           R"( "widths": 1}], "transfers_": -1}]})",
       snapshot(3, 8, {problem(1, {kSpecTransfer})})},
      {"repeated unknown key", R"({"x": 1, "schema_version": 3, "x": [2], "tile_count": 8, "x": {}, "phases": []})",
       snapshot(3, 8, {})},
      {"unknown keys near field names",
       R"({"phase": 1, "tile_coun": 2, "tile_countt": 3, "Phases": 4, "schema_version ": 5, "": 6,)"
       R"( "this key is longer than every field name of every record": 7,)"
       R"( "this escaped key is long as well \u0041\u00e9\ud83d\ude00 ....................": 8,)"
       R"( "schema_version": 3, "tile_count": 8, "phases": []})",
       snapshot(3, 8, {})},
      {"white space", " \n\t{ \r\n \"schema_version\" \t : \n 3 ,\"tile_count\":8,\"phases\" : [ [ 1 , [ ] ] ] } \n\t\r ",
       snapshot(3, 8, {problem(1, {})})},
      {"boundary values",
       R"([4294967295, 65535, [[0, [[0, [0, 4294967295], [[65535, 0], [0, 4294967295]], 0, "Word32"],)"
       R"( [65535, [], [], 4294967295, "Paired64"]]], [4294967295, []]]])",
       snapshot(4294967295U, 65535,
                {problem(0, {transfer(0, {0, 4294967295U}, {destination(65535, 0), destination(0, 4294967295U)}, 0,
                                      W::Word32),
                             transfer(65535, {}, {}, 4294967295U, W::Paired64)}),
                 problem(4294967295U, {})})},
      {"several phases and destinations",
       "{\n  \"schema_version\": 3,\n  \"tile_count\": 16,\n  \"phases\": [\n    {\n      \"phase\": 2,\n"
       "      \"transfers\": [\n        {\n          \"source\": 1,\n          \"source_addresses\": [\n"
       "            4096,\n            8192\n          ],\n          \"destinations\": [\n"
       "            {\n              \"tile\": 2,\n              \"address\": 128\n            },\n"
       "            {\n              \"tile\": 3,\n              \"address\": 256\n            }\n"
       "          ],\n          \"words\": 64,\n          \"width\": \"Paired64\"\n        }\n      ]\n    },\n"
       "    {\n      \"phase\": 9,\n      \"transfers\": []\n    }\n  ]\n}\n",
       snapshot(3, 16,
                {problem(2, {transfer(1, {4096, 8192}, {destination(2, 128), destination(3, 256)}, 64, W::Paired64)}),
                 problem(9, {})})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = read_every_way(c.text);
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(*result, c.expected);
  }
}

TEST(SnapshotReaderTest, TransferArrayEqualsObjectForm) {
  const Result object = read_snapshot_text(
      R"([3, 8, [[1, [{"source": 3, "source_addresses": [256], "destinations": [{"tile": 4, "address": 512}],)"
      R"( "words": 8, "width": "Word32"}]]]])");
  const Result array = read_snapshot_text(R"([3, 8, [[1, [[3, [256], [{"tile": 4, "address": 512}], 8, "Word32"]]]]])");
  ASSERT_TRUE(object.has_value());
  ASSERT_TRUE(array.has_value());
  EXPECT_EQ(*object, *array);
  EXPECT_EQ(object->phases.at(0).transfers.at(0), kSpecTransfer);
}

TEST(SnapshotReaderTest, RejectedDocuments) {
  struct Case {
    const char* name;
    std::string_view text;
    const char* display;
  };
  const Case cases[] = {
      {"empty input",
       "",
       "EOF while parsing a value at line 1 column 0"},
      {"only white space",
       " \t\r\n  ",
       "EOF while parsing a value at line 2 column 2"},
      {"open object",
       "{",
       "EOF while parsing an object at line 1 column 1"},
      {"open list",
       "[",
       "EOF while parsing a list at line 1 column 1"},
      {"object after newline",
       "{\n",
       "EOF while parsing an object at line 2 column 0"},
      {"key without colon at eof",
       "{\"schema_version\"",
       "EOF while parsing an object at line 1 column 17"},
      {"key with colon at eof",
       "{\"schema_version\":",
       "EOF while parsing a value at line 1 column 18"},
      {"missing colon",
       "{\"schema_version\" 3}",
       "expected `:` at line 1 column 19"},
      {"missing comma in object",
       "{\"schema_version\": 3 \"tile_count\": 8}",
       "expected `,` or `}` at line 1 column 22"},
      {"eof after member",
       "{\"schema_version\": 3",
       "EOF while parsing an object at line 1 column 20"},
      {"eof after comma in object",
       "{\"schema_version\": 3,",
       "EOF while parsing a value at line 1 column 21"},
      {"key is a number",
       "{3: 1}",
       "key must be a string at line 1 column 2"},
      {"key after comma is a number",
       "{\"schema_version\": 3, 4: 1}",
       "key must be a string at line 1 column 23"},
      {"trailing comma in record object",
       "{\"schema_version\": 3,}",
       "trailing comma at line 1 column 22"},
      {"trailing comma in record object (spaces)",
       "{\"schema_version\": 3 , \n }",
       "trailing comma at line 2 column 2"},
      {"trailing comma in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, []],]}",
       "trailing comma at line 1 column 59"},
      {"trailing comma in transfers",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": \"Word32\"},]]}]}",
       "trailing comma at line 1 column 195"},
      {"missing comma in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, []] [2, []]]}",
       "expected `,` or `]` at line 1 column 59"},
      {"eof in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [",
       "EOF while parsing a list at line 1 column 50"},
      {"eof after element in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, []]",
       "EOF while parsing a list at line 1 column 57"},
      {"eof after comma in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, []],",
       "EOF while parsing a value at line 1 column 58"},
      {"value expected in phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [,]}",
       "expected value at line 1 column 51"},
      {"skipped list trailing comma",
       "{\"x\": [1,], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "trailing comma at line 1 column 10"},
      {"skipped object trailing comma",
       "{\"x\": {\"a\": 1,}, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "trailing comma at line 1 column 15"},
      {"skipped list missing comma",
       "{\"x\": [1 2], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected `,` or `]` at line 1 column 10"},
      {"skipped object missing colon",
       "{\"x\": {\"a\" 1}, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected `:` at line 1 column 12"},
      {"skipped object missing comma",
       "{\"x\": {\"a\": 1 \"b\": 2}, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected `,` or `}` at line 1 column 15"},
      {"skipped object key not a string",
       "{\"x\": {1: 2}, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "key must be a string at line 1 column 8"},
      {"skipped object second key not a string",
       "{\"x\": {\"a\": 1, true: 2}, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "key must be a string at line 1 column 16"},
      {"skipped value expected",
       "{\"x\": ]}",
       "expected value at line 1 column 7"},
      {"skipped value after comma in list",
       "{\"x\": [1, ], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "trailing comma at line 1 column 11"},
      {"skipped value is a stray comma",
       "{\"x\": [,], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected value at line 1 column 8"},
      {"skipped eof in list",
       "{\"x\": [1, 2",
       "EOF while parsing a list at line 1 column 11"},
      {"skipped eof in nested object",
       "{\"x\": [{\"a\": {}",
       "EOF while parsing an object at line 1 column 15"},
      {"skipped eof after comma in object",
       "{\"x\": {\"a\": 1,",
       "EOF while parsing a value at line 1 column 14"},
      {"skipped eof after key",
       "{\"x\": {\"a\"",
       "EOF while parsing an object at line 1 column 10"},
      {"skipped eof after colon",
       "{\"x\": {\"a\":",
       "EOF while parsing a value at line 1 column 11"},
      {"bad literal",
       "{\"x\": trux, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected value at line 1 column 10"},
      {"bad literal null",
       "{\"x\": nul!, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected value at line 1 column 10"},
      {"literal at eof",
       "{\"x\": nul",
       "EOF while parsing a value at line 1 column 9"},
      {"string at eof",
       "{\"x\": \"abc",
       "EOF while parsing a string at line 1 column 10"},
      {"string escape at eof",
       "{\"x\": \"abc\\",
       "EOF while parsing a string at line 1 column 11"},
      {"unicode escape at eof",
       "{\"x\": \"\\u12",
       "EOF while parsing a string at line 1 column 11"},
      {"invalid escape",
       "{\"x\": \"a\\qb\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid escape at line 1 column 10"},
      {"invalid hex digit",
       "{\"x\": \"\\u12G4\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid escape at line 1 column 12"},
      {"control character",
       "{\"x\": \"a\tb\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {"newline in string",
       "{\"x\": \"a\nb\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"lone low surrogate",
       "{\"x\": \"\\uDC00\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 13"},
      {"high surrogate without escape",
       "{\"x\": \"\\uD800x\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 14"},
      {"high surrogate before other escape",
       "{\"x\": \"\\uD800\\n\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 15"},
      {"high surrogate before non-surrogate",
       "{\"x\": \"\\uD800\\u0041\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 19"},
      {"high surrogate at end of string",
       "{\"x\": \"\\uD83D\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 14"},
      {"invalid utf-8 byte",
       "{\"x\": \"a\xff\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 9"},
      {"truncated utf-8 sequence",
       "{\"x\": \"\xc3(\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 9"},
      {"overlong utf-8",
       "{\"x\": \"\xc0\x80\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 8"},
      {"utf-8 encoded surrogate",
       "{\"x\": \"\xed\xa0\x80\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 9"},
      {"utf-8 above U+10FFFF",
       "{\"x\": \"\xf4\x90\x80\x80\", \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid unicode code point at line 1 column 9"},
      {"utf-8 sequence at eof",
       "{\"x\": \"\xe2\x82",
       "EOF while parsing a string at line 1 column 9"},
      {"invalid utf-8 in a key",
       "{\"\x80\": 1}",
       "invalid unicode code point at line 1 column 3"},
      {"leading zero",
       "{\"x\": 01, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 8"},
      {"negative leading zero",
       "{\"x\": -01, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 9"},
      {"minus alone",
       "{\"x\": -], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 8"},
      {"minus at eof",
       "{\"x\": -",
       "EOF while parsing a value at line 1 column 7"},
      {"fraction without digits",
       "{\"x\": 1.], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 9"},
      {"fraction then exponent",
       "{\"x\": 1.e5, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 9"},
      {"exponent without digits",
       "{\"x\": 1e], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 9"},
      {"exponent sign without digits",
       "{\"x\": 1e+], \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 10"},
      {"fraction at eof",
       "{\"x\": 1.",
       "EOF while parsing a value at line 1 column 8"},
      {"exponent at eof",
       "{\"x\": 1E-",
       "EOF while parsing a value at line 1 column 9"},
      {"plus sign",
       "{\"x\": +1, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected value at line 1 column 7"},
      {"bare fraction",
       "{\"x\": .5, \"schema_version\": 3, \"tile_count\": 8, \"phases\": []}",
       "expected value at line 1 column 7"},
      {"number in a record field with a leading zero",
       "{\"schema_version\": 03, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 21"},
      {"number in a record field with a bad fraction",
       "{\"schema_version\": 3.x, \"tile_count\": 8, \"phases\": []}",
       "invalid number at line 1 column 22"},
      {"trailing characters",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": []} x",
       "trailing characters at line 1 column 54"},
      {"second root value",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": []}\n{}",
       "trailing characters at line 2 column 1"},
      {"trailing characters after array root",
       "[3, 8, []]]",
       "trailing characters at line 1 column 11"},
      {"root integer",
       "5",
       "invalid type: integer `5`, expected struct ExchangeScheduleSnapshot at line 1 column 1"},
      {"root string",
       "\"snap\"",
       "invalid type: string \"snap\", expected struct ExchangeScheduleSnapshot at line 1 column 6"},
      {"root string with escapes",
       "\"a\\\"b\\n\\u0001c\\u00e9\"",
       "invalid type: string \"a\\\"b\\n\\u{1}c\xc3\xa9\", expected struct ExchangeScheduleSnapshot at line 1 column 21"},
      {"root null",
       " null",
       "invalid type: null, expected struct ExchangeScheduleSnapshot at line 1 column 5"},
      {"root true",
       "true ",
       "invalid type: boolean `true`, expected struct ExchangeScheduleSnapshot at line 1 column 4"},
      {"root false",
       "false",
       "invalid type: boolean `false`, expected struct ExchangeScheduleSnapshot at line 1 column 5"},
      {"root float",
       "-2.5",
       "invalid type: floating point `-2.5`, expected struct ExchangeScheduleSnapshot at line 1 column 4"},
      {"root not a value",
       "}",
       "expected value at line 1 column 1"},
      {"string for u32",
       "{\"schema_version\": \"3\", \"tile_count\": 8, \"phases\": []}",
       "invalid type: string \"3\", expected u32 at line 1 column 22"},
      {"negative u32",
       "{\"schema_version\": -5, \"tile_count\": 8, \"phases\": []}",
       "invalid value: integer `-5`, expected u32 at line 1 column 21"},
      {"u32 too large",
       "{\"schema_version\": 4294967296, \"tile_count\": 8, \"phases\": []}",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
      {"u64 maximum for u32",
       "{\"schema_version\": 18446744073709551615}",
       "invalid value: integer `18446744073709551615`, expected u32 at line 1 column 39"},
      {"beyond u64",
       "{\"schema_version\": 18446744073709551616}",
       "invalid type: floating point `18446744073709552000.0`, expected u32 at line 1 column 39"},
      {"i64 minimum",
       "{\"schema_version\": -9223372036854775808}",
       "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 39"},
      {"below i64",
       "{\"schema_version\": -9223372036854775809}",
       "invalid type: floating point `-9223372036854776000.0`, expected u32 at line 1 column 39"},
      {"negative zero",
       "{\"schema_version\": -0}",
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 21"},
      {"fraction",
       "{\"schema_version\": 1.5}",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 22"},
      {"integral fraction",
       "{\"schema_version\": 3.0}",
       "invalid type: floating point `3.0`, expected u32 at line 1 column 22"},
      {"exponent",
       "{\"schema_version\": 1e3}",
       "invalid type: floating point `1000.0`, expected u32 at line 1 column 22"},
      {"negative exponent",
       "{\"schema_version\": 25E-5}",
       "invalid type: floating point `0.00025`, expected u32 at line 1 column 24"},
      {"exponent with plus",
       "{\"schema_version\": 0.5e+1}",
       "invalid type: floating point `5.0`, expected u32 at line 1 column 25"},
      {"large exponent",
       "{\"schema_version\": 1e22}",
       "invalid type: floating point `10000000000000000000000.0`, expected u32 at line 1 column 23"},
      {"shortest round trip",
       "{\"schema_version\": 0.30000000000000004441}",
       "invalid type: floating point `0.30000000000000004`, expected u32 at line 1 column 41"},
      {"underflow",
       "{\"schema_version\": 1e-400}",
       "invalid type: floating point `0.0`, expected u32 at line 1 column 25"},
      {"zero with huge exponent",
       "{\"schema_version\": 0e999999999999999999999}",
       "invalid type: floating point `0.0`, expected u32 at line 1 column 42"},
      {"overflow",
       "{\"schema_version\": 1e400}",
       "number out of range at line 1 column 24"},
      {"u16 too large",
       "{\"schema_version\": 3, \"tile_count\": 70000, \"phases\": []}",
       "invalid value: integer `70000`, expected u16 at line 1 column 41"},
      {"u16 maximum plus one",
       "{\"schema_version\": 3, \"tile_count\": 65536, \"phases\": []}",
       "invalid value: integer `65536`, expected u16 at line 1 column 41"},
      {"boolean for u16",
       "{\"schema_version\": 3, \"tile_count\": true, \"phases\": []}",
       "invalid type: boolean `true`, expected u16 at line 1 column 40"},
      {"null for u16",
       "{\"schema_version\": 3, \"tile_count\": null, \"phases\": []}",
       "invalid type: null, expected u16 at line 1 column 40"},
      {"sequence for u16",
       "{\"schema_version\": 3, \"tile_count\": [8], \"phases\": []}",
       "invalid type: sequence, expected u16 at line 1 column 37"},
      {"map for u32",
       "{\"schema_version\": {\"v\": 3}, \"tile_count\": 8, \"phases\": []}",
       "invalid type: map, expected u32 at line 1 column 20"},
      {"not a value for u32",
       "{\"schema_version\": }",
       "expected value at line 1 column 20"},
      {"integer for phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": 5}",
       "invalid type: integer `5`, expected a sequence at line 1 column 50"},
      {"map for phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": {}}",
       "invalid type: map, expected a sequence at line 1 column 50"},
      {"string for phases",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": \"[]\"}",
       "invalid type: string \"[]\", expected a sequence at line 1 column 53"},
      {"integer for a phase",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [5]}",
       "invalid type: integer `5`, expected struct ExchangeScheduleProblem at line 1 column 51"},
      {"string for a transfer",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [\"t\"]}]}",
       "invalid type: string \"t\", expected struct ExchangeScheduleTransfer at line 1 column 80"},
      {"null for a destination",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [null], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "invalid type: null, expected struct ExchangeScheduleDestination at line 1 column 138"},
      {"map for source addresses",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": {}}]}]}",
       "invalid type: map, expected a sequence at line 1 column 112"},
      {"negative source address",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16, -4]}]}]}",
       "invalid value: integer `-4`, expected u32 at line 1 column 118"},
      {"u16 tile of a destination",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 65536, \"address\": 0}], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "invalid value: integer `65536`, expected u16 at line 1 column 148"},
      {"float address of a destination",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[2, 3.25]], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "invalid type: floating point `3.25`, expected u32 at line 1 column 142"},
      {"width in lower case",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": \"word32\"}]}]}",
       "unknown variant `word32`, expected `Word32` or `Paired64` at line 1 column 192"},
      {"width unknown with escape",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": \"Word\\u0033\"}]}]}",
       "unknown variant `Word3`, expected `Word32` or `Paired64` at line 1 column 196"},
      {"width integer",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": 5}]}]}",
       "invalid type: integer `5`, expected variant identifier at line 1 column 185"},
      {"width null",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": null}]}]}",
       "invalid type: null, expected variant identifier at line 1 column 188"},
      {"width sequence",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": [\"Word32\"]}]}]}",
       "invalid type: sequence, expected variant identifier at line 1 column 185"},
      {"width object with unknown variant",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"paired64\": null}}]}]}",
       "unknown variant `paired64`, expected `Word32` or `Paired64` at line 1 column 195"},
      {"width object with integer",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": 1}}]}]}",
       "invalid type: integer `1`, expected unit at line 1 column 196"},
      {"width object with string",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": \"x\"}}]}]}",
       "invalid type: string \"x\", expected unit at line 1 column 198"},
      {"width object with map",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": {}}}]}]}",
       "invalid type: map, expected unit at line 1 column 196"},
      {"width object with second key",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": null, \"Paired64\": null}}]}]}",
       "trailing characters at line 1 column 202"},
      {"width object with trailing comma",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": null,}}]}]}",
       "trailing comma at line 1 column 201"},
      {"width object missing colon",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\" null}}]}]}",
       "expected `:` at line 1 column 195"},
      {"width object missing brace",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": null]}]}]}",
       "expected `,` or `}` at line 1 column 200"},
      {"width empty object",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {}}]}]}",
       "expected value at line 1 column 186"},
      {"width object key not a string",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {Word32: null}}]}]}",
       "key must be a string at line 1 column 186"},
      {"width object at eof",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Paired64\": null",
       "EOF while parsing an object at line 1 column 201"},
      {"width bad unit literal",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": {\"Word32\": nil}}]}]}",
       "expected value at line 1 column 197"},
      {"missing field in root",
       "{\"schema_version\": 3, \"tile_count\": 8}",
       "missing field `phases` at line 1 column 38"},
      {"empty root object",
       "{ \n }",
       "missing field `schema_version` at line 2 column 2"},
      {"missing field in a phase",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"transfers\": []}]}",
       "missing field `phase` at line 1 column 67"},
      {"missing fields in a transfer",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"width\": \"Word32\", \"destinations\": [], \"source\": 1}]}]}",
       "missing field `source_addresses` at line 1 column 129"},
      {"missing field in a destination",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"address\": 7}], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "missing field `tile` at line 1 column 148"},
      {"duplicate field",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"phase\": 2, \"transfers\": []}]}",
       "duplicate field `phase` at line 1 column 70"},
      {"duplicate field with escaped key",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"ph\\u0061se\": 2, \"transfers\": []}]}",
       "duplicate field `phase` at line 1 column 75"},
      {"duplicate vector field",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [], \"phases\": []}",
       "duplicate field `phases` at line 1 column 61"},
      {"duplicate width",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [{\"tile\": 2, \"address\": 32}], \"words\": 4, \"width\": \"Word32\", \"width\": \"Word32\"}]}]}",
       "duplicate field `width` at line 1 column 201"},
      {"short snapshot array",
       "[3, 8]",
       "invalid length 2, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 6"},
      {"empty snapshot array",
       "[ ]",
       "invalid length 0, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 3"},
      {"short problem array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1]]}",
       "invalid length 1, expected struct ExchangeScheduleProblem with 2 elements at line 1 column 53"},
      {"short transfer array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [[3, [256], [[4, 512]], 8]]}]}",
       "invalid length 4, expected struct ExchangeScheduleTransfer with 5 elements at line 1 column 102"},
      {"short destination array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[4]], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "invalid length 1, expected struct ExchangeScheduleDestination with 2 elements at line 1 column 137"},
      {"long snapshot array",
       "[3, 8, [], 1]",
       "trailing characters at line 1 column 12"},
      {"long problem array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, [], {}]]}",
       "trailing characters at line 1 column 59"},
      {"long transfer array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [[3, [256], [[4, 512]], 8, \"Word32\", \"x\"]]}]}",
       "trailing characters at line 1 column 114"},
      {"long destination array",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[4, 512,\n  7]], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "trailing characters at line 2 column 3"},
      {"record array trailing comma",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[4, 512,]], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "trailing comma at line 1 column 143"},
      {"record array comma at eof",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1, [],",
       "EOF while parsing a value at line 1 column 57"},
      {"record array missing comma",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[4 512]], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "expected `,` or `]` at line 1 column 138"},
      {"record array missing bracket",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [{\"phase\": 1, \"transfers\": [{\"source\": 1, \"source_addresses\": [16], \"destinations\": [[4, 512 }], \"words\": 4, \"width\": \"Word32\"}]}]}",
       "expected `,` or `]` at line 1 column 143"},
      {"record array at eof",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1",
       "EOF while parsing a list at line 1 column 52"},
      {"record array trailing comma before field",
       "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": [[1,]]}",
       "trailing comma at line 1 column 54"},
      {"multi-line position",
       "{\n  \"schema_version\": 3,\n  \"tile_count\": 8,\n  \"phases\": [\n    {\n      \"phase\": 1,\n      \"transfers\": [],\n      \"phase\": 2\n    }\n  ]\n}\n",
       "duplicate field `phase` at line 8 column 13"},
      {"crlf lines",
       "{\r\n  \"schema_version\": 3,\r\n  \"tile_count\": 8,\r\n  \"phases\": []\r\n}\r\n x",
       "trailing characters at line 6 column 2"},
      {"column counts bytes",
       "{\"tile_count\": 8,\n\"x\": \"\xc3\xa9\xe2\x82\xac\", \"tile_count\": 8}",
       "duplicate field `tile_count` at line 2 column 26"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = read_every_way(c.text);
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().has_position);
    EXPECT_EQ(result.error().display(), c.display);
  }
}

// Documents of many lines and more than one buffer: values and positions
// stay right across refills.
TEST(SnapshotReaderTest, DocumentsLongerThanTheBuffer) {
  std::string text = "{\n  \"schema_version\": 3,\n  \"tile_count\": 1472,\n  \"phases\": [\n";
  ExchangeScheduleSnapshot expected = snapshot(3, 1472, {});
  for (std::uint32_t i = 0; i < 400; ++i) {
    const auto tile = static_cast<std::uint16_t>(i % 1472);
    const std::uint32_t address = 0x10000U * i + 4;
    text += "    {\"phase\": " + std::to_string(i) + ", \"transfers\": [[" + std::to_string(tile) + ", [" +
            std::to_string(address) + "], [[" + std::to_string(tile + 1) + ", " + std::to_string(address + 8) +
            "]], " + std::to_string(i * 7) + ", \"Word32\"]]},\n";
    expected.phases.push_back(problem(
        i, {transfer(tile, {address}, {destination(static_cast<std::uint16_t>(tile + 1), address + 8)}, i * 7,
                     W::Word32)}));
  }
  const std::string tail = "    {\"phase\": 400, \"transfers\": []}\n  ]\n}\n";
  expected.phases.push_back(problem(400, {}));
  ASSERT_GT(text.size(), 3 * kSnapshotReadBuffer);

  const Result accepted = read_every_way(text + tail);
  ASSERT_TRUE(accepted.has_value()) << accepted.error().display();
  EXPECT_EQ(*accepted, expected);

  // The error is on line 405 (4 header lines, 400 phase lines).
  const Result duplicate = read_every_way(text + "    {\"phase\": 400, \"transfers\": [], \"phase\": 1}\n  ]\n}\n");
  EXPECT_EQ(display(duplicate), "duplicate field `phase` at line 405 column 43");
  const Result eof = read_every_way(text + "    {\"phase\": 400, \"transfers\": [\n   ");
  EXPECT_EQ(display(eof), "EOF while parsing a list at line 406 column 3");
  const Result range = read_every_way(text + "    {\"phase\": 4294967296}");
  EXPECT_EQ(display(range), "invalid value: integer `4294967296`, expected u32 at line 405 column 24");
}

// An error at every offset around the buffer boundary of read_snapshot_fd.
TEST(SnapshotReaderTest, PositionsAtTheBufferBoundary) {
  for (std::size_t pad = kSnapshotReadBuffer - 24; pad <= kSnapshotReadBuffer + 4; ++pad) {
    const std::string prefix = "{\"x\": \"" + std::string(pad, 'a') + "\", \"tile_count\": ";
    const std::string text = prefix + "123456}";
    SCOPED_TRACE(pad);
    const Result result = read_every_way(text, {kSnapshotReadBuffer});
    EXPECT_EQ(display(result), "invalid value: integer `123456`, expected u16 at line 1 column " +
                                   std::to_string(prefix.size() + 6));
  }
}

TEST(SnapshotReaderTest, DeepNestingInSkippedValues) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string rest = R"(, "schema_version": 3, "tile_count": 8, "phases": []})";

  const Result lists = read_every_way("{\"x\": " + std::string(kDepth, '[') + std::string(kDepth, ']') + rest, {7, 4096});
  ASSERT_TRUE(lists.has_value()) << lists.error().display();
  EXPECT_EQ(*lists, snapshot(3, 8, {}));

  std::string objects = "{\"x\": ";
  for (std::size_t i = 0; i < kDepth; ++i) {
    objects += i % 2 == 0 ? "{\"a\": " : "[";
  }
  objects += "null";
  for (std::size_t i = kDepth; i-- > 0;) {
    objects += i % 2 == 0 ? "}" : "]";
  }
  const Result mixed = read_every_way(objects + rest, {7, 4096});
  ASSERT_TRUE(mixed.has_value()) << mixed.error().display();

  const Result open_lists = read_every_way("{\"x\": " + std::string(kDepth, '['), {4096});
  EXPECT_EQ(display(open_lists), "EOF while parsing a list at line 1 column " + std::to_string(6 + kDepth));

  std::string open_objects = "{\"x\": ";
  for (std::size_t i = 0; i < kDepth; ++i) {
    open_objects += "{\"a\":";
  }
  const Result open = read_every_way(open_objects, {4096});
  EXPECT_EQ(display(open), "EOF while parsing a value at line 1 column " + std::to_string(6 + 5 * kDepth));

  // A closing bracket of the wrong kind deep inside.
  const Result wrong = read_every_way("{\"x\": " + std::string(kDepth, '[') + "1}", {4096});
  EXPECT_EQ(display(wrong), "expected `,` or `]` at line 1 column " + std::to_string(8 + kDepth));

  // Where a record is read, deep nesting stops at the first field.
  const Result records = read_every_way(
      "{\"schema_version\": 3, \"tile_count\": 8, \"phases\": " + std::string(kDepth, '['), {4096});
  EXPECT_EQ(display(records), "invalid type: sequence, expected u32 at line 1 column 52");
}

TEST(SnapshotReaderTest, ReadFailures) {
  const int directory = ::open(::testing::TempDir().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  const Result result = read_snapshot_fd(directory);
  ::close(directory);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), (SnapshotReadError{"Is a directory (os error 21)", false, 0, 0}));
  EXPECT_EQ(result.error().display(), "Is a directory (os error 21)");

  // A failure after part of the document was read wins over what the parser
  // made of the missing rest.
  const Result partial = read_chunked(R"({"schema_version": 3, "tile_count": 8, "phases": [)", 16, EIO);
  EXPECT_EQ(display(partial), "Input/output error (os error 5)");
  EXPECT_FALSE(partial.error().has_position);
  const Result after_root = read_chunked(R"({"schema_version": 3, "tile_count": 8, "phases": []})", 16, EIO);
  EXPECT_EQ(display(after_root), "Input/output error (os error 5)");

  const Result bad_fd = read_snapshot_fd(-1);
  EXPECT_EQ(display(bad_fd), "Bad file descriptor (os error 9)");
}

void ignore_signal(int) {}

// read() interrupted by a signal is retried.
TEST(SnapshotReaderTest, InterruptedReadsAreRetried) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read() fails with EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const std::string text = R"({"schema_version": 3, "tile_count": 8, "phases": [[1, []], [2, []]]})";
  const pthread_t reader = ::pthread_self();
  std::thread writer([&] {
    const std::size_t half = text.size() / 2;
    EXPECT_EQ(::write(pipe_fds[1], text.data(), half), static_cast<ssize_t>(half));
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ::pthread_kill(reader, SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(::write(pipe_fds[1], text.data() + half, text.size() - half),
              static_cast<ssize_t>(text.size() - half));
    ::close(pipe_fds[1]);
  });
  const Result result = read_snapshot_fd(pipe_fds[0]);
  writer.join();
  ::close(pipe_fds[0]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(*result, snapshot(3, 8, {problem(1, {}), problem(2, {})}));
}

TEST(SnapshotReaderTest, NulBytes) {
  using namespace std::string_literals;
  const Result raw = read_every_way("{\"x\": \"a\0b\"}"s);
  EXPECT_EQ(display(raw), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9");
  const Result outside = read_every_way("{\"x\": 1\0}"s);
  EXPECT_EQ(display(outside), "expected `,` or `}` at line 1 column 8");
  const Result escaped = read_every_way(R"({"x": "a\u0000b", "schema_version": 3, "tile_count": 8, "phases": []})");
  ASSERT_TRUE(escaped.has_value()) << escaped.error().display();
  const Result in_message = read_every_way(R"({"schema_version": "\u0000\u001b\u007f\t"})");
  EXPECT_EQ(display(in_message),
            R"(invalid type: string "\0\u{1b}\u{7f}\t", expected u32 at line 1 column 41)");
}

TEST(SnapshotReaderTest, DisplayAddsThePosition) {
  EXPECT_EQ((SnapshotReadError{"expected value", true, 3, 14}).display(), "expected value at line 3 column 14");
  EXPECT_EQ((SnapshotReadError{"expected value", true, 1, 0}).display(), "expected value at line 1 column 0");
  EXPECT_EQ((SnapshotReadError{"Permission denied (os error 13)", false, 0, 0}).display(),
            "Permission denied (os error 13)");
}

}  // namespace
}  // namespace oxu::codegen
