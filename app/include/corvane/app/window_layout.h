#pragma once

#include <string_view>

namespace corvane::layout {

// The installer window, as both front ends build it: a 620 × 420 content
// area, fixed. Frames are in points with AppKit's origin at the bottom left;
// top() is the distance from the top edge, for toolkits whose origin is there.
inline constexpr int kContentWidth = 620;
inline constexpr int kContentHeight = 420;

struct Frame {
  int x;
  int y;
  int width;
  int height;
  constexpr int top() const { return kContentHeight - y - height; }
};

inline constexpr std::string_view kTitle = "Corvane Installer";

inline constexpr Frame kHeading{28, 362, 560, 28};
inline constexpr std::string_view kHeadingText = "Corvane をインストールしています";
inline constexpr int kHeadingPoints = 20;  // bold

inline constexpr Frame kStatus{28, 336, 500, 20};
inline constexpr std::string_view kInitialStatus = "環境構築を準備しています...";
inline constexpr int kStatusPoints = 13;

inline constexpr Frame kSpinner{558, 334, 24, 24};

// The log's scroll view; the log fills what its border and scroller leave.
inline constexpr Frame kLog{28, 74, 564, 246};
inline constexpr int kLogPoints = 12;  // monospaced, regular

inline constexpr Frame kOpenButton{370, 24, 106, 32};
inline constexpr std::string_view kOpenTitle = "アプリを開く";

inline constexpr Frame kQuitButton{486, 24, 106, 32};
inline constexpr std::string_view kQuitTitle = "閉じる";

}  // namespace corvane::layout
