#include "orrery/gtk/buffer.hpp"

#include <algorithm>

#include "kelp/data/string.hpp"

namespace orrery::gtk {

GtkTextIter iter_at(GtkTextBuffer* buf, Offset offset) {
  GtkTextIter it;
  gtk_text_buffer_get_iter_at_offset(buf, &it, static_cast<gint>(std::clamp<Offset>(offset, 0, char_count(buf))));
  return it;
}

Offset offset_of(const GtkTextIter& it) { return gtk_text_iter_get_offset(&it); }

Offset char_count(GtkTextBuffer* buf) { return gtk_text_buffer_get_char_count(buf); }

Offset mark_offset(GtkTextBuffer* buf, GtkTextMark* mark) {
  GtkTextIter it;
  gtk_text_buffer_get_iter_at_mark(buf, &it, mark);
  return offset_of(it);
}

std::string text_utf8(GtkTextBuffer* buf, Offset start, Offset end) {
  GtkTextIter a = iter_at(buf, start);
  GtkTextIter b = iter_at(buf, end);
  char* s = gtk_text_buffer_get_slice(buf, &a, &b, TRUE);
  std::string out(s);
  g_free(s);
  return out;
}

std::string text_utf8(GtkTextBuffer* buf) { return text_utf8(buf, 0, char_count(buf)); }

std::u32string text_u32(GtkTextBuffer* buf, Offset start, Offset end) {
  return kelp::to_u32(text_utf8(buf, start, end));
}

std::u32string text_u32(GtkTextBuffer* buf) { return text_u32(buf, 0, char_count(buf)); }

void insert_utf8(GtkTextBuffer* buf, Offset at, std::string_view text) {
  GtkTextIter it = iter_at(buf, at);
  gtk_text_buffer_insert(buf, &it, text.data(), static_cast<gint>(text.size()));
}

void insert(GtkTextBuffer* buf, Offset at, std::u32string_view text) { insert_utf8(buf, at, kelp::to_utf8(text)); }

void erase(GtkTextBuffer* buf, Offset start, Offset end) {
  if (end <= start) return;
  GtkTextIter a = iter_at(buf, start);
  GtkTextIter b = iter_at(buf, end);
  gtk_text_buffer_delete(buf, &a, &b);
}

Offset caret(GtkTextBuffer* buf) { return mark_offset(buf, gtk_text_buffer_get_insert(buf)); }

Span selection_marks(GtkTextBuffer* buf) {
  return {caret(buf), mark_offset(buf, gtk_text_buffer_get_selection_bound(buf))};
}

Snapshot snapshot(GtkTextBuffer* buf) {
  Span m = selection_marks(buf);
  return {text_u32(buf), m.start, std::min(m.start, m.end), std::max(m.start, m.end)};
}

void place_caret(GtkTextBuffer* buf, Offset at) {
  GtkTextIter it = iter_at(buf, at);
  gtk_text_buffer_place_cursor(buf, &it);
}

void select(GtkTextBuffer* buf, Offset ins, Offset bound) {
  GtkTextIter a = iter_at(buf, ins);
  GtkTextIter b = iter_at(buf, bound);
  gtk_text_buffer_select_range(buf, &a, &b);
}

}  // namespace orrery::gtk
