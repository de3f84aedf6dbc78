// The platform's own ui where there is no system ui to call: a ConsoleUi on
// stderr that asks nothing (the Windows build has platform/win/ui.cc).

#include "platform/ui.h"

namespace cvie::platform {

Ui& SystemUi() {
  // Never destroyed: boxes may still be shown while the process ends.
  static ConsoleUi* ui = new ConsoleUi(stderr, nullptr, false);
  return *ui;
}

}  // namespace cvie::platform
