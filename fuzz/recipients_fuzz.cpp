// The recipient loop of the send methods, on a command that records what it is asked to run.
// Properties: one execution per non-empty entry, in order, each with the entry exactly as the
// host wrote it between separators; a failing execution ends the loop at once, with the entries
// before it executed once each and none after it.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/module_state.h"
#include "db/session.h"
#include "fuzz_util.h"
#include "send/send.h"

namespace {

using namespace taviksms;

class Param : public db::DbParameter {
 public:
  explicit Param(std::u16string n) : name_(std::move(n)) {}
  const std::u16string& name() const override { return name_; }
  const db::Value& value() const override { return value_; }
  void set_value(db::Value v) override { value_ = std::move(v); }

 private:
  std::u16string name_;
  db::Value value_;
};

class Rs : public db::DbRs {
 public:
  void set_cursor_location(int l) override { loc_ = l; }
  int cursor_location() const override { return loc_; }
  void open(db::DbCmd&) override {}
  int state() const override { return db::kStateOpen; }
  void close() override {}
  std::int32_t record_count() const override { return -1; }
  bool eof() const override { return true; }
  const db::Value& field(std::u16string_view) const override { return none_; }
  void move_next() override {}

 private:
  int loc_ = db::kUseClient;
  db::Value none_;
};

class Cmd : public db::DbCmd {
 public:
  std::vector<std::u16string> executed;
  std::size_t fail_at = SIZE_MAX;  // the execution (0-based) that raises

  void set_active_connection(std::shared_ptr<db::DbConn>) override {}
  void set_command_type(int t) override { type_ = t; }
  int command_type() const override { return type_; }
  void set_command_text(std::u16string t) override { text_ = std::move(t); }
  const std::u16string& command_text() const override { return text_; }
  void refresh_parameters() override { params_.clear(); }
  db::DbParameter& parameter(std::u16string_view name) override {
    auto it = params_.find(std::u16string(name));
    if (it == params_.end()) it = params_.emplace(name, Param(std::u16string(name))).first;
    return it->second;
  }
  std::shared_ptr<db::DbRs> execute() override {
    if (executed.size() == fail_at) throw core::Error(-2147467259, u"db", u"connection lost");
    executed.push_back(parameter(u"@Custom_tel").value().raw_text());
    return std::make_shared<Rs>();
  }

 private:
  int type_ = 0;
  std::u16string text_;
  std::map<std::u16string, Param> params_;
};

// The entries as the host means them: the list cut at every ',', ';' and ':', empty ones left out.
std::vector<std::u16string> entries(const std::u16string& list) {
  std::vector<std::u16string> out;
  std::u16string cur;
  for (char16_t c : list) {
    if (c == u',' || c == u';' || c == u':') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool alphabet = in.ConsumeBool();
  const std::size_t fail_at = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  const bool inject = in.ConsumeBool();
  const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
  // Separators, blanks, digits, NUL and a lone surrogate: the characters that matter here.
  static constexpr char16_t kChars[] = {u',', u';', u':', u' ', u'0', u'1', 0, 0xD800};
  const std::u16string list =
      alphabet ? fuzz::pick_from(rest.data(), rest.size(), std::u16string_view(kChars, 8))
               : fuzz::utf16_of(rest.data(), rest.size());
  const std::vector<std::u16string> want = entries(list);

  core::ModuleState s;
  auto cmd = std::make_shared<Cmd>();
  if (inject) cmd->fail_at = fail_at;
  s.session.cmd = cmd;
  s.session.rs = std::make_shared<Rs>();

  bool raised = false;
  try {
    send::submit_to_recipients(s, list);
  } catch (const core::Error&) {
    raised = true;
  }
  if (inject && fail_at < want.size()) {
    FUZZ_CHECK(raised);
    FUZZ_CHECK(cmd->executed.size() == fail_at);
    FUZZ_CHECK(std::equal(cmd->executed.begin(), cmd->executed.end(), want.begin()));
  } else {
    FUZZ_CHECK(!raised);
    FUZZ_CHECK(cmd->executed == want);
  }
  for (const auto& e : cmd->executed) {
    FUZZ_CHECK(!e.empty() && e.find_first_of(u",;:") == std::u16string::npos);
  }
  return 0;
}
