#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The few things the controller does to the window's controls. Each front end
// implements them over its toolkit's widgets.

class StatusLabel {
 public:
  virtual ~StatusLabel() = default;
  virtual void setText(const std::string& text) = 0;
};

class Spinner {
 public:
  virtual ~Spinner() = default;
  virtual void stopAnimation() = 0;
};

class Button {
 public:
  virtual ~Button() = default;
  virtual void setEnabled(bool enabled) = 0;
};

// Owns the toolkit window; destroying it closes the window.
class Window {
 public:
  virtual ~Window() = default;
};

}  // namespace corvane
