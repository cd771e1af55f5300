// The one path every call takes (core::TavikSms::call): the thread check comes before anything
// else a method does, through every entry of the C++ API, for every method of the list.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include <taviksms/taviksms.h>

namespace taviksms {
namespace {

constexpr std::uint32_t kWrongThread = 0x8001010Eu;

template <typename F>
std::uint32_t error_number(F&& f) {
  try {
    f();
  } catch (const ComError& e) {
    return static_cast<std::uint32_t>(e.number);
  }
  return 0;
}

TEST(CallPath, EveryMethodAndEntryRefusesAnotherThread) {
  TavikSms c;
  std::vector<std::uint32_t> late_bound, late_bound_miscounted;
  std::uint32_t logout = 0, janek = 0, remove = 0, unknown = 0;
  std::thread([&] {
    for (const auto& m : methods()) {
      std::vector<Value> args(m.param_count, Value{std::u16string(u"1")});
      late_bound.push_back(error_number([&] { c.invoke(m.name, args); }));
      args.emplace_back(std::int32_t{0});
      late_bound_miscounted.push_back(error_number([&] { c.invoke(m.name, args); }));
    }
    logout = error_number([&] { c.Logout(); });
    janek = error_number([&] { c.SmsJanek(); });
    remove = error_number([&] { c.YaeyakDelete(1); });
    unknown = error_number([&] { c.invoke("NoSuchMethod", {}); });
  }).join();
  ASSERT_EQ(late_bound.size(), methods().size());
  for (std::size_t i = 0; i < late_bound.size(); ++i) {
    EXPECT_EQ(late_bound[i], kWrongThread) << methods()[i].name;
    EXPECT_EQ(late_bound_miscounted[i], kWrongThread) << methods()[i].name;
  }
  EXPECT_EQ(logout, kWrongThread);
  EXPECT_EQ(janek, kWrongThread);
  EXPECT_EQ(remove, kWrongThread);
  // A name is looked up before the call starts.
  EXPECT_EQ(unknown, 0x80020006u);
}

TEST(CallPath, MiscountedAndUnconvertibleArgumentsOnTheOwnThread) {
  TavikSms c;
  for (const auto& m : methods()) {
    std::vector<Value> args(m.param_count + 1, Value{std::int32_t{0}});
    EXPECT_EQ(error_number([&] { c.invoke(m.name, args); }), 0x8002000Eu) << m.name;
  }
  // SmsHist's int32 parameters take numeric text only (checked before the window or the session).
  const Value hist[] = {std::u16string(u"S"), std::u16string(u"ten"), std::int32_t{0},
                        std::int32_t{0}, std::int32_t{0}};
  EXPECT_EQ(error_number([&] { c.invoke("SmsHist", hist); }), 0x80020005u);
  const Value big[] = {std::u16string(u"99999999999")};
  EXPECT_EQ(error_number([&] { c.invoke("YaeyakDelete", big); }), 0x800A0006u);
}

}  // namespace
}  // namespace taviksms
