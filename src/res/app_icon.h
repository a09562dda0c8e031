// The program's icons, drawn in code.
#pragma once

#include <QIcon>

namespace kestrel {

// The icon with the given resource id (IDR_MAINFRAME: a kestrel in flight against the sky),
// in 16, 32, 48 and 64 pixel sizes; a null icon for an unknown id.
QIcon LoadAppIcon(int id);

}  // namespace kestrel
