// Editing a map written as EDN text while every untouched byte stays as written.
#include "orrery/edn_edit.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::edn_edit {
namespace {

using kelp::Value;

Value edn(std::string_view text) {
  kelp::Result<Value> r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : kelp::NIL;
}

std::vector<Value> path_of(std::string_view vector_text) {
  std::vector<Value> out;
  edn(vector_text).obj()->each([&](const Value& k) {
    out.push_back(k);
    return true;
  });
  return out;
}

enum class Op { Set, Remove, Merge };

struct Case {
  Op op;
  std::string text;
  std::string path;   // a vector of keys (Set, Remove)
  std::string value;  // the value to set, or the map to merge
  std::optional<std::string> expect;
};

std::optional<std::string> run(const Case& c) {
  switch (c.op) {
    case Op::Set: return set_in(c.text, path_of(c.path), edn(c.value));
    case Op::Remove: return remove_in(c.text, path_of(c.path));
    case Op::Merge: return merge_keys(c.text, edn(c.value));
  }
  return std::nullopt;
}

TEST(EdnEdit, EditsOnlyWhatChanges) {
  const Case cases[] = {
      // Replacing a value keeps comments, blank lines, commas and strings or characters that look like syntax.
      {Op::Set, ";; settings\n{:theme :light ; the look\n\n :dialect :jank,\n :s \"a;b [c\" :c \\; :q \\\"}\n",
       "[:theme]", ":nord",
       ";; settings\n{:theme :nord ; the look\n\n :dialect :jank,\n :s \"a;b [c\" :c \\; :q \\\"}\n"},
      {Op::Set, "{:t #inst \"2020-01-01T00:00:00.000-00:00\" :u #{1 2} :v 1}", "[:v]", "2",
       "{:t #inst \"2020-01-01T00:00:00.000-00:00\" :u #{1 2} :v 2}"},
      {Op::Set, "^:m {:a 1}", "[:a]", "2", "^:m {:a 2}"},
      // New entries are laid out like their neighbours.
      {Op::Set, "{:a 1\n :b 2 ; two\n}", "[:c]", "3", "{:a 1\n :b 2 ; two\n :c 3\n}"},
      {Op::Set, "{:a 1, :b 2}", "[:c]", "3", "{:a 1, :b 2, :c 3}"},
      {Op::Set, "{:a 1\r\n :b 2}\r\n", "[:c]", "3", "{:a 1\r\n :b 2\r\n :c 3}\r\n"},
      {Op::Set, "{}", "[:c]", "3", "{:c 3}"},
      {Op::Set, "{\n  ;; nothing yet\n}\n", "[:c]", "3", "{\n  ;; nothing yet\n  :c 3\n}\n"},
      {Op::Set, "{:a 1}\n;; end\n;; more\n", "[:b]", "\"}\"", "{:a 1 :b \"}\"}\n;; end\n;; more\n"},
      // A key inside a discard is not a key of the map, and the discard stays.
      {Op::Set, "{:a 1\n #_:b #_2\n :c 3}", "[:b]", "5", "{:a 1\n #_:b #_2\n :c 3\n :b 5}"},
      {Op::Set, "#:ns{:a 1}", "[:b]", "3", "#:ns{:a 1 :_/b 3}"},
      {Op::Set, "#:ns{:a 1}", "[:ns/a]", "3", "#:ns{:a 3}"},
      // Nested maps: a key deep inside, or a missing map written whole.
      {Op::Set, "{:file-tree {:visible? true ; shown\n             :width 240}}", "[:file-tree :width]", "300",
       "{:file-tree {:visible? true ; shown\n             :width 300}}"},
      {Op::Set, "{:a 1}", "[:plugins :disabled]", "#{:x}", "{:a 1 :plugins {:disabled #{:x}}}"},
      {Op::Set, "{:a 1}", "[:a :b]", "2", std::nullopt},

      // A removed entry alone on its line takes the line, and the comment ending it, with it.
      {Op::Remove, "{:a 1\n :b 2 ; two\n :c 3}", "[:b]", "", "{:a 1\n :c 3}"},
      {Op::Remove, "{:a 1\r\n :b 2\r\n :c 3}", "[:b]", "", "{:a 1\r\n :c 3}"},
      // Sharing a line, it goes with the blanks that separate it.
      {Op::Remove, "{:a 1, :b 2, :c 3}", "[:b]", "", "{:a 1, :c 3}"},
      {Op::Remove, "{:a 1, :b 2, :c 3}", "[:a]", "", "{:b 2, :c 3}"},
      {Op::Remove, "{:a 1}", "[:a]", "", "{}"},
      {Op::Remove, "{:x 0\n :a 1}", "[:a]", "", "{:x 0}"},
      {Op::Remove, "{:a 1\n :b 2}", "[:a]", "", "{:b 2}"},
      {Op::Remove, "{:a 1 ; one\n :b 2}", "[:a]", "", "{\n :b 2}"},
      {Op::Remove, "{:a 1 #_:b #_2 :c 3}", "[:c]", "", "{:a 1 #_:b #_2}"},
      {Op::Remove, "{:file-tree {:visible? true\n             :width 240}}", "[:file-tree :width]", "",
       "{:file-tree {:visible? true}}"},
      {Op::Remove, "{:a 1}", "[:b]", "", "{:a 1}"},
      {Op::Remove, "{:a 1}", "[:b :c]", "", "{:a 1}"},

      // Merging: equal values untouched, a map over a map edited key by key with the keys it leaves out removed.
      {Op::Merge, "{:theme :light\n :file-tree {:visible? true :width 240}}", "", "{:file-tree {:visible? false}}",
       "{:theme :light\n :file-tree {:visible? false}}"},
      {Op::Merge, "{:a [1   2] ; as written\n :b 1}", "", "{:a [1 2] :b 2 :c 3}",
       "{:a [1   2] ; as written\n :b 2\n :c 3}"},
      {Op::Merge, "{:plugins {:trusted-projects [\"/p\"] ; keep\n           :disabled #{:a}}}", "",
       "{:plugins {:trusted-projects [\"/p\"] :disabled #{}}}",
       "{:plugins {:trusted-projects [\"/p\"] ; keep\n           :disabled #{}}}"},
      {Op::Merge, "{:a {:b 1}}", "", "{:a 5}", "{:a 5}"},

      // Text that is not one map is never edited.
      {Op::Set, "[1 2]", "[:a]", "1", std::nullopt},
      {Op::Set, "", "[:a]", "1", std::nullopt},
      {Op::Set, ";; only comments\n", "[:a]", "1", std::nullopt},
      {Op::Merge, "{:a 1", "", "{:a 2}", std::nullopt},
      {Op::Merge, "{:a 1} {:b 2}", "", "{:a 2}", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.path + " " + c.value);
    EXPECT_EQ(run(c), c.expect);
  }
}

TEST(EdnEdit, SetKeyAndRemoveKeyAreOneLevelPaths) {
  const std::string text = "{:a 1 ; one\n :b 2}";
  EXPECT_EQ(set_key(text, edn(":b"), edn("[3]")), "{:a 1 ; one\n :b [3]}");
  EXPECT_EQ(remove_key(text, edn(":b")), "{:a 1 ; one\n}");
}

TEST(EdnEdit, AVectorIsEditedElementByElement) {
  struct VCase {
    std::string text;
    std::string path;
    std::string value;
    std::optional<std::string> expect;
  };
  const VCase cases[] = {
      // Comments between elements and at line ends stay with the elements that keep their place; a removed
      // element alone on its line takes the line and its comment.
      {"{:w [1 ; one\n     ;; keep me\n     2 ; two\n     3]\n :x 0}", "[:w]", "[1 3]",
       "{:w [1 ; one\n     ;; keep me\n     3]\n :x 0}"},
      // A changed element is replaced where it stands, its comment kept.
      {"{:w [1 ; one\n     2 ; two\n     ]}", "[:w]", "[1 7]", "{:w [1 ; one\n     7 ; two\n     ]}"},
      // New elements go on their own lines under their neighbours: after a line-end comment, at the end, first.
      {"{:w [1 ; one\n     2]}", "[:w]", "[1 5 2 6]", "{:w [1 ; one\n     5\n     2\n     6]}"},
      {"{:w [1\n     2]}", "[:w]", "[0 1 2]", "{:w [0\n     1\n     2]}"},
      {"{:w [{:a 1}]\n :x 0}", "[:w]", "[{:a 1} {:b 2}]", "{:w [{:a 1}\n     {:b 2}]\n :x 0}"},
      // An element sharing a line with another.
      {"{:w [1 2\n     3]}", "[:w]", "[1 3]", "{:w [1\n     3]}"},
      {"{:w [1 2\n     3]}", "[:w]", "[2 3]", "{:w [2\n     3]}"},
      {"{:w [1 2\n     3]}", "[:w]", "[1 5 2 3]", "{:w [1 5 2\n     3]}"},
      // An empty vector fills one element a line, aligned after the bracket; comments inside it stay.
      {"{:window []\n :editor []}", "[:window]", "[1 2]", "{:window [1\n          2]\n :editor []}"},
      {"{:w [\n      ;; none yet\n     ]}", "[:w]", "[1]", "{:w [\n      ;; none yet\n     1\n     ]}"},
      // A vector on one line keeps to it; emptied, it is [].
      {"{:w [1 2 3]}", "[:w]", "[1 3 4]", "{:w [1 3 4]}"},
      {"{:w [1, 2]}", "[:w]", "[0 1 2 3]", "{:w [0, 1, 2, 3]}"},
      {"{:w [1 2] :x 0}", "[:w]", "[]", "{:w [] :x 0}"},
      {"{:w [1 #_2 3]}", "[:w]", "[1 3 4]", "{:w [1 #_2 3 4]}"},
      // An absent key is added holding the elements one a line.
      {"{:x 0\n :y 1}", "[:w]", "[1 2]", "{:x 0\n :y 1\n :w [1\n     2]}"},
      {"{:x 0}", "[:w]", "[]", "{:x 0 :w []}"},
      // CRLF line ends are kept and used.
      {"{:w [1\r\n     2 ; two\r\n     3]}\r\n", "[:w]", "[1 3 4]", "{:w [1\r\n     3\r\n     4]}\r\n"},
      // Nested, and through metadata.
      {"{:a {:w [1 ; one\n         2]}}", "[:a :w]", "[2]", "{:a {:w [\n         2]}}"},
      {"{:w ^:m [1 2]}", "[:w]", "[2 1]", "{:w ^:m [2 1]}"},
      // Not a vector on one side: set whole. Not a map: nothing.
      {"{:w {:a 1} ; c\n}", "[:w]", "[1]", "{:w [1] ; c\n}"},
      {"{:w [1] ; c\n}", "[:w]", "5", "{:w 5 ; c\n}"},
      {"[1]", "[:w]", "[1]", std::nullopt},
      {"{:a 1}", "[:a :w]", "[1]", std::nullopt},
  };
  for (const VCase& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.path + " " + c.value);
    std::optional<std::string> out = set_vector_in(c.text, path_of(c.path), edn(c.value));
    EXPECT_EQ(out, c.expect);
  }
  // Elements are written by the printer given.
  auto print = [](const Value& v) { return "#_x " + kelp::print_edn(v); };
  EXPECT_EQ(set_vector("{:w [1]}", edn(":w"), edn("[1 2]"), print),
            "{:w [1\n     #_x 2]}");
}

TEST(EdnEdit, BlankTextHoldsNoForm) {
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank(";; a\n, #_{:a 1}\n"));
  EXPECT_FALSE(is_blank("{}"));
  EXPECT_FALSE(is_blank("{"));
}

}  // namespace
}  // namespace orrery::edn_edit
