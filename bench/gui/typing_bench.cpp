// Typing in a real window (run it under scripts/under_xvfb.sh): a 5,000-line file open in a tab, keys driven the way
// the key controller drives them. Reports each keystroke's time from the key to the buffer changed and the repaint
// scheduled (p50 and p99 over the run), and the slow-event log's entries after typing 200 characters at a person's
// pace, with the main loop painting between keys.
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/main.hpp"
#include "orrery/slow_events.hpp"

namespace fs = std::filesystem;
using namespace orrery;

namespace {

std::shared_ptr<gtk::Window> open_big_file() {
  static fs::path dir = [] {
    char templ[] = "/tmp/orrery-typing-XXXXXX";
    fs::path d = ::mkdtemp(templ);
    std::ofstream out(d / "big.clj");
    for (int i = 0; i < 1250; ++i) {
      out << "(defn f" << i << " [x]\n  ;; step " << i << "\n  (str \"value \" (* x " << i << ")))\n\n";
    }
    return d;
  }();
  register_runtimes();
  gtk::LaunchOptions o;
  o.cwd = dir;
  o.file = dir / "big.clj";
  return gtk::Window::make(nullptr, o);
}

void pump_for(std::chrono::milliseconds span) {
  auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// One key as the key controller delivers it: the editor's dispatch first, else GTK's own insert.
void key(gtk::Editor& ed, char c) {
  guint keyval = c == '\n' ? GDK_KEY_Return : gdk_unicode_to_keyval(static_cast<guint32>(c));
  if (ed.dispatch_key(keyval, GdkModifierType(0)) == 0) {
    gtk_text_buffer_insert_interactive_at_cursor(ed.buffer(), &c, 1, TRUE);
  }
}

const std::string TYPED = "(defn g [y]\n(let [z (* y 2)]\n(str \"typed \" z)))\n";

void BM_KeystrokeInFiveThousandLines(benchmark::State& state) {
  auto w = open_big_file();
  auto ed = w->active_editor();
  pump_for(std::chrono::milliseconds(500));
  GtkTextIter mid;
  gtk_text_buffer_get_iter_at_line(ed->buffer(), &mid, 2500);
  gtk_text_buffer_place_cursor(ed->buffer(), &mid);
  std::vector<double> us;
  std::size_t i = 0;
  for (auto _ : state) {
    const char c = TYPED[i++ % TYPED.size()];
    auto t0 = std::chrono::steady_clock::now();
    key(*ed, c);
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  ed->set_text("");
  w->request_close();
  pump_for(std::chrono::milliseconds(100));
}
BENCHMARK(BM_KeystrokeInFiveThousandLines)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_TwoHundredCharactersAtAPersonsPace(benchmark::State& state) {
  for (auto _ : state) {
    auto w = open_big_file();
    auto ed = w->active_editor();
    pump_for(std::chrono::milliseconds(800));  // the first full colouring
    GtkTextIter mid;
    gtk_text_buffer_get_iter_at_line(ed->buffer(), &mid, 2500);
    gtk_text_buffer_place_cursor(ed->buffer(), &mid);
    slow_events::clear();
    for (int i = 0; i < 200; ++i) {
      key(*ed, TYPED[i % TYPED.size()]);
      pump_for(std::chrono::milliseconds(i % 8 == 7 ? 120 : 40));  // pauses let repaints run
    }
    pump_for(std::chrono::milliseconds(300));
    auto log = slow_events::current();
    state.counters["slow_events"] = static_cast<double>(log->events.size());
    std::int64_t worst = 0;
    for (const auto& e : log->events) worst = std::max(worst, e.ms);
    state.counters["worst_slow_ms"] = static_cast<double>(worst);
    ed->set_text("");
    w->request_close();
    pump_for(std::chrono::milliseconds(100));
  }
}
BENCHMARK(BM_TwoHundredCharactersAtAPersonsPace)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!gtk_init_check()) {
    std::fputs("orrery-gui-bench: no display; run it through scripts/under_xvfb.sh\n", stderr);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
