#include "orrery/results.hpp"

#include <gtest/gtest.h>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"

namespace orrery::results {
namespace {

std::vector<std::string> names(std::span<const Verb> vs) {
  std::vector<std::string> out;
  for (Verb v : vs) out.emplace_back(verb_name(v));
  return out;
}

TEST(ResultVerbs, VarsAddJumpAndDoc) {
  EXPECT_EQ(names(verbs("var")), (std::vector<std::string>{"inspect", "copy", "define", "jump", "doc"}));
  for (std::string_view kind : {"ns", "exception", "value", "unknown"}) {
    EXPECT_EQ(names(verbs(kind)), (std::vector<std::string>{"inspect", "copy", "define"})) << kind;
    EXPECT_FALSE(is_offered(kind, Verb::Jump)) << kind;
    EXPECT_FALSE(is_offered(kind, Verb::Doc)) << kind;
    EXPECT_TRUE(is_offered(kind, Verb::Define)) << kind;
  }
  EXPECT_TRUE(is_offered("var", Verb::Doc));
  EXPECT_FALSE(is_offered("var", Verb::OpenLocation));
}

TEST(ResultDefineInput, FetchesTheKeptValueByRingAndNumber) {
  kelp::boot();
  using kelp::keyword;
  kelp::Value ref =
      kelp::make_map({keyword("id"), kelp::Value::integer(7), keyword("epoch"), kelp::make_string("r-1")});
  auto got = define_input(ref);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->text, "(def  (orrery.results-rt/value! \"r-1\" 7))");
  EXPECT_EQ(got->caret, 5);

  EXPECT_EQ(define_input(kelp::make_map({keyword("epoch"), kelp::Value::integer(1)})), std::nullopt);
  EXPECT_EQ(define_input(kelp::Value::integer(7)), std::nullopt);
}

TEST(ResultLines, VarNameAndCopyText) {
  struct Case {
    std::string line;
    std::optional<std::string> var;
    std::string copy;
  };
  const std::vector<Case> cases{
      {"=> #'user/f\n", "user/f", "#'user/f"},
      {"=> #'my.app/λ-fn tail", "my.app/λ-fn", "#'my.app/λ-fn tail"},
      {"=> 42\n", std::nullopt, "42"},
      {"=> \"=> #'a/b\"\n", std::nullopt, "\"=> #'a/b\""},
      {"=> #'\n", std::nullopt, "#'"},
      {"#'user/f\n", std::nullopt, "#'user/f"},
      {"=> \n", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(var_name(c.line), c.var) << c.line;
    EXPECT_EQ(copy_text(c.line), c.copy) << c.line;
  }
}

TEST(ResultDoc, QuickDocAsCommentLines) {
  struct Case {
    std::string doc;
    std::string want;
  };
  const std::vector<Case> cases{
      {"clojure.core/inc\n([x])\n\n  Returns a number one greater than num.",
       "; clojure.core/inc\n; ([x])\n;\n;   Returns a number one greater than num.\n"},
      {"one\n", "; one\n"},
      {"a\r\nb", "; a\n; b\n"},
      {"a\n   \nb", "; a\n;\n; b\n"},
      {"", ";\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(doc_console_text(c.doc), c.want) << c.doc;
}

}  // namespace
}  // namespace orrery::results
