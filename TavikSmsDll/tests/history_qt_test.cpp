// The real Qt window, offscreen, opened through SmsHist against a live sandbox and driven from a
// second thread the way a user would: pickers, query, grid, save dialog, confirmation, close.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "base/error.h"
#include "component/taviksms.h"
#include "component_fixture.h"
#include "qt_window_driver.h"
#include "sandbox_process.h"

#if defined(__SANITIZE_ADDRESS__)
// Qt's own process-lifetime allocations are not ours to report.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}
#endif

namespace taviksms::test {
namespace {

// Offscreen unless the runner asks for a real display.
const bool kOffscreen = [] {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const auto runtime = std::filesystem::temp_directory_path() / "taviksms-qt-runtime";
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 0);
  return true;
}();

namespace fs = std::filesystem;
using namespace std::chrono_literals;

template <class P>
bool wait_for(P pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (QCoreApplication::instance() && pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

template <class T>
T* modal() {
  return qobject_cast<T*>(QApplication::activeModalWidget());
}

std::string cell(int r, int c) {
  return gui([=] {
    auto* v = history_window()->findChild<QTableView*>("VSFlexGrid1");
    return v->model()->index(r, c).data().toString().toStdString();
  });
}

class HistoryQtTest : public ComponentTest {};

TEST_F(HistoryQtTest, QuerySaveAndCloseThroughTheRealWindow) {
  sandbox().post("/clock?set=2024-04-10%2009:30:00");  // a day without sample history
  core::TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(
      c.SmsSend(u"", u"0212345678", u"c1", u"홍길동", u"01012345678", u"안녕\r\n하세요", 0, u""),
      u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"0212345678", u"c2", u"", u"01087654321", u"둘째", 0, u""), u"OK");
  sandbox().post("/clock?advance=600");  // delivered
  const fs::path dir = fs::path(::testing::TempDir()) / "taviksms_hist_qt";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path target = dir / "history.csv";

  std::promise<std::string> done;  // empty: every step passed
  std::thread driver([&] {
    // A failed step still ends the showing, so SmsHist returns and the test reports it.
    auto fail = [&](const std::string& why) {
      done.set_value(why);
      if (QCoreApplication::instance()) {
        gui([] {
          if (QWidget* m = QApplication::activeModalWidget(); m && m != history_window())
            m->close();
        });
        gui([] {
          if (QWidget* w = history_window()) w->close();
        });
      }
    };
    if (!wait_for([] { return gui([] { return history_window() != nullptr; }); }))
      return fail("no window");
    const std::string title = gui([] { return history_window()->windowTitle().toStdString(); });
    if (title != "문자 메세지 발송 내역") return fail("title " + title);
    const int design_rows = gui([] {
      return history_window()->findChild<QTableView*>("VSFlexGrid1")->model()->rowCount();
    });
    if (design_rows != 49) return fail("design rows " + std::to_string(design_rows));
    const QDate today = QDate::currentDate();
    const QDate first =
        gui([] { return history_window()->findChild<QDateEdit*>("DTPicker1")->date(); });
    if (first != QDate(today.year(), today.month(), 1)) return fail("picker 1 not on the 1st");

    gui([] {
      history_window()->findChild<QDateEdit*>("DTPicker1")->setDate(QDate(2024, 4, 10));
      history_window()->findChild<QDateEdit*>("DTPicker2")->setDate(QDate(2024, 4, 10));
      history_window()->findChild<QPushButton*>("OKButton")->click();
    });
    if (!wait_for([] {
          return gui([] {
                   return history_window()
                       ->findChild<QTableView*>("VSFlexGrid1")
                       ->model()
                       ->rowCount();
                 }) == 2;
        })) {
      return fail("the query did not list two rows");
    }
    if (cell(0, 0) != "1" || cell(1, 0) != "2") return fail("row numbers");
    if (cell(0, 3) != "홍길동" || cell(1, 3) != "") return fail("names " + cell(0, 3));
    if (cell(0, 4) != "2024/04/10 09:30") return fail("time " + cell(0, 4));
    if (cell(0, 5) != "안녕  하세요") return fail("message " + cell(0, 5));
#ifdef TAVIKSMS_SCREENSHOT
    gui([] { history_window()->grab().save(TAVIKSMS_SCREENSHOT); });
#endif

    gui([] { history_window()->findChild<QPushButton*>("Command2")->click(); });
    if (!wait_for([] { return gui([] { return modal<QFileDialog>() != nullptr; }); })) {
      return fail("no save dialog");
    }
    const std::string proposal = gui([] {
      return modal<QFileDialog>()->findChild<QLineEdit*>("fileNameEdit")->text().toStdString();
    });
    if (proposal != "엑셀(SMS)_" + today.toString("yyyyMMdd").toStdString() + ".xls") {
      return fail("proposed " + proposal);
    }
    const int filters =
        gui([] { return static_cast<int>(modal<QFileDialog>()->nameFilters().size()); });
    if (filters != 4) return fail("filters");
    const std::string dialog_title =
        gui([] { return modal<QFileDialog>()->windowTitle().toStdString(); });
    if (dialog_title != " 자료 저장") return fail("dialog title [" + dialog_title + "]");
    gui([&] {
      QFileDialog* fd = modal<QFileDialog>();
      fd->selectNameFilter(fd->nameFilters()[1]);
      fd->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(target.string()));
      QMetaObject::invokeMethod(fd, "accept", Qt::QueuedConnection);
    });
    if (!wait_for([] { return gui([] { return modal<QMessageBox>() != nullptr; }); })) {
      return fail("no confirmation");
    }
    const std::string text = gui([] { return modal<QMessageBox>()->text().toStdString(); });
    const std::string box_title =
        gui([] { return modal<QMessageBox>()->windowTitle().toStdString(); });
    gui([] { modal<QMessageBox>()->button(QMessageBox::Ok)->click(); });
    if (text != "자료가 저장되었습니다.\r\n\r\n파일명:" + target.string())
      return fail("text " + text);
    if (box_title != "자료저장") return fail("box title " + box_title);

    gui([] { history_window()->findChild<QPushButton*>("Command1")->click(); });
    done.set_value({});
  });
  auto finished = done.get_future();
  try {
    EXPECT_EQ(c.SmsHist(u"", 0, 0, 0, 0), u"OK");
  } catch (const core::Error& e) {
    ADD_FAILURE() << "SmsHist failed: " << utf8(e.description());
  }
  driver.join();
  ASSERT_EQ(finished.get(), "");

  std::ifstream in(target, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const std::string header = "**\t발신번호\t수신번호\t수신자\t발송일시\t메세지\t결과\tID\r\n";
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  EXPECT_NE(bytes.find("\r\n1\t0212345678\t01012345678\t홍길동\t2024/04/10 09:30\t안녕  하세요\t"),
            std::string::npos)
      << bytes;
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), ','), 0);

  // Again, closed by the close box this time, at a given size: a fresh window.
  std::thread closer([] {
    wait_for([] { return gui([] { return history_window() != nullptr; }); });
    gui([] { history_window()->close(); });
  });
  EXPECT_EQ(c.SmsHist(u"", 0, 0, 800, 500), u"OK");
  closer.join();
}

// A process that has shown the window ends quietly: no Qt object of the window's thread is
// destroyed on another thread at exit (Qt then warns that its timers cannot be stopped).
TEST(HistoryQtProcessEnd, NoObjectDiesOffItsThread) {
  if (std::getenv("TAVIKSMS_QT_CHILD")) GTEST_SKIP() << "in the child";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  auto r = testing::run_command({self, "--gtest_filter=HistoryQtTest.*"}, "", 120s,
                                {"TAVIKSMS_QT_CHILD=1", "QT_QPA_PLATFORM=offscreen"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("Timers cannot be stopped from another thread"), std::string::npos) << r.err;
}

// Without a display the call fails with a message instead of ending the host.
TEST(HistoryQtNoDisplay, SmsHistFailsWithAnErrorThatSaysSo) {
  auto r = testing::run_command({TAVIKSMS_SHELL_EXE, "-c", "SmsHist \"\" 0 0 0 0", "-c", "Logout"},
                                "", 30s, {"DISPLAY=:254", "QT_QPA_PLATFORM="});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("no display"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nOK\n"), std::string::npos) << r.out;  // the shell went on
}

// A Wayland session without X names its compositor in WAYLAND_DISPLAY: that counts as a display,
// not "DISPLAY is not set". A socket nobody listens on is no display; one that listens is used
// when Qt's Wayland plugin is there (it is not on the test machines, which this says).
TEST(HistoryQtNoDisplay, WaylandDisplayIsADisplayToo) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("taviksms-wayland-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string socket_path = (dir / "wayland-test").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  const auto run = [&](const std::string& wayland) {
    return testing::run_command({TAVIKSMS_SHELL_EXE, "-c", "SmsHist \"\" 0 0 0 0", "-c", "Logout"},
                                "", 30s,
                                {"DISPLAY=", "QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=" + wayland,
                                 "XDG_RUNTIME_DIR=" + dir.string()});
  };
  auto r = run("nobody-here");
  EXPECT_NE(r.out.find("no display: cannot connect to Wayland display nobody-here"),
            std::string::npos)
      << r.out;
  const QString plugins =
      QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
  if (!QDir(plugins).entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty()) {
    ::close(listener);
    GTEST_SKIP() << "Qt's Wayland plugin is installed: the fake compositor would end the shell";
  }
  r = run("wayland-test");  // relative to XDG_RUNTIME_DIR
  EXPECT_EQ(r.out.find("DISPLAY is not set"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no display: the Qt Wayland platform plugin is missing"), std::string::npos)
      << r.out;
  ::close(listener);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace taviksms::test
