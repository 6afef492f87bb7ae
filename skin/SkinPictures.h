#pragma once

#include <QImage>
#include <QString>

namespace velmora {

// The pictures that ship with the skinned controls, compiled in from resources/skin.qrc.
class SkinPictures final {
public:
    // The picture named NAME (file name without ".png"), or a null image when it is missing:
    // the controls draw nothing for a missing picture rather than fail.
    static QImage load(const QString& name);
};

} // namespace velmora
