// Loop points written as comments (Vorbis comments of Ogg Vorbis, Opus and FLAC):
// LOOPSTART with LOOPLENGTH or LOOPEND, or LOOP_START with LOOP_END, names in any letter
// case, values in sample frames of the decoded output (48 kHz frames for Opus).
//
// The loop plays frames [start, end): the end is exclusive for every spelling and every
// codec (LOOPSTART + LOOPLENGTH is the first frame after the loop). A start without an end
// loops to the end of the data. A tag that cannot be right is refused with a debugger
// line naming the file, the tag and the reason, and the piece then plays without a loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "source/music_source.h"

namespace sonaflux {

// Reads the loop from `comments` ("KEY=value" each) for a piece of `frames` frames;
// `file` names the file in the refusal lines. Not present when no loop tag is there or
// one of them was refused.
FileLoopPoints ReadLoopTags(const std::vector<std::string>& comments, uint32_t frames,
                            const char* file);

// Markers from the chapter comments of the Vorbis-comment chapter convention (as written
// for Ogg files by chapter tools): CHAPTERnnn=HH:MM:SS.sss and CHAPTERnnnNAME=label, nnn
// 000..999, names in any case; the time becomes the nearest frame at `rate`. Chapters
// whose time cannot be read are skipped. Appended to `out`, which is then sorted by frame.
void ReadChapterMarkers(const std::vector<std::string>& comments, uint32_t rate,
                        std::vector<Marker>& out);

}  // namespace sonaflux
