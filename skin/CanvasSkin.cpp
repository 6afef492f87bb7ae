#include "skin/CanvasSkin.h"

#include "skin/SkinPictures.h"

namespace velmora {

CanvasSkin CanvasSkin::shipped(int set) {
    const QString n = QString::number(set);
    return {SkinPictures::load(QStringLiteral("imgtop") + n), SkinPictures::load(QStringLiteral("imgtopmax") + n),
            SkinPictures::load(QStringLiteral("imgleft") + n), SkinPictures::load(QStringLiteral("imgright") + n),
            SkinPictures::load(QStringLiteral("imgbottom") + n)};
}

} // namespace velmora
