#include "orrery/restarts.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace orrery::restarts {
namespace {

std::string unresolved(std::string_view name) {
  return "Unable to resolve symbol: " + std::string(name) + " in this context";
}

TEST(RestartsMissingName, ReadsTheUnresolvedSymbol) {
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases{
      {unresolved("frob"), "frob"},
      {"Syntax error compiling at (REPL:1:1).\n" + unresolved("frob") + "\n", "frob"},
      {"Error [CompilerException]: " + unresolved("*x*?!") + "\nLocation: line 3", "*x*?!"},
      {unresolved("λ-fn"), "λ-fn"},
      {unresolved("foo/bar"), std::nullopt},    // qualified
      {unresolved("1st"), std::nullopt},        // not symbols
      {unresolved("#tag"), std::nullopt},
      {unresolved(":kw"), std::nullopt},
      {unresolved("'q"), std::nullopt},
      {unresolved(""), std::nullopt},
      {unresolved("a,b"), std::nullopt},         // the run must end at the sentence's end
      {unresolved("x@y"), std::nullopt},
      {"Unable to resolve symbol: frob", std::nullopt},
      {"Divide by zero", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(missing_name(c.text), c.want) << c.text;
}

std::vector<std::string> labels(const std::vector<Option>& os) {
  std::vector<std::string> out;
  for (const Option& o : os) out.push_back(std::string(option_name(o.id)) + ":" + o.label);
  return out;
}

TEST(RestartsOptions, DependOnWhereTheCodeCameFromAndWhatWasMissing) {
  struct Case {
    std::optional<Failure> failure;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases{
      {std::nullopt, {}},
      {Failure{FailureKind::Run, "(frob)", "t1", unresolved("frob")}, {"retry:Retry"}},
      {Failure{FailureKind::Repl, "(/ 1 0)", "", "Divide by zero"}, {"retry:Retry", "edit:Edit and retry"}},
      {Failure{FailureKind::Selection, "(frob)", "t1", std::nullopt}, {"retry:Retry", "edit:Edit and retry"}},
      {Failure{FailureKind::Form, "(frob 1)", "t2", unresolved("frob")},
       {"retry:Retry", "edit:Edit and retry", "define:Define frob and retry"}},
      {Failure{FailureKind::Repl, "(a/b)", "", unresolved("a/b")}, {"retry:Retry", "edit:Edit and retry"}},
  };
  for (const Case& c : cases) EXPECT_EQ(labels(options(c.failure)), c.want) << (c.failure ? c.failure->code : "none");
}

TEST(RestartsDefineInput, DefinitionLineBeforeTheCodeWithTheCaretForTheValue) {
  EXPECT_EQ(define_input("frob", "(frob 1)"), (EditInput{"(def frob )\n(frob 1)", 10}));
  // The caret counts characters, not bytes.
  EXPECT_EQ(define_input("λ", "(λ)"), (EditInput{"(def λ )\n(λ)", 7}));
}

TEST(RestartsRecordFailure, ErrorsSetOkClearsAnythingElseLeaves) {
  FailureSlot slot;
  Failure where{FailureKind::Form, "(frob 1)", "t2", "stale text"};
  auto text_of = [](const eval::Result& r) { return *r.error_text + "!"; };
  auto with_status = [](eval::Status s) {
    eval::Result r;
    r.status = s;
    r.error_text = "boom";
    return r;
  };

  record_failure(slot, where, with_status(eval::Status::Error), text_of);
  Failure want = where;
  want.error_text = "boom!";
  EXPECT_EQ(slot.get(), want);

  record_failure(slot, Failure{FailureKind::Repl, "x", "", {}}, with_status(eval::Status::Interrupted), text_of);
  record_failure(slot, Failure{FailureKind::Repl, "x", "", {}}, with_status(eval::Status::Notice), text_of);
  EXPECT_EQ(slot.get(), want);

  record_failure(slot, where, with_status(eval::Status::Ok), text_of);
  EXPECT_EQ(slot.get(), std::nullopt);
}

TEST(RestartsRecordFailure, AFailingErrorTextStillRecordsTheFailure) {
  FailureSlot slot;
  Failure where{FailureKind::Repl, "(boom)", "", "stale text"};
  eval::Result r;
  r.status = eval::Status::Error;
  EXPECT_NO_THROW(record_failure(slot, where, r, [](const eval::Result&) -> std::string {
    throw std::runtime_error("cannot format");
  }));
  Failure want = where;
  want.error_text.reset();
  EXPECT_EQ(slot.get(), want);
  EXPECT_EQ(labels(options(slot.get())), (std::vector<std::string>{"retry:Retry", "edit:Edit and retry"}));
}

}  // namespace
}  // namespace orrery::restarts
