// For programs that drive the history window on Qt 6 from a thread of their own (the Qt test
// and the history benchmark): run code on Qt's GUI thread, find the open window.
#pragma once

#include <QApplication>
#include <QMetaObject>
#include <QWidget>

#include <type_traits>

namespace taviksms::test {

// Runs f on Qt's GUI thread and returns its value.
template <class F>
auto gui(F f) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(qApp, f, Qt::BlockingQueuedConnection);
  } else {
    R r{};
    QMetaObject::invokeMethod(
        qApp, [&] { r = f(); }, Qt::BlockingQueuedConnection);
    return r;
  }
}

// The history window while it is shown; nullptr otherwise.
inline QWidget* history_window() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == "KovaSmsFrm" && w->isVisible()) return w;
  }
  return nullptr;
}

}  // namespace taviksms::test
