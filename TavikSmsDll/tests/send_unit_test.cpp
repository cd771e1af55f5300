// The time-text conversion shared by reservations and result windows, and the picture names
// shared by the upload and the picture message: pure logic, no server.
#include <gtest/gtest.h>

#include "send/time_text.h"
#include "upload/picture_name.h"

namespace taviksms::send {
namespace {

TEST(TimeText, ReservationTimesInBothCompactForms) {
  EXPECT_EQ(expand_time_text(u"2406011230"), u"2024-06-01 12:30");
  EXPECT_EQ(expand_time_text(u"202406011230"), u"2024-06-01 12:30");
  EXPECT_EQ(expand_time_text(u" 2406011230 "), u"2024-06-01 12:30");
  EXPECT_EQ(expand_time_text(u"240601123059"), u"2024-06-01 12:30");  // cut to ten
  EXPECT_EQ(expand_time_text(u"24060112"), u"  20-24-06 01:12");
  EXPECT_EQ(expand_time_text(u"2006011230"), u"  20-06-01 12:30");  // already starts with 20
  EXPECT_EQ(expand_time_text(u"199912312359"), u"2019-99-12 31:23");
}

TEST(TimeText, EmptyAndBlankReservationsStayEmptyOnlyWhenTrimmed) {
  EXPECT_EQ(expand_time_text(u""), u"");
  EXPECT_EQ(expand_time_text(u"     "), u"");
  // Only the space is trimmed; a tab is a character like any other.
  EXPECT_EQ(expand_time_text(u"\t"), u"    -  -    2:0\t");
  // Window texts are not trimmed, and an empty one is converted like any other.
  EXPECT_EQ(window_time_text(u""), u"    -  -     :20");
  EXPECT_EQ(window_time_text(u" 2406011230 "), u"20 2-40-60 11:23");
  EXPECT_EQ(window_time_text(u"1203011230"), u"2012-03-01 12:30");
  EXPECT_EQ(window_time_text(u"201203011230"), u"2012-03-01 12:30");
  EXPECT_EQ(window_time_text(u"120301123059"), u"2012-03-01 12:30");
  // A one-character "2" never matches "20".
  EXPECT_EQ(window_time_text(u"2"), u"    -  -    2:02");
}

TEST(TimeText, LongTextsStartingWith20KeepTheirLastTwelveCharacters) {
  EXPECT_EQ(expand_time_text(u"2024060112301"), u"0240-60-11 23:01");
  EXPECT_EQ(window_time_text(std::u16string(u"20") + std::u16string(5000, u'9') + u"202406011230"),
            u"2024-06-01 12:30");
  // Every result has the sixteen-character shape, whatever the input.
  for (std::u16string t : {u"2", u"20", u"x", u"가나다라마바사아자차카타파하"}) {
    std::u16string out = window_time_text(t);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out[4], u'-');
    EXPECT_EQ(out[7], u'-');
    EXPECT_EQ(out[10], u' ');
    EXPECT_EQ(out[13], u':');
  }
}

TEST(PictureName, StoredAndSentNamesAreTheSameLowerCasedBaseName) {
  using upload::picture_server_name;
  EXPECT_EQ(picture_server_name(u"user01", u"C:\\Pics\\Photo1.JPG"), u"user01_photo1.jpg");
  EXPECT_EQ(picture_server_name(u"user01", u"Photo1.JPG"), u"user01_photo1.jpg");
  EXPECT_EQ(picture_server_name(u"", u"C:\\Pics\\A.jpg"), u"_a.jpg");
  // Backslashes always cut; so does the platform's own separator ('/' here, on POSIX).
  EXPECT_EQ(picture_server_name(u"u", u"/tmp/Pics/A.JPG"), u"u_a.jpg");
  EXPECT_EQ(picture_server_name(u"u", u"/tmp/Pics\\B.JPG"), u"u_b.jpg");
  // No picture, or a path ending in a backslash: nothing, not even the underscore.
  EXPECT_EQ(picture_server_name(u"u", u""), u"");
  EXPECT_EQ(picture_server_name(u"u", u"C:\\Pics\\"), u"");
  // Letters beyond ASCII are lowered too; Korean and lone surrogates pass unchanged.
  EXPECT_EQ(upload::lower_case(u"ÄÖÜ사진.JPG"), u"äöü사진.jpg");
  EXPECT_EQ(upload::lower_case(std::u16string(1, char16_t(0xD800)) + u"X"),
            std::u16string(1, char16_t(0xD800)) + u"x");
}

}  // namespace
}  // namespace taviksms::send
