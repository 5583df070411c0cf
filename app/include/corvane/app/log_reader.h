#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "corvane/app/log_model.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

// Reading the log, the same on every toolkit: where the reader is in the kept
// output, whether the view follows the end, what is selected, and when the
// view catches up with new output (at most once a frame). A view keeps only
// what its toolkit must do: lay out and draw the rows in view, map points to
// offsets, find words, and speak its platform's accessibility interface.
// Main thread only.
class LogReader final : private LogModel::Observer {
 public:
  static constexpr std::chrono::milliseconds kFrame{16};
  // Frames between updates while a whole page goes by between two.
  static constexpr int kFloodFrames = 8;

  // What changed for the view: the text in it, where it is, the selection,
  // the note on dropped output. A view redraws only that.
  enum Change : unsigned {
    kText = 1U << 0,
    kPlace = 1U << 1,
    kSelection = 1U << 2,
    kNote = 1U << 3
  };
  using Changes = unsigned;

  // What the reader needs of its view. Heights and distances are in the
  // view's units (points, pixels), down from the top.
  class View {
   public:
    virtual ~View() = default;
    // The segment laid out at the view's width: how tall it is.
    virtual double heightOf(const LogModel::Segment& segment) = 0;
    // How far below the segment's top the row holding `offset` begins.
    virtual double rowTopOf(const LogModel::Segment& segment, Offset offset) = 0;
    // The top of the segment's first row that begins at `y` or below it; its
    // height when none does.
    virtual double rowTopFrom(const LogModel::Segment& segment, double y) = 0;
    // The word around the character at `unit` of the segment's display
    // text, as units [first, second): the toolkit's own word finder, since
    // Japanese has no spaces.
    virtual std::pair<Unit, Unit> wordAt(const LogModel::Segment& segment, Unit unit) = 0;
    // What is shown changed. Redraw that, and set the scroller from
    // scroller().
    virtual void readerChanged(Changes changes) = 0;
    // Memory ran short laying out: let go of every layout.
    virtual void forgetLayouts() = 0;

   protected:
    View() = default;
    View(const View&) = default;
    View& operator=(const View&) = default;
  };

  // The top of the view: `y` below the top of the segment's layout.
  struct Place {
    LogModel::Segment segment;
    double y = 0;
    bool operator<(const Place& other) const {
      return segment.from != other.segment.from ? segment.from < other.segment.from : y < other.y;
    }
    bool operator==(const Place&) const = default;
  };

  // The scroller, in bytes of the kept output: where the top is, up to where
  // it can be, and how much is in view. Within a segment the place counts in
  // proportion, so that the knob moves smoothly through a long line.
  struct Scroller {
    double value = 0;
    double range = 0;
    double page = 1;
  };

  enum class Granularity { kCharacter, kWord, kLine };

  // Where the last change lies, for a view that keeps what it drew: the rows
  // moved up by `moved` (down when negative), and from `changedFrom` down
  // they are new; the rest of what was drawn is still right, moved. Heights
  // from the top of the rows' area. `whole`: draw everything again.
  struct Damage {
    bool whole = true;
    double moved = 0;
    double changedFrom = 0;
  };

  LogReader(std::shared_ptr<LogModel> model, std::shared_ptr<MainQueue> mainQueue, View& view);
  ~LogReader() override;
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  LogModel& model() const { return *model_; }
  const std::shared_ptr<LogModel>& sharedModel() const { return model_; }

  // The height rows are shown in. relayout(): the width or the font changed,
  // and every segment is to be measured again.
  void setViewHeight(double height);
  void relayout();

  const Place& top() const { return top_; }
  // The first place of the last page, a whole row at its top: where the top
  // is while following.
  Place endPlace();
  bool showsEnd() { return !(top_ < endPlace()); }
  // The view follows the end while the reader has left it there.
  bool followsEnd() const { return followsEnd_; }
  Scroller scroller();

  // The reader's own moves. Each decides by where it ends whether the view
  // follows the end from now on; nothing else does.
  void scrollBy(double distance);  // down when positive
  void scrollToStart();
  void scrollToEnd();
  void scrollToValue(double value);  // the scroller's
  void scrollToOffset(Offset offset);
  // Puts the row of an offset in the middle of the view; unless `always`,
  // only when it is out of view.
  void centreOn(Offset offset, bool always);

  // The selection, in offsets of the model: the anchor stays where it began,
  // the cursor moves. Clamped to what is kept as old output goes.
  Offset selectionStart() const { return std::min(anchor_, cursor_); }
  Offset selectionEnd() const { return std::max(anchor_, cursor_); }
  Offset cursor() const { return cursor_; }
  bool hasSelection() const { return anchor_ != cursor_; }
  // A press selects the unit around the offset, or with `extend` (Shift)
  // extends the selection to it; a drag then extends by the same unit.
  void press(Offset offset, Granularity unit, bool extend);
  void dragTo(Offset offset);
  void select(Offset anchor, Offset cursor);
  void selectAll();
  // Exactly the text selected, as it is now: what copying gives.
  std::string selectedText() const;
  // The character, word or line around an offset: [first, second).
  std::pair<Offset, Offset> unitAround(Offset offset, Granularity unit);

  // Catches up with the model now, rather than at the next frame.
  void catchUp();

  // What the change the view last heard of did to what it drew.
  const Damage& damage() const { return damage_; }

 private:
  void logDidChange() override;
  std::function<void()> updateLater();
  void frameDue();
  // Takes in what changed in the model; false when memory ran short.
  bool settle();
  double heightOf(const LogModel::Segment& segment);
  Place placeOf(Offset offset);
  // The same place, its y within the segment it falls in, going down.
  Place past(Place place);
  // The place `distance` below another, down when positive.
  Place below(Place place, double distance);
  bool inView(const Place& place);
  struct Snapshot {
    Place top;
    Offset anchor, cursor, begin, end;
  };
  Snapshot snapshot() const;
  // Tells the view what changed since it last heard.
  void notify(Changes changes = 0);
  Damage damageBetween(const Snapshot& before, Changes changes);
  // How far down `to` lies from `from` (up when negative), as far as the
  // view's height; none when it cannot be told.
  std::optional<double> distance(const Place& from, const Place& to);
  double valueOf(const Place& place);
  void moveTo(Place place);

  const std::shared_ptr<LogModel> model_;
  const std::shared_ptr<MainQueue> mainQueue_;
  View& view_;
  // Posted updates hold it weakly: they find the reader gone once it is.
  const std::shared_ptr<LogReader*> self_;
  double viewHeight_ = 1;
  Place top_;
  bool followsEnd_ = true;
  Offset anchor_;
  Offset cursor_;
  Granularity unit_ = Granularity::kCharacter;
  std::pair<Offset, Offset> unitBase_;
  bool updatePosted_ = false;
  std::chrono::steady_clock::time_point lastUpdate_;
  // The end of what was in view at the last update, and whether the output
  // went past a whole page since the one before.
  Offset shownEnd_;
  bool flooding_ = false;
  // Since the last update, while flooding: frames let pass, and whether the
  // current one brought output.
  int framesSkipped_ = 0;
  bool changedThisFrame_ = false;
  // What the view last heard of.
  Snapshot heard_;
  Damage damage_;
};

}  // namespace corvane
