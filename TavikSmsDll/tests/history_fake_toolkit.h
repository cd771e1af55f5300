// A window toolkit that records what the history window asks of it and answers from its fields;
// it "shows" the window by running the load rules and a scripted list of user actions.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "history_window/history_window.h"

namespace taviksms::test {

struct FakeToolkit : history::HistoryToolkit {
  struct MessageBox {
    std::u16string text;
    unsigned icon;
    std::u16string title;
  };

  // Screen and window.
  double tpp_x = 15, tpp_y = 15;
  std::int32_t screen_w = 1920 * 15, screen_h = 1080 * 15;
  std::int32_t frame_w = 240, frame_h = 570;  // borders and title bar, twips
  std::int32_t left = -1, top = -1, width = 0, height = 0, grid_w = 0, grid_h = 0;
  std::vector<std::string> geometry_calls;  // "left", "top", ... in call order
  history::Date today_value{2024, 3, 5};
  char16_t date_sep = u'/';

  // Controls.
  std::u16string picker_text[2];
  history::Date picker[2];
  std::shared_ptr<const history::GridData> grid;
  std::vector<int> pointers;
  std::vector<MessageBox> boxes;
  std::vector<history::SaveDialogRequest> dialogs;
  std::vector<history::SaveDialogAnswer> dialog_answers;  // consumed in order

  // What the "user" does while the window is shown.
  std::vector<std::function<void(history::WindowEvents&)>> script;
  int showings = 0;

  double twips_per_pixel_x() override { return tpp_x; }
  double twips_per_pixel_y() override { return tpp_y; }
  std::int32_t screen_width() override { return screen_w; }
  std::int32_t screen_height() override { return screen_h; }

  std::u16string show_modal(history::WindowEvents& events,
                            std::shared_ptr<const history::GridData> g) override {
    ++showings;
    left = top = -1;
    width = history::kClientWidth + frame_w;
    height = history::kClientHeight + frame_h;
    grid_w = 13920;
    grid_h = 6495;
    geometry_calls.clear();
    grid = std::move(g);
    events.on_load();
    events.on_resize(width, height);
    for (auto& step : script) step(events);
    return {};
  }

  std::int32_t window_width() override { return width; }
  std::int32_t window_height() override { return height; }
  void set_window_left(std::int32_t t) override { geometry_calls.push_back("left"), left = t; }
  void set_window_top(std::int32_t t) override { geometry_calls.push_back("top"), top = t; }
  void set_window_width(std::int32_t t) override { geometry_calls.push_back("width"), width = t; }
  void set_window_height(std::int32_t t) override {
    geometry_calls.push_back("height"), height = t;
  }
  void set_grid_width(std::int32_t t) override { grid_w = t; }
  void set_grid_height(std::int32_t t) override { grid_h = t; }
  void set_mouse_pointer(int code) override { pointers.push_back(code); }
  void show_grid(std::shared_ptr<const history::GridData> g) override { grid = std::move(g); }
  bool set_picker_text(int n, const std::u16string& text) override {
    auto d = history::parse_iso_date(text);
    if (!d) return false;
    picker_text[n - 1] = text;
    picker[n - 1] = *d;
    return true;
  }
  history::Date picker_value(int n) override { return picker[n - 1]; }
  history::SaveDialogAnswer show_save_dialog(const history::SaveDialogRequest& r) override {
    dialogs.push_back(r);
    if (dialog_answers.empty()) return {true, {}};
    auto a = dialog_answers.front();
    dialog_answers.erase(dialog_answers.begin());
    return a;
  }
  void message_box(const std::u16string& text, unsigned icon,
                   const std::u16string& title) override {
    boxes.push_back({text, icon, title});
  }
  history::Date today() override { return today_value; }
  char16_t date_separator() override { return date_sep; }
  char16_t time_separator() override { return u':'; }
};

// Installs `tk` as the calling thread's toolkit for the guard's life.
struct ScopedToolkit {
  explicit ScopedToolkit(history::HistoryToolkit& tk) { history::set_thread_toolkit(&tk); }
  ~ScopedToolkit() { history::set_thread_toolkit(nullptr); }
};

}  // namespace taviksms::test
