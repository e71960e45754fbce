#pragma once

// The application icon, rendered from its vector drawing (res::kApplicationIconSvg).

#include <QIcon>
#include <QPixmap>

namespace ui::qt {

// The sizes the window icon is rendered at, in pixels.
inline constexpr int kIconSizes[] = {16, 32, 48, 64};

// The icon with one pixmap per size of kIconSizes.
QIcon applicationIcon();

// The drawing at size x size logical pixels for a device pixel ratio.
QPixmap applicationPixmap(int size, qreal devicePixelRatio = 1.0);

}  // namespace ui::qt
