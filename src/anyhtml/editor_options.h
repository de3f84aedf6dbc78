// anyhtml/editor_options.h
//
// The switches the page editor reads for one page, built by CVCfg from the
// user's options. Twelve Boolean bytes (1 on, 0 off) and the minimum image
// size to check, laid out as the editor expects: bytes 0 to 11, then two
// 32-bit integers at offsets 12 and 16. A plain value: copying it gives a
// stable snapshot.

#pragma once

#include <stddef.h>
#include <stdint.h>

namespace cvie {

struct EditorOptions {
  uint8_t check_banner_link = 1;  // 0: links around banner images
  uint8_t filter_image = 1;       // 1: img, image
  uint8_t filter_background = 1;  // 2: body, table, tbody, tr, td backgrounds
  uint8_t filter_flash = 1;       // 3: object, embed
  uint8_t filter_script = 1;      // 4
  uint8_t filter_frame = 1;       // 5: inline frames
  uint8_t filter_css = 1;         // 6: style-sheet links
  uint8_t filter_marquee = 1;     // 7
  uint8_t check_div = 1;          // 8: examine div elements
  uint8_t remove_blocked = 1;     // 9: when 0 blocked content is only marked
  uint8_t collapse_blocked = 1;   // 10: collapse blocked images
  uint8_t highlight = 0;          // 11: highlight instead of hide
  int32_t min_image_width = 10;
  int32_t min_image_height = 10;

  // Byte `index` (0 to 11) of the record; 0 for any other index.
  uint8_t Byte(int index) const {
    return index >= 0 && index < 12 ? reinterpret_cast<const uint8_t*>(this)[index] : 0;
  }
};

static_assert(offsetof(EditorOptions, highlight) == 11);
static_assert(offsetof(EditorOptions, min_image_width) == 12);
static_assert(offsetof(EditorOptions, min_image_height) == 16);
static_assert(sizeof(EditorOptions) == 20);

// The Boolean byte of an option value: 1 exactly when the value is 1.
inline uint8_t OptionByte(int value) { return value == 1 ? 1 : 0; }

}  // namespace cvie
