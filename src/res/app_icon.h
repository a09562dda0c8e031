// The program's icons, drawn in code.
#pragma once

#include <QIcon>
#include <QImage>

namespace kestrel {

// The icon with the given resource id (IDR_MAINFRAME: a kestrel in flight against the sky),
// in 16, 32, 48 and 64 pixel sizes; a null icon for an unknown id.
QIcon LoadAppIcon(int id);

// The main icon drawn at size x size pixels (ARGB, transparent outside its rounded square).
// Needs no window system, so a build step can render it. size < 1 gives a null image.
QImage DrawAppIcon(int size);

}  // namespace kestrel
