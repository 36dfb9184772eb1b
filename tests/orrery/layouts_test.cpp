#include "orrery/layouts.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/settings.hpp"
#include "support/temp_dir.hpp"

namespace orrery::layouts {
namespace {

namespace fs = std::filesystem;
using kelp::Value;

Value edn(std::string_view text) {
  kelp::Result<Value> r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : kelp::NIL;
}

TEST(Layouts, NameFromWhatShows) {
  const std::pair<std::string, std::string> cases[] = {
      {"{}", "Editor only"},
      {"{:tree? false :panel nil}", "Editor only"},
      {"{:tree? true :tree-width 200}", "File tree"},
      {"{:panel :trace}", "Trace panel"},
      {"{:tree? true :panel :trace}", "File tree and Trace panel"},
      {"{:tree? true :panel :debugger}", "File tree and Frames panel"},
      {"{:panel :review}", "Editor only"},
  };
  for (const auto& [layout, name] : cases) EXPECT_EQ(layout_name(edn(layout)), name) << layout;
}

TEST(Layouts, Validity) {
  const std::pair<std::string, bool> cases[] = {
      {"{}", true},
      {"{:tree? true :panel :change-sets :tree-width 0 :panel-width 300 :split 12}", true},
      {"{:panel nil}", true},
      {"[]", false},
      {"{:tree? 1}", false},
      {"{:panel :review}", false},
      {"{:panel :history}", false},
      {"{:panel \"trace\"}", false},
      {"{:split -1}", false},
      {"{:tree-width 1.5}", false},
      {"{:panel-width nil}", false},
  };
  for (const auto& [layout, valid] : cases) EXPECT_EQ(is_valid(edn(layout)), valid) << layout;
}

TEST(Layouts, SaveReplacesTheSamePartsAndDropsPanelsThePaletteCannotBringBack) {
  const Value layouts = edn(
      "{\"Trace panel\" {:panel :trace :panel-width 100} \"Mine\" {:tree? false :panel :trace}"
      " \"File tree\" {:tree? true} \"odd\" 5}");
  EXPECT_TRUE(kelp::equiv(save(layouts, edn("{:panel :trace :panel-width 400}")),
                          edn("{\"Trace panel\" {:panel :trace :panel-width 400} \"File tree\" {:tree? true}"
                              " \"odd\" 5}")));
  EXPECT_TRUE(kelp::equiv(save(layouts, edn("{:tree? true :panel :review :split 3}")),
                          edn("{\"Trace panel\" {:panel :trace :panel-width 100} \"Mine\" {:tree? false :panel :trace}"
                              " \"File tree\" {:tree? true :split 3} \"odd\" 5}")));
  EXPECT_TRUE(kelp::equiv(save(kelp::NIL, edn("{}")), edn("{\"Editor only\" {}}")));
}

TEST(Layouts, PaletteEntriesSortedByName) {
  const std::vector<PaletteEntry> expect = {
      {{"layout/use", "Editor only"}, "Use layout: Editor only", "layout"},
      {{"layout/use", "File tree and Trace panel"}, "Use layout: File tree and Trace panel", "layout"},
      {{"layout/use", "Trace panel"}, "Use layout: Trace panel", "layout"},
  };
  EXPECT_EQ(entries(edn("{\"Trace panel\" {:panel :trace} \"Editor only\" {} \"Bad\" {:panel :review} :kw {}"
                        " \"File tree and Trace panel\" {:tree? true :panel :trace}}")),
            expect);
  EXPECT_TRUE(entries(kelp::NIL).empty());
}

TEST(Layouts, SavingToTheFileKeepsEntriesTheLoaderIgnored) {
  orrery::testing::TempDir dir;
  const fs::path path = dir.write("settings.edn",
                                  ";; layouts by hand\n"
                                  "{:theme :nord\n"
                                  " :layouts {\"Review\" {:panel :review} ; kept though unusable\n"
                                  "           \"File tree\" {:tree? true :tree-width 100}}}\n");
  EXPECT_EQ(save_layout(path, edn("{:tree? true :tree-width 250}")), std::nullopt);
  EXPECT_EQ(save_layout(path, edn("{:panel :trace}")), std::nullopt);
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(text,
            ";; layouts by hand\n"
            "{:theme :nord\n"
            " :layouts {\"Review\" {:panel :review} ; kept though unusable\n"
            "           \"File tree\" {:tree? true :tree-width 250}\n"
            "           \"Trace panel\" {:panel :trace}}}\n");
  EXPECT_TRUE(kelp::equiv(*kelp::get(settings::load_settings(path).settings, edn(":layouts")),
                          edn("{\"File tree\" {:tree? true :tree-width 250} \"Trace panel\" {:panel :trace}}")));

  dir.write("settings.edn", "{:layouts [:mine]}");
  EXPECT_EQ(save_layout(path, edn("{}")),
            path.string() + "'s :layouts isn't a map, so it wasn't changed; fix it by hand");
}

}  // namespace
}  // namespace orrery::layouts
