// A GtkTextBuffer seen in code points, as the pure modules count: iterators from offsets, ranges read as u32 text,
// and inserts and deletes at offsets. GTK's UTF-8 is converted only here.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <string_view>

#include "orrery/text.hpp"

namespace orrery::gtk {

GtkTextIter iter_at(GtkTextBuffer* buf, Offset offset);
Offset offset_of(const GtkTextIter& it);
Offset char_count(GtkTextBuffer* buf);
Offset mark_offset(GtkTextBuffer* buf, GtkTextMark* mark);

// The characters in [start, end) (clamped to the buffer), hidden and invisible text included.
std::u32string text_u32(GtkTextBuffer* buf, Offset start, Offset end);
std::u32string text_u32(GtkTextBuffer* buf);
std::string text_utf8(GtkTextBuffer* buf, Offset start, Offset end);
std::string text_utf8(GtkTextBuffer* buf);

void insert(GtkTextBuffer* buf, Offset at, std::u32string_view text);
void insert_utf8(GtkTextBuffer* buf, Offset at, std::string_view text);
void erase(GtkTextBuffer* buf, Offset start, Offset end);

Offset caret(GtkTextBuffer* buf);
// The selection's ends as {insert, bound}: equal when nothing is selected.
Span selection_marks(GtkTextBuffer* buf);
Snapshot snapshot(GtkTextBuffer* buf);
void place_caret(GtkTextBuffer* buf, Offset at);
// Selects [a, b) with the caret (insert mark) at `ins` and the bound at the other end.
void select(GtkTextBuffer* buf, Offset ins, Offset bound);

}  // namespace orrery::gtk
