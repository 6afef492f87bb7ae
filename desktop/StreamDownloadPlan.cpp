#include "desktop/StreamDownloadPlan.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

namespace {

using velmora::StreamInfo;
using velmora::StreamRendition;

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// Players' manifests and segments are mostly called "master.m3u8" or "index.m3u8": the folder above
// names the title better.
bool isGenericStem(const QString& stem) {
    static const QStringList generic{QStringLiteral("master"),   QStringLiteral("index"),     QStringLiteral("playlist"),
                                     QStringLiteral("manifest"), QStringLiteral("stream"),    QStringLiteral("chunklist"),
                                     QStringLiteral("prog_index"), QStringLiteral("videoplayback"), QStringLiteral("main"),
                                     QStringLiteral("video"),    QStringLiteral("audio"),     QStringLiteral("play")};
    return stem.isEmpty() || generic.contains(stem, Qt::CaseInsensitive);
}

QString cleanName(QString name) {
    static const QString kForbidden = QStringLiteral("/\\:*?\"<>|");
    for (QChar& c : name)
        if (c.unicode() < 0x20 || kForbidden.contains(c))
            c = QLatin1Char('_');
    name = name.trimmed();
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    return name.left(80);
}

QString stemOf(const QString& address) {
    const QUrl url(address);
    const QStringList parts = url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString stem = parts.isEmpty() ? QString() : QFileInfo(parts.back()).completeBaseName();
    if (isGenericStem(stem)) {
        const QString folder = parts.size() >= 2 ? QFileInfo(parts[parts.size() - 2]).completeBaseName() : QString();
        stem = !isGenericStem(folder) ? folder : !stem.isEmpty() ? stem : url.host();
    }
    stem = cleanName(stem);
    return stem.isEmpty() ? QStringLiteral("stream") : stem;
}

QString rateText(std::uint64_t bandwidth) {
    if (bandwidth >= 1000000)
        return QString::number(bandwidth / 1e6, 'f', 1) + QStringLiteral(" Mbit/s");
    return QString::number(bandwidth / 1000) + QStringLiteral(" kbit/s");
}

} // namespace

std::vector<StreamChoice> StreamDownloadPlan::Choices(const StreamInfo& stream) {
    std::vector<StreamChoice> choices;
    for (std::size_t i = 0; i < stream.renditions.size(); ++i) {
        const StreamRendition& r = stream.renditions[i];
        if (r.audio)
            continue;
        QString label = text(r.label);
        if (r.bandwidth > 0)
            label += QStringLiteral(" · ") + rateText(r.bandwidth);
        if (r.played)
            label += QStringLiteral("（已播）");
        choices.push_back({static_cast<int>(i), label, r.played});
    }
    std::stable_sort(choices.begin(), choices.end(), [&stream](const StreamChoice& a, const StreamChoice& b) {
        return stream.renditions[a.rendition].bandwidth > stream.renditions[b.rendition].bandwidth;
    });
    return choices;
}

StreamDownloadPlan StreamDownloadPlan::ForStream(const StreamInfo& stream, int rendition) {
    StreamDownloadPlan plan;
    plan.input = text(stream.address);
    plan.duration = stream.live ? 0 : stream.duration;
    plan.drm = stream.drm;
    bool video = stream.renditions.empty();
    for (const StreamRendition& r : stream.renditions)
        video = video || !r.audio;
    plan.fileName = stemOf(plan.input) + (video ? QStringLiteral(".mp4") : QStringLiteral(".m4a"));

    const std::vector<StreamChoice> choices = Choices(stream);
    if (rendition < 0 || choices.empty() || rendition == choices.front().rendition ||
        rendition >= static_cast<int>(stream.renditions.size()) || stream.renditions[rendition].audio)
        return plan; // ffmpeg takes the best picture of the manifest by itself
    const StreamRendition& chosen = stream.renditions[rendition];
    if (stream.kind == StreamInfo::Kind::Hls && !chosen.address.empty()) {
        // The variant's own playlist, with the audio rendition it plays beside (the played one first).
        plan.input = text(chosen.address);
        const StreamRendition* audio = nullptr;
        for (const StreamRendition& r : stream.renditions)
            if (r.audio && !r.address.empty() && (!audio || (r.played && !audio->played)))
                audio = &r;
        if (audio)
            plan.secondInput = text(audio->address);
        return plan;
    }
    // DASH: one manifest; ffmpeg numbers its video streams in the manifest's order.
    int videoIndex = 0;
    for (int i = 0; i < rendition; ++i)
        videoIndex += stream.renditions[i].audio ? 0 : 1;
    plan.afterInputs = {QStringLiteral("-map"), QStringLiteral("0:v:%1").arg(videoIndex), QStringLiteral("-map"),
                        QStringLiteral("0:a:0?")};
    return plan;
}

StreamDownloadPlan StreamDownloadPlan::ForPair(const QString& address, bool addressIsAudio, const QString& partner) {
    StreamDownloadPlan plan;
    plan.input = addressIsAudio ? partner : address;
    plan.secondInput = addressIsAudio ? address : partner;
    plan.fileName = stemOf(plan.input) + QStringLiteral(".mp4");
    return plan;
}

QString StreamDownloadPlan::FreePath(const QString& folder, const QString& fileName) {
    const QDir dir(folder);
    const QFileInfo name(fileName);
    const QString stem = name.completeBaseName();
    const QString suffix = name.suffix().isEmpty() ? QString() : QLatin1Char('.') + name.suffix();
    QString path = dir.filePath(fileName);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix));
    return path;
}
