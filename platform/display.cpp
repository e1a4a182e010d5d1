#include "platform/display.h"

namespace pixkeep {

namespace {
FixedDisplay defaultDisplay;
Display* installed = nullptr;
}  // namespace

Display& currentDisplay() { return installed ? *installed : defaultDisplay; }
void setCurrentDisplay(Display* display) { installed = display; }

}  // namespace pixkeep
