#pragma once

// What a log view driven from outside reports (tests/e2e/log_view_driven.py),
// the same for the Qt probe and the AppKit check. The driver sends real
// pointer and key events, then a sync key (Pause); on that key the probe answers
// the driver's questions and writes what a reader would see, in screen
// pixels from the top left.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "corvane/app/log_view_core.h"

namespace corvane::testing {

// The output the driven views show: numbered lines, every seventh long
// enough to wrap, then lines a reader picks from.
inline std::string ProbeText(int lines) {
  std::string text;
  for (int i = 1; i <= lines; ++i) {
    text += "line " + std::to_string(i) + " " + std::string(i % 7 == 0 ? 150 : 20, 'x') + "\n";
  }
  std::string longLine = "{2 ";
  while (longLine.size() < 10'000) longLine += "abcあいう";
  text += longLine + " 2}\n";
  static constexpr char kLineEnds[] = "{1 crlf\r\ncr\rls\u2028ps\u2029nul\0 tab\t😀 あ 1}\n";
  text += std::string(kLineEnds, sizeof kLineEnds - 1);
  return text + "「設定」を開いてください\nok 👍🏽 done\nthe last line\n";
}

// At most `limit` bytes of UTF-8, whole characters.
inline std::string_view Prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0U) == 0x80U) --limit;
  return text.substr(0, limit);
}

inline std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

inline std::string JsonRect(const std::optional<ViewRect>& rect) {
  if (!rect) return "null";
  std::ostringstream out;
  out << "[" << rect->x << ", " << rect->y << ", " << rect->width << ", " << rect->height << "]";
  return out.str();
}

// The toolkit's own scroller, as drawn.
struct ProbeScroller {
  bool shown = false;
  bool enabled = false;
  double value = 0;
  double knob = 0;
  ViewRect knobRect;
  ViewRect track;
};

// What the probe shows and where, and the toolkit's answers.
struct ProbeView {
  LogViewCore& core;
  // The view's geometry to the screen's.
  std::function<ViewRect(const ViewRect&)> toScreen;
  // The view's own bounds, in its geometry.
  ViewRect bounds;
  ProbeScroller scroller;
  // What the toolkit's general clipboard holds, where the driver cannot
  // read it from outside.
  std::optional<std::string> clipboard;
  // The items of a menu open over the window: title, enabled, box, and
  // whether the pointer has it.
  struct MenuItem {
    std::string title;
    bool enabled = false;
    ViewRect box;
    bool highlighted = false;
  };
  std::vector<MenuItem> menu;
  // The find bar: shown or not, the keys at its field or at the log, what
  // its field holds, the count as it shows it (or, on a Mac, as VoiceOver
  // last heard it), its match-case box, and the matches the system's finder
  // highlights in view.
  struct Find {
    bool shown = false;
    bool fieldKeys = false;
    bool logKeys = false;
    std::string field;
    std::string status;
    std::optional<ViewRect> matchCase;
    std::vector<ViewRect> highlights;
  } find;
};

// Answers the driver's questions (one a line: "sync N", the report's name;
// "boxes TEXT", those of each place TEXT starts in view; "append N", N more
// lines; "long B A TEXT", a line of TEXT with B bytes before it and A after)
// and writes the report to `path`, by renaming, so that the driver never
// reads half of it.
inline void WriteProbeReport(const std::string& path, ProbeView view) {
  LogViewCore& core = view.core;
  const LogStore& store = core.store();
  std::string boxes;
  int sync = 0;
  std::ifstream ask(path + ".ask");
  for (std::string line; std::getline(ask, line);) {
    const auto more = [&](const std::string& text) {
      core.model().append(text);
      core.reader().catchUp();
    };
    if (line.rfind("long ", 0) == 0) {
      std::istringstream words(line.substr(5));
      std::size_t before = 0;
      std::size_t after = 0;
      std::string text;
      std::getline(words >> before >> after >> std::ws, text);
      more(std::string(before, 'z') + text + std::string(after, 'z') + "\n");
    } else if (line.rfind("boxes ", 0) == 0) {
      // Those that start in view.
      const std::string what = line.substr(6);
      const Offset from = core.offsetOf(core.visibleRange().from);
      const Offset to = core.offsetOf(core.visibleRange().to);
      const std::string text = store.text(from, std::min(to + what.size(), store.endOffset()));
      std::string list;
      for (std::size_t at = text.find(what); at != std::string::npos && from + at < to;
           at = text.find(what, at + 1)) {
        list += (list.empty() ? "" : ", ") +
                JsonRect(view.toScreen(core.frameFor(from + at, from + at + what.size())));
      }
      boxes += (boxes.empty() ? "" : ", ") + JsonString(what) + ": [" + list + "]";
    } else if (line.rfind("sync ", 0) == 0) {
      sync = std::stoi(line.substr(5));
    } else if (line.rfind("append ", 0) == 0) {
      const int count = std::stoi(line.substr(7));
      std::string lines;
      for (int i = 0; i < count; ++i) lines += "appended " + std::to_string(i) + " 😀\n";
      more(lines);
    }
  }
  auto lineOf = [&](Offset offset) {
    const Line line = store.lineAt(offset);
    return std::string(Prefix(store.text(store.lineStart(line), store.lineEnd(line)), 80));
  };
  const std::string selected = core.reader().selectedText();
  const ProbeView::Find& find = view.find;
  std::string highlights;
  for (const ViewRect& box : find.highlights) {
    highlights += (highlights.empty() ? "" : ", ") + JsonRect(view.toScreen(box));
  }
  const ProbeScroller& bar = view.scroller;
  std::ostringstream out;
  out << "{\"sync\": " << sync << ", \"top\": "
      << JsonString(lineOf(core.caretAt({LogViewCore::kMargin + 1, core.textTop() + 1})))
      << ", \"place\": [" << core.reader().top().segment.line.value() << ", "
      << core.reader().top().y << "], \"follows\": " << core.reader().followsEnd()
      << ", \"selection\": " << JsonString(Prefix(selected, 20'000))
      << ", \"selectionLength\": " << selected.size()
      << ", \"selectionLine\": " << JsonString(lineOf(core.reader().selectionStart()))
      << ", \"keptBytes\": " << store.keptBytes()
      << ", \"keptLines\": " << store.endLine() - store.firstLine()
      << ", \"droppedLines\": " << store.droppedLines()
      << ", \"scroller\": {\"shown\": " << bar.shown << ", \"enabled\": " << bar.enabled
      << ", \"value\": " << bar.value << ", \"knob\": " << bar.knob
      << ", \"knobRect\": " << JsonRect(bar.knobRect) << ", \"track\": " << JsonRect(bar.track)
      << "}, \"view\": " << JsonRect(view.toScreen(view.bounds));
  out << ", \"menu\": [";
  for (std::size_t i = 0; i < view.menu.size(); ++i) {
    out << (i == 0 ? "" : ", ") << "{\"title\": " << JsonString(view.menu[i].title)
        << ", \"enabled\": " << view.menu[i].enabled << ", \"box\": " << JsonRect(view.menu[i].box)
        << ", \"highlighted\": " << view.menu[i].highlighted << "}";
  }
  out << "], \"find\": {\"shown\": " << find.shown << ", \"fieldKeys\": " << find.fieldKeys
      << ", \"logKeys\": " << find.logKeys << ", \"field\": " << JsonString(find.field)
      << ", \"status\": " << JsonString(find.status)
      << ", \"matchCase\": " << JsonRect(find.matchCase) << ", \"highlights\": [" << highlights
      << "]}, \"boxes\": {" << boxes << "}";
  if (view.clipboard) out << ", \"clipboard\": " << JsonString(*view.clipboard);
  out << "}\n";
  std::ofstream(path + ".new") << out.str();
  std::rename((path + ".new").c_str(), path.c_str());
}

}  // namespace corvane::testing
