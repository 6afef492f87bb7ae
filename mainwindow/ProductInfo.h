#pragma once
// The product's name and addresses, as the windows and boxes show them.

#include <QString>

namespace ProductInfo {

// The title of boxes that carry "the program's own title".
inline QString AppTitle() { return QStringLiteral("Velmora"); }
inline QString TrayTip() { return QStringLiteral("Velmora V3.0 欢迎使用"); }
// The maker's page, shown at the end of the tray's thank-you message and in Label10.
inline QString MakerWebAddress() { return QStringLiteral("https://velmora.example/"); }
inline QString MakerShortAddress() { return QStringLiteral("velmora.example"); }

} // namespace ProductInfo
