// The records the build-time reader of resources/dialogs.rc writes its table in
// (dialog_templates.inc): the Linux dialog model is made from them, and the DLL's own
// templates are checked against them.
#pragma once

#include <cstddef>
#include <cstdint>

struct DialogControlTemplate {
  int kind;  // PlatformControlKind
  const char* text;
  int id;
  int x, y, cx, cy;
  uint32_t style, ex_style;
};

struct DialogTemplate {
  int id;
  uint32_t style, ex_style;
  int cx, cy;
  int font_size;
  const char* font;
  const char* caption;
  const DialogControlTemplate* controls;
  size_t control_count;
};
