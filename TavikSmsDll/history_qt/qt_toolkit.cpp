// The history window on Qt 6 Widgets. Qt has one GUI thread per process: the host's, when the
// host is itself a Qt application, otherwise a thread this plug-in starts on first use. The
// window lives there; the window's events (the query, the save) run on the thread that called
// SmsHist, whose session they use, and reach the widgets through blocking calls to the GUI
// thread.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QDateEdit>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QPixmapCache>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QThread>

#include <atomic>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "history_window/history_window.h"

namespace taviksms::history::qt {

namespace {

QString qs(const std::u16string& s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}
QString qs(std::u16string_view s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}
std::u16string u16(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()),
                        static_cast<std::size_t>(s.size()));
}

// Can a client connect to the X display the environment names? Empty when it can.
std::string x_display_problem(const char* display) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!xcb) return "no display: libxcb.so.1 is missing";
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto has_error = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
  if (!connect || !has_error || !disconnect) return "no display: libxcb is unusable";
  void* c = connect(nullptr, nullptr);
  const bool bad = has_error(c) != 0;
  disconnect(c);
  if (bad) return std::string("no display: cannot connect to display ") + display;
  return {};
}

// Does the Wayland compositor's socket (WAYLAND_DISPLAY, relative to XDG_RUNTIME_DIR unless it
// is a path) accept a connection?
bool wayland_socket_answers(const std::string& name) {
  std::string path = name;
  if (path.front() != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    path = std::string(runtime) + "/" + name;
  }
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) return false;
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Qt ends the process when the platform plugin it is told to use cannot be loaded.
bool wayland_plugin_present() {
  QStringList folders = {QLibraryInfo::path(QLibraryInfo::PluginsPath)};
  folders += qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
  for (const QString& folder : folders) {
    if (!QDir(folder + QStringLiteral("/platforms"))
             .entryList({QStringLiteral("libqwayland*")}, QDir::Files)
             .isEmpty()) {
      return true;
    }
  }
  return false;
}

// Is there a display Qt can open? Without one Qt ends the whole process. An X display comes
// first; a Wayland session without one (WAYLAND_DISPLAY only) counts as a display too.
struct DisplayChoice {
  std::string problem;   // empty: there is one
  bool wayland = false;  // start Qt on the Wayland platform plugin
};

DisplayChoice choose_display() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && !platform.startsWith("xcb")) return {};
  const char* display = std::getenv("DISPLAY");
  std::string problem = "no display: DISPLAY is not set";
  if (display && *display) {
    problem = x_display_problem(display);
    if (problem.empty()) return {};
  }
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (platform.isEmpty() && wayland && *wayland) {  // QT_QPA_PLATFORM=xcb asks for X only
    if (!wayland_socket_answers(wayland)) {
      return {std::string("no display: cannot connect to Wayland display ") + wayland};
    }
    if (!wayland_plugin_present()) return {"no display: the Qt Wayland platform plugin is missing"};
    return {{}, true};
  }
  return {problem};
}

// The GUI thread and the way onto it.
class Gui {
 public:
  static Gui& instance() {
    static Gui* gui = new Gui;  // lives until exit; shut down by the atexit handler
    return *gui;
  }

  // Empty, or why no window can be shown.
  std::string start() {
    std::lock_guard lock(mutex_);
    if (app_) return {};
    if (QCoreApplication* existing = QCoreApplication::instance()) {
      app_ = qobject_cast<QApplication*>(existing);
      if (!app_) return "the host's Qt application has no widgets";
      return {};
    }
    const DisplayChoice choice = choose_display();
    if (!choice.problem.empty()) return choice.problem;
    std::promise<QApplication*> ready;
    auto made = ready.get_future();
    thread_ = std::thread([&ready, wayland = choice.wayland] {
      static char name[] = "taviksms";
      static char option[] = "-platform";
      static char plugin[] = "wayland";
      static char* argv[] = {name, option, plugin, nullptr};
      static int argc = wayland ? 3 : 1;
      const std::string host_locale = std::setlocale(LC_ALL, nullptr);
      auto* app = new QApplication(argc, argv);
      std::setlocale(LC_ALL, host_locale.c_str());  // Qt sets the environment's locale
      QApplication::setQuitOnLastWindowClosed(false);
      // The pixmap cache is made now, before stop() is registered to run at exit, so that
      // stop() runs first and empties it on this thread (below) before the exit handlers
      // destroy it on another one: otherwise its timer of this thread dies off it.
      QPixmap none;
      QPixmapCache::find(QStringLiteral("taviksms"), &none);
      ready.set_value(app);
      QApplication::exec();
      QPixmapCache::clear();  // its flush timer belongs to this thread
      delete app;
    });
    app_ = made.get();
    own_thread_ = true;
    std::atexit([] { Gui::instance().stop(); });
    return {};
  }

  bool on_gui_thread() const { return QThread::currentThread() == app_->thread(); }

  // Runs `f` on the GUI thread and waits for it; its exception comes back here.
  void run(const std::function<void()>& f) {
    if (on_gui_thread()) {
      f();
      return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        app_,
        [&] {
          try {
            f();
          } catch (...) {
            failure = std::current_exception();
          }
        },
        Qt::BlockingQueuedConnection);
    if (failure) std::rethrow_exception(failure);
  }

  void stop() {
    if (!own_thread_ || !thread_.joinable()) return;
    QMetaObject::invokeMethod(
        app_, [] { QApplication::quit(); }, Qt::QueuedConnection);
    thread_.join();
  }

 private:
  std::mutex mutex_;
  QApplication* app_ = nullptr;
  std::thread thread_;
  bool own_thread_ = false;
};

// Work the GUI thread hands to the thread that called SmsHist, until the window closes.
class CallerQueue {
 public:
  void post(std::function<void()> f) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(f));
    }
    cv_.notify_one();
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    cv_.notify_one();
  }
  // Runs tasks until closed; an event's exception ends the window with it.
  void serve() {
    for (;;) {
      std::function<void()> f;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return closed_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // closed, nothing left
        f = std::move(tasks_.front());
        tasks_.pop_front();
      }
      f();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
};

bool is_number(const std::u16string& s) {
  if (s.empty()) return false;
  bool ok = false;
  qs(s).trimmed().toDouble(&ok);
  return ok;
}

Qt::Alignment qt_align(Align a, const std::u16string& text) {
  switch (a) {
    case Align::left:
      return Qt::AlignLeft | Qt::AlignVCenter;
    case Align::centre:
      return Qt::AlignCenter;
    case Align::general:
      break;
  }
  return (is_number(text) ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
}

// Row 0 of the grid is the horizontal header, column 0 the vertical one; the model holds the
// rest, reading the shared grid data directly (no item object per cell).
class GridModel : public QAbstractTableModel {
 public:
  void set_grid(std::shared_ptr<const GridData> g) {
    beginResetModel();
    grid_ = std::move(g);
    endResetModel();
  }
  const GridData* grid() const { return grid_.get(); }

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() || !grid_ || grid_->rows < 1 ? 0 : grid_->rows - 1;
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() || !grid_ || grid_->cols < 1 ? 0 : grid_->cols - 1;
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid()) return {};
    const int r = index.row() + 1, c = index.column() + 1;
    if (role == Qt::DisplayRole) return qs(grid_->cell(r, c));
    if (role == Qt::TextAlignmentRole) {
      return QVariant::fromValue(qt_align(grid_->cell_align[c], grid_->cell(r, c)));
    }
    return {};
  }
  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    if (!grid_) return {};
    const bool h = o == Qt::Horizontal;
    const int r = h ? 0 : section + 1, c = h ? section + 1 : 0;
    if (r >= grid_->rows || c >= grid_->cols) return {};
    if (role == Qt::DisplayRole) return qs(grid_->cell(r, c));
    if (role == Qt::TextAlignmentRole) {
      return QVariant::fromValue(
          qt_align(h ? grid_->header_align[c] : grid_->cell_align[0], grid_->cell(r, c)));
    }
    return {};
  }

 private:
  std::shared_ptr<const GridData> grid_;
};

// "desc|pattern|..." as Qt's name filters: "desc (pattern)".
QStringList name_filters(const std::u16string& filter) {
  const QStringList parts = qs(filter).split(u'|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString pattern = parts[i + 1].split(u';').join(u' ');
    QString desc = parts[i];
    if (!desc.endsWith(QStringLiteral("(") + pattern + QStringLiteral(")"))) {
      desc += QStringLiteral(" (") + pattern + QStringLiteral(")");
    }
    out << desc;
  }
  return out;
}

QFont form_font() {
  QFont f;
  f.setFamilies({QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
                 QStringLiteral("Noto Sans CJK KR")});
  f.setPointSize(9);
  return f;
}

class HistDialog : public QDialog {
 public:
  HistDialog(double tpp_x, double tpp_y) : tpp_x_(tpp_x), tpp_y_(tpp_y) {
    setObjectName("KovaSmsFrm");
    setWindowTitle(qs(kCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    // The form's own font, 굴림 9 pt (a Hangul face in its place where it is missing): the
    // controls' twips sizes were laid out for it, so the pickers' dates fit their boxes.
    setFont(form_font());
    resize(px(kClientWidth), py(kClientHeight));
    QFrame* frame = nullptr;
    QWidget* previous = nullptr;
    for (const ControlDesign& d : controls()) {
      QWidget* parent = d.parent ? static_cast<QWidget*>(frame) : this;
      QWidget* w = nullptr;
      switch (d.kind) {
        case ControlKind::button: {
          auto* b = new QPushButton(qs(d.caption), parent);
          b->setAutoDefault(false);
          w = b;
          break;
        }
        case ControlKind::grid:
          view_ = new QTableView(parent);
          view_->setModel(&model_);
          view_->setSelectionBehavior(QAbstractItemView::SelectRows);
          view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
          view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
          view_->verticalHeader()->setDefaultSectionSize(py(kRowHeight));
          view_->horizontalHeader()->setFixedHeight(py(kRowHeight));
          view_->horizontalHeader()->setHighlightSections(false);
          w = view_;
          break;
        case ControlKind::frame:
          frame = new QFrame(parent);
          frame->setFrameShape(QFrame::Box);
          frame->setFrameShadow(QFrame::Sunken);
          w = frame;
          break;
        case ControlKind::label:
          w = new QLabel(qs(d.caption), parent);
          break;
        case ControlKind::date_picker: {
          auto* p = new QDateEdit(parent);
          p->setCalendarPopup(true);
          p->setDisplayFormat("yyyy-MM-dd");
          // The box is as narrow as the form's; the style's frame and margins would hide the
          // last digit of the day.
          p->setFrame(false);
          p->setStyleSheet(QStringLiteral("QDateEdit { padding: 0px; }"));
          QFont digits = form_font();
          digits.setPointSize(8);
          p->setFont(digits);
          (pickers_[0] ? pickers_[1] : pickers_[0]) = p;
          w = p;
          break;
        }
        case ControlKind::separator: {
          auto* l = new QLabel(parent);
          l->setAutoFillBackground(true);
          QPalette pal = l->palette();
          pal.setColor(QPalette::Window, pal.color(QPalette::WindowText));  // menu text
          l->setPalette(pal);
          w = l;
          break;
        }
      }
      w->setObjectName(d.name);
      w->setGeometry(px(d.left), py(d.top), px(d.width), py(d.height));
      if (d.kind != ControlKind::frame && d.kind != ControlKind::label &&
          d.kind != ControlKind::separator) {
        if (previous) setTabOrder(previous, w);
        previous = w;
      }
    }
    query_ = findChild<QPushButton*>("OKButton");
    close_ = findChild<QPushButton*>("Command1");
    save_ = findChild<QPushButton*>("Command2");
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
  }

  int px(std::int32_t twips) const { return static_cast<int>(std::lround(twips / tpp_x_)); }
  int py(std::int32_t twips) const { return static_cast<int>(std::lround(twips / tpp_y_)); }
  std::int32_t tx(int pixels) const {
    return static_cast<std::int32_t>(std::lround(pixels * tpp_x_));
  }
  std::int32_t ty(int pixels) const {
    return static_cast<std::int32_t>(std::lround(pixels * tpp_y_));
  }

  void set_grid(std::shared_ptr<const GridData> g) {
    model_.set_grid(g);
    auto* h = view_->horizontalHeader();
    for (int c = 1; c < g->cols; ++c) h->resizeSection(c - 1, px(g->col_widths[c]));
    view_->verticalHeader()->setFixedWidth(px(g->col_widths[0]));
  }

  QDateEdit* picker(int n) const { return pickers_[n == 1 ? 0 : 1]; }
  QPushButton* query_button() const { return query_; }
  QPushButton* save_button() const { return save_; }

  std::function<void(int, int)> on_resize;

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QDialog::resizeEvent(e);
    if (on_resize) {
      const QRect f = frameGeometry();
      on_resize(tx(f.width()), ty(f.height()));
    }
  }

 private:
  double tpp_x_, tpp_y_;
  GridModel model_;
  QTableView* view_ = nullptr;
  QDateEdit* pickers_[2] = {nullptr, nullptr};
  QPushButton* query_ = nullptr;
  QPushButton* close_ = nullptr;
  QPushButton* save_ = nullptr;
};

class QtToolkit : public HistoryToolkit {
 public:
  double twips_per_pixel_x() override {
    return metric([](QScreen* s) { return 1440.0 / s->logicalDotsPerInchX(); });
  }
  double twips_per_pixel_y() override {
    return metric([](QScreen* s) { return 1440.0 / s->logicalDotsPerInchY(); });
  }
  std::int32_t screen_width() override {
    return static_cast<std::int32_t>(std::lround(
        metric([](QScreen* s) { return 1.0 * s->geometry().width(); }) * twips_per_pixel_x()));
  }
  std::int32_t screen_height() override {
    return static_cast<std::int32_t>(std::lround(
        metric([](QScreen* s) { return 1.0 * s->geometry().height(); }) * twips_per_pixel_y()));
  }

  std::u16string show_modal(WindowEvents& events, std::shared_ptr<const GridData> grid) override {
    // One window at a time per process; other threads wait their turn, but a call from inside
    // the open window's own loop (a Qt host's timer, say) would wait for itself.
    std::unique_lock one_window(window_mutex_, std::try_to_lock);
    if (!one_window.owns_lock()) {
      if (window_thread_ == std::this_thread::get_id()) {
        return u"SmsHist: the history window is already open on this thread";
      }
      one_window.lock();
    }
    window_thread_ = std::this_thread::get_id();
    struct Owner {
      std::atomic<std::thread::id>& id;
      ~Owner() { id = std::thread::id{}; }
    } owner{window_thread_};
    const std::string problem = Gui::instance().start();
    if (!problem.empty()) return u"SmsHist: " + u16(QString::fromStdString(problem));
    Gui& gui = Gui::instance();
    const bool direct = gui.on_gui_thread();
    CallerQueue queue;
    const double tx = twips_per_pixel_x(), ty = twips_per_pixel_y();
    // Hand an event to the caller's thread (or run it, when that is the GUI thread).
    auto deliver = [&queue, direct](std::function<void()> f) {
      if (direct) {
        f();
      } else {
        queue.post(std::move(f));
      }
    };
    gui.run([&] {
      dialog_ = new HistDialog(tx, ty);
      dialog_->set_grid(grid);
      QObject::connect(dialog_->query_button(), &QPushButton::clicked, dialog_,
                       [&events, deliver] { deliver([&events] { events.on_query_click(); }); });
      QObject::connect(dialog_->save_button(), &QPushButton::clicked, dialog_,
                       [&events, deliver] { deliver([&events] { events.on_save_click(); }); });
      if (!direct)
        QObject::connect(dialog_, &QDialog::finished, dialog_, [&queue] { queue.close(); });
    });
    struct Unload {
      QtToolkit* tk;
      ~Unload() {
        Gui::instance().run([this] {
          delete tk->dialog_.data();
          tk->dialog_.clear();
        });
      }
    } unload{this};
    events.on_load();
    gui.run([&] {
      dialog_->on_resize = [&events, deliver](int w, int h) {
        deliver([&events, w, h] { events.on_resize(w, h); });
      };
    });
    if (direct) {
      dialog_->exec();
    } else {
      gui.run([&] { dialog_->show(); });
      queue.serve();
    }
    return {};
  }

  std::int32_t window_width() override {
    std::int32_t v = 0;
    on_dialog([&](HistDialog& d) { v = d.tx(d.frameGeometry().width()); });
    return v;
  }
  std::int32_t window_height() override {
    std::int32_t v = 0;
    on_dialog([&](HistDialog& d) { v = d.ty(d.frameGeometry().height()); });
    return v;
  }
  void set_window_left(std::int32_t t) override {
    on_dialog([&](HistDialog& d) { d.move(d.px(t), d.frameGeometry().y()); });
  }
  void set_window_top(std::int32_t t) override {
    on_dialog([&](HistDialog& d) { d.move(d.frameGeometry().x(), d.py(t)); });
  }
  void set_window_width(std::int32_t t) override {
    on_dialog([&](HistDialog& d) {
      const int frame = d.frameGeometry().width() - d.width();
      d.resize(std::max(1, d.px(t) - frame), d.height());
    });
  }
  void set_window_height(std::int32_t t) override {
    on_dialog([&](HistDialog& d) {
      const int frame = d.frameGeometry().height() - d.height();
      d.resize(d.width(), std::max(1, d.py(t) - frame));
    });
  }
  void set_grid_width(std::int32_t t) override {
    on_dialog([&](HistDialog& d) {
      auto* g = d.findChild<QTableView*>("VSFlexGrid1");
      g->resize(d.px(t), g->height());
    });
  }
  void set_grid_height(std::int32_t t) override {
    on_dialog([&](HistDialog& d) {
      auto* g = d.findChild<QTableView*>("VSFlexGrid1");
      g->resize(g->width(), d.py(t));
    });
  }
  void set_mouse_pointer(int code) override {
    on_dialog([&](HistDialog& d) {
      if (code == kPointerHourglass) {
        d.setCursor(Qt::WaitCursor);
      } else {
        d.unsetCursor();
      }
    });
  }
  void show_grid(std::shared_ptr<const GridData> grid) override {
    on_dialog([&](HistDialog& d) { d.set_grid(grid); });
  }
  bool set_picker_text(int picker, const std::u16string& text) override {
    bool ok = false;
    on_dialog([&](HistDialog& d) {
      const QDate date = QDate::fromString(qs(text), Qt::ISODate);
      ok = date.isValid();
      if (ok) d.picker(picker)->setDate(date);
    });
    return ok;
  }
  Date picker_value(int picker) override {
    Date v;
    on_dialog([&](HistDialog& d) {
      const QDate q = d.picker(picker)->date();
      v = Date{q.year(), q.month(), q.day()};
    });
    return v;
  }
  SaveDialogAnswer show_save_dialog(const SaveDialogRequest& req) override {
    SaveDialogAnswer a{true, {}};
    on_dialog([&](HistDialog& d) {
      QFileDialog fd(&d, qs(req.title));
      fd.setObjectName("CommonDialog1");
      fd.setOption(QFileDialog::DontUseNativeDialog);
      fd.setAcceptMode(QFileDialog::AcceptSave);
      fd.setFileMode(QFileDialog::AnyFile);
      const QStringList filters = name_filters(req.filter);
      fd.setNameFilters(filters);
      fd.setDefaultSuffix("xls");
      // The typed name gets the chosen entry's extension, as the platform dialog does.
      QObject::connect(&fd, &QFileDialog::filterSelected, &fd, [&fd](const QString& f) {
        const auto open = f.lastIndexOf(QStringLiteral("(*."));
        const QString ext = open < 0 ? QString() : f.mid(open + 3).chopped(1);
        fd.setDefaultSuffix(ext == QStringLiteral("*") ? QString() : ext);
      });
      fd.selectFile(qs(req.file_name));
      if (fd.exec() == QDialog::Accepted && !fd.selectedFiles().isEmpty()) {
        a.cancelled = false;
        a.file_name = u16(fd.selectedFiles().first());
      }
    });
    return a;
  }
  void message_box(const std::u16string& text, unsigned icon,
                   const std::u16string& title) override {
    on_dialog([&](HistDialog& d) {
      QMessageBox box(icon == kMbIconQuestion ? QMessageBox::Question : QMessageBox::NoIcon,
                      title.empty() ? QApplication::applicationDisplayName() : qs(title), qs(text),
                      QMessageBox::Ok, &d);
      box.exec();
    });
  }
  Date today() override {
    const QDate q = QDate::currentDate();
    return Date{q.year(), q.month(), q.day()};
  }
  char16_t date_separator() override { return u'/'; }
  char16_t time_separator() override { return u':'; }

 private:
  // A screen metric; the standard 96 dots per inch when no screen can be asked (the window
  // itself then fails to open and says why).
  template <class F>
  double metric(F f, double fallback = 15.0) {
    if (Gui::instance().start().empty()) {
      double v = 0;
      Gui::instance().run([&] {
        QScreen* s = QGuiApplication::primaryScreen();
        v = s ? f(s) : 0.0;
      });
      if (v > 0) return v;
    }
    return fallback;
  }
  void on_dialog(const std::function<void(HistDialog&)>& f) {
    Gui::instance().run([&] {
      if (dialog_) f(*dialog_);
    });
  }

  std::mutex window_mutex_;
  std::atomic<std::thread::id> window_thread_{};
  QPointer<HistDialog> dialog_;
};

}  // namespace

}  // namespace taviksms::history::qt

extern "C" __attribute__((visibility("default"))) taviksms::history::HistoryToolkit*
taviksms_history_qt_toolkit() {
  static taviksms::history::qt::QtToolkit toolkit;
  return &toolkit;
}
