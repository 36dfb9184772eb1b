#include "orrery/bundle_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "orrery/child_process.hpp"

namespace orrery {
namespace {

std::string environment_of_a_child() { return testing::run_program({"/usr/bin/env"}).out; }

TEST(BundleEnv, OutsideABundleTheLibraryPathStays) {
  ::unsetenv("ORRERY_BUNDLE_FRAMEWORKS");
  ::setenv("DYLD_LIBRARY_PATH", "/opt/lib", 1);
  drop_bundle_dyld();
  EXPECT_STREQ(std::getenv("DYLD_LIBRARY_PATH"), "/opt/lib");
  EXPECT_NE(environment_of_a_child().find("DYLD_LIBRARY_PATH=/opt/lib\n"), std::string::npos);
  ::unsetenv("DYLD_LIBRARY_PATH");
}

TEST(BundleEnv, ABundleLaunchKeepsItsVariablesFromChildren) {
  ::setenv("ORRERY_BUNDLE_FRAMEWORKS", "/Applications/Orrery.app/Contents/Frameworks", 1);
  ::setenv("DYLD_LIBRARY_PATH", "/Applications/Orrery.app/Contents/Frameworks", 1);
  drop_bundle_dyld();
  EXPECT_EQ(frameworks(), std::optional<std::string>("/Applications/Orrery.app/Contents/Frameworks"));
  EXPECT_EQ(std::getenv("DYLD_LIBRARY_PATH"), nullptr);
  EXPECT_EQ(std::getenv("ORRERY_BUNDLE_FRAMEWORKS"), nullptr);
  auto env = environment_of_a_child();
  EXPECT_EQ(env.find("DYLD_LIBRARY_PATH"), std::string::npos);
  EXPECT_EQ(env.find("ORRERY_BUNDLE_FRAMEWORKS"), std::string::npos);
}

}  // namespace
}  // namespace orrery
