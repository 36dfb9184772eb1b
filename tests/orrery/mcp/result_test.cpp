#include "orrery/mcp/result.hpp"

#include <gtest/gtest.h>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"

namespace orrery::mcp {
namespace {

using eval::OutputKind;

Json str(std::string_view s) { return kelp::make_string(s); }

TEST(McpResult, MaxOutputReadsOnlyPositiveNumbersAndCapsThem) {
  kelp::boot();
  struct Case {
    Json given;
    int64_t expected;
  };
  const Case cases[] = {
      {Json(), DEFAULT_MAX_OUTPUT_CHARS},
      {Json::integer(0), DEFAULT_MAX_OUTPUT_CHARS},
      {Json::integer(-5), DEFAULT_MAX_OUTPUT_CHARS},
      {str("500"), DEFAULT_MAX_OUTPUT_CHARS},
      {Json::integer(500), 500},
      {Json::integer(5000000), HARD_MAX_OUTPUT_CHARS},
      {Json::real(250.7), 250},
      {Json::real(1e300), HARD_MAX_OUTPUT_CHARS},
      {Json::real(0.5), DEFAULT_MAX_OUTPUT_CHARS},
  };
  for (const Case& c : cases) {
    Json args = c.given.is_nil() ? kelp::empty_map() : kelp::make_map({str("max_output_chars"), c.given});
    EXPECT_EQ(max_output_of(args), c.expected) << kelp::pr_str(c.given);
  }
}

TEST(McpResult, CollectorKeepsTheTailOfBothStreamsInOrder) {
  Output state;
  add_output(state, 4, OutputKind::Out, "ab");
  add_output(state, 4, OutputKind::Err, "cd");
  add_output(state, 4, OutputKind::Out, "ef");
  // Six characters held: within twice the cap, nothing is dropped yet, but the answer keeps only the last four.
  EXPECT_EQ(state.size, 6);
  EXPECT_EQ(state.dropped, 0);
  Collected c = output_of(state, 4);
  EXPECT_EQ(c.output, "cdef");
  EXPECT_EQ(c.err, "cd");
  EXPECT_EQ(c.dropped, 2);

  // Past twice the cap the chunks are cut to the last cap characters; the straddling chunk keeps its tail.
  add_output(state, 4, OutputKind::Err, "ghijk");
  EXPECT_EQ(state.size, 4);
  EXPECT_EQ(state.dropped, 7);
  c = output_of(state, 4);
  EXPECT_EQ(c.output, "hijk");
  EXPECT_EQ(c.err, "hijk");
  EXPECT_EQ(c.dropped, 7);
}

TEST(McpResult, SizesCountCharactersAndCutsNeverSplitOne) {
  Output state;
  add_output(state, 2, OutputKind::Out, "\xC3\xA9\xC3\xA9");           // éé
  add_output(state, 2, OutputKind::Out, "\xF0\x9F\x99\x82\xC3\xA9x");  // 🙂éx
  EXPECT_EQ(state.size, 2);
  EXPECT_EQ(state.dropped, 3);
  EXPECT_EQ(output_of(state, 2).output, "\xC3\xA9x");

  Clipped clipped = clip("\xF0\x9F\x99\x82\xC3\xA9x", 2);
  EXPECT_EQ(clipped.output, "\xC3\xA9x");
  EXPECT_EQ(clipped.dropped, 1);
  EXPECT_EQ(clip("abc", 10).output, "abc");
  EXPECT_EQ(clip("abc", 10).dropped, 0);
}

TEST(McpResult, BoundedMemoryForEndlessOutput) {
  Output state;
  for (int i = 0; i < 100000; ++i) add_output(state, 1000, OutputKind::Out, "line\n");
  EXPECT_LE(state.size, 2000);
  EXPECT_EQ(state.size + state.dropped, 500000);
  Collected c = output_of(state, 1000);
  EXPECT_EQ(c.output.size(), 1000u);
  EXPECT_EQ(c.dropped, 499000);
}

TEST(McpResult, DroppedLine) {
  EXPECT_EQ(dropped_line(0), "");
  EXPECT_EQ(dropped_line(12), "; 12 earlier characters of output dropped\n");
}

TEST(McpResult, ErrorFieldsReadTheFormattedErrorShape) {
  kelp::boot();
  struct Case {
    std::string text;
    std::string expected;  // the fields, printed
  };
  const Case cases[] = {
      {"Error [ExceptionInfo]: boom", R"({"message" "boom", "type" "ExceptionInfo"})"},
      {"Error [RuntimeException]: Unable to resolve symbol: x in this context\nLocation: line 3, col 7\n",
       R"({"message" "Unable to resolve symbol: x in this context", "type" "RuntimeException", "line" 3, "column" 7})"},
      {"Error [ArithmeticException]: Divide by zero\nLocation: line 12",
       R"({"message" "Divide by zero", "type" "ArithmeticException", "line" 12})"},
      // A multi-line message keeps its lines; a location line that does not parse stays in the message.
      {"Error [X]: one\ntwo\nLocation: somewhere", R"({"message" "one\ntwo\nLocation: somewhere", "type" "X"})"},
      {"  Connection refused by the runtime\n", R"({"message" "Connection refused by the runtime"})"},
      {"Error [X] missing colon", R"({"message" "Error [X] missing colon"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(kelp::pr_str(error_fields(c.text)), c.expected) << c.text;
}

TEST(McpResult, EvalDataCarriesOnlyWhatIsKnown) {
  kelp::boot();
  eval::Result ok;
  ok.status = eval::Status::Ok;
  ok.printed = "3";
  ok.ns = "user";
  EXPECT_EQ(kelp::pr_str(eval_data("ok", {"hi\n", "", 0}, 5, &ok)),
            R"({"status" "ok", "output" "hi\n", "ms" 5, "ns" "user", "value" "3"})");

  eval::Result failed;
  failed.status = eval::Status::Error;
  failed.error_text = "Error [X]: bad\nLocation: line 2";
  Json data = eval_data("error", {"ab", "b", 4}, 1, &failed);
  EXPECT_EQ(kelp::pr_str(data),
            R"({"status" "error", "output" "ab", "ms" 1, "err" "b", "dropped_chars" 4, )"
            R"("error" {"message" "bad", "type" "X", "line" 2}})");

  EXPECT_EQ(kelp::pr_str(eval_data("timeout", {}, 9, nullptr)), R"({"status" "timeout", "output" "", "ms" 9})");
}

}  // namespace
}  // namespace orrery::mcp
