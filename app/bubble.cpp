#include "app/bubble.h"

namespace vt::app {

void show_bubble(const QString& /*text*/, QWidget* /*owner*/) {}
void remove_bubble() {}

} // namespace vt::app
