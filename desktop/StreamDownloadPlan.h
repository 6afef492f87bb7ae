#pragma once
// What the stream command is given for a row: a stream (its manifest, or the media playlist of a
// chosen rendition with the audio it needs) or a pair of audio and video files fetched apart, and the
// name of the file it makes. Pure, apart from looking for a free name in the download folder.

#include "stream/StreamRegistry.h"

#include <QString>
#include <QStringList>

#include <vector>

struct StreamChoice {
    int rendition = -1; // index into StreamInfo::renditions
    QString label;      // "720p · 600 kbit/s", "（已播）" added for a played one
    bool played = false;
};

struct StreamDownloadPlan {
    QString input;           // %u
    QString secondInput;     // %v
    QStringList afterInputs; // ffmpeg options choosing the rendition among the inputs' streams
    QString fileName;        // "hlsts.mp4"
    double duration = 0;     // seconds, 0 when unknown or live
    bool drm = false;        // no plain download will play

    // The video renditions a user may choose, highest bandwidth first. The first is the default.
    static std::vector<StreamChoice> Choices(const velmora::StreamInfo& stream);
    // `rendition` is an index into the stream's renditions, or -1 for the default (the highest).
    static StreamDownloadPlan ForStream(const velmora::StreamInfo& stream, int rendition = -1);
    // A row and its partner: the video is the first input.
    static StreamDownloadPlan ForPair(const QString& address, bool addressIsAudio, const QString& partner);

    // A file name in `folder` that does not exist yet: the name itself, else "name (2).ext"...
    static QString FreePath(const QString& folder, const QString& fileName);
};
