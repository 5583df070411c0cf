#pragma once

#import <AppKit/AppKit.h>

#include <memory>

#include "corvane/app/log_model.h"

namespace corvane::macos {
struct LogViewState;
}

// The installer's log: a text view over a stretch of the log model (a few
// hundred KB at most, one paragraph per segment, NUL as ␀), so that the text
// system never holds more than it lays out quickly, however long the output.
// While the reader stays at the end, the stretch is the end and moves with
// it; scrolled back, it stays, and earlier or later output is paged in at
// its edges. Copying gives back exactly the model's text, line ends and NUL
// included; select all takes everything kept.
@interface CorvaneLogView : NSTextView {
  // Here rather than in the @implementation, for GCC's Objective-C runtime.
  std::unique_ptr<corvane::macos::LogViewState> _state;
  NSTextStorage* _text;
  NSDictionary* _attributes;
}
// The text view and its scroll view, the note on dropped output inside it.
+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<corvane::LogModel>)model;
- (std::shared_ptr<corvane::LogModel>)model;
@end

// The log's scroll view, with room at its top, inside the border, for the
// dimmed one-line note on how much earlier output was dropped.
@interface CorvaneLogScrollView : NSScrollView {
  NSTextField* _note;
}
// Shows the note; nil or empty hides it.
- (void)setNote:(NSString*)note;
@end
