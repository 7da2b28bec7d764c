// What `vxaudio review` puts into each page, compiled into the program at
// build time (review/embed.cmake writes their definitions): our page
// template, style and script, and the waveform libraries from npm.
#pragma once

#include <string_view>

namespace vxcli {

extern const std::string_view kReviewTemplate;      // review/page.html
extern const std::string_view kReviewCss;           // review/page.css
extern const std::string_view kReviewScript;        // review/page.js
extern const std::string_view kReviewKonva;         // konva.min.js
extern const std::string_view kReviewWaveformData;  // waveform-data.min.js
extern const std::string_view kReviewPeaks;         // peaks.ext.min.js (uses the two above)

}  // namespace vxcli
