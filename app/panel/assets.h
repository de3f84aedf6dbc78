// app/panel/assets.h
//
// The control panel's style sheet and script, compiled into the program.

#pragma once

namespace cvie::panel {

extern const char kPanelCss[];
extern const char kPanelJs[];

}  // namespace cvie::panel
