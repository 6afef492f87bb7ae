#include "skin/SkinPictures.h"

// The resource object sits in a static library; nothing else refers to it, so the linker would drop it
// unless it is registered by hand. Q_INIT_RESOURCE must be used outside any namespace.
static void registerSkinResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(skin);
        return true;
    }();
    (void)done;
}

namespace velmora {

QImage SkinPictures::load(const QString& name) {
    registerSkinResources();
    return QImage(QStringLiteral(":/skin/%1.png").arg(name));
}

} // namespace velmora
