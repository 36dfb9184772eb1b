// The window tests' main: GTK needs its display before any test makes a widget.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!gtk_init_check()) {
    std::fputs("orrery-gui-tests: no display to open a window on; run it through scripts/under_xvfb.sh\n", stderr);
    return 1;
  }
  return RUN_ALL_TESTS();
}
