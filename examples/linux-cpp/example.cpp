// TavikSms from a C++ program on Linux, the whole job: log in, send an SMS to two recipients and
// an MMS with a picture, reserve a message and cancel it, wait for the delivery results and read
// them back (each is acknowledged as it is written, so the next call does not list it again),
// log out. Texts are UTF-8 throughout (taviksms::utf8::TavikSms).
//
//   taviksms_example USER PASSWORD [PICTURE.JPG]
//
// PICTURE.JPG defaults to Photo1.JPG beside the program. The export files (sms1.txt, sms2.txt)
// are written to the current folder. TAVIKSMS_MIRRORS points the library at a sandbox
// (`taviksms-sandbox --env-file F` writes it). Exit status: 0 when every step succeeded, 1 when
// one failed, 2 for wrong arguments.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <taviksms/utf8.h>

namespace {

// One line of sms1.txt or sms2.txt: fifteen tab-separated fields, in this order.
struct Record {
  std::int64_t id = 0;
  std::string user_id, sub_id, user_tel, custom_tel, custom_id, custom_nam, msg;
  std::int32_t result_code = 0;
  std::string result_msg;
  std::string typ, kun2, fee2;  // numbers, as written (fee2 may carry decimals)
  std::string i_time, s_time;   // YYYYMMDDHHMMSS, empty when unknown
};
constexpr std::size_t kColumns = 15;
constexpr std::size_t kMsgColumn = 7;

// The export files are in the locale's code set (the environment's LC_ALL / LC_CTYPE; plain
// ASCII, the C locale, counts as UTF-8, as the library does). Converted to UTF-8 here.
std::string to_utf8(const std::string& bytes) {
  std::string codeset = nl_langinfo(CODESET);
  if (codeset == "UTF-8" || codeset == "ANSI_X3.4-1968") return bytes;
  iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out(bytes.size() * 3 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  char* to = out.data();
  std::size_t to_left = out.size();
  iconv(cd, &in, &in_left, &to, &to_left);
  iconv_close(cd);
  out.resize(out.size() - to_left);
  return out;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string::npos;
       start = at + separator.size()) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// Lines end with CR LF; a line feed inside a value was written as "|", so every CR LF ends a
// record. A value holding a tab splits into more fields than the file has columns: the message
// text is the one that may, so the extra fields are joined back into it.
std::vector<Record> read_export(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<Record> records;
  for (const std::string& line : split(to_utf8(bytes), "\r\n")) {
    if (line.empty()) continue;
    std::vector<std::string> f = split(line, "\t");
    if (f.size() > kColumns) {
      const std::size_t extra = f.size() - kColumns;
      for (std::size_t k = 1; k <= extra; ++k) f[kMsgColumn] += "\t" + f[kMsgColumn + k];
      f.erase(f.begin() + kMsgColumn + 1, f.begin() + kMsgColumn + 1 + extra);
    }
    if (f.size() != kColumns) {
      std::cout << file << ": a line of " << f.size() << " fields skipped\n";
      continue;
    }
    Record r;
    r.id = std::strtoll(f[0].c_str(), nullptr, 10);
    r.user_id = f[1], r.sub_id = f[2], r.user_tel = f[3], r.custom_tel = f[4];
    r.custom_id = f[5], r.custom_nam = f[6], r.msg = f[7];
    r.result_code = static_cast<std::int32_t>(std::strtol(f[8].c_str(), nullptr, 10));
    r.result_msg = f[9], r.typ = f[10], r.kun2 = f[11], r.fee2 = f[12];
    r.i_time = f[13], r.s_time = f[14];
    records.push_back(std::move(r));
  }
  return records;
}

bool failed = false;

// A method's text result: "OK", or a failure text meant for the user. Prints either.
bool succeeded(const std::string& what, const std::string& result) {
  if (result == "OK") {
    std::cout << what << ": OK\n";
    return true;
  }
  std::cout << what << " failed: " << result << "\n";
  failed = true;
  return false;
}

std::filesystem::path beside_program(const char* name) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path(name) : self.parent_path() / name;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  if (argc < 3) {
    std::cerr << "usage: taviksms_example USER PASSWORD [PICTURE.JPG]\n";
    return 2;
  }
  const std::string user = argv[1], password = argv[2];
  const std::string picture = argc > 3 ? argv[3] : beside_program("Photo1.JPG").string();
  const std::string sender = "0212345678";
  // Custom_id is the host's own key for a message; the results carry it back.
  const std::string tag =
      "cpp" + std::to_string(std::chrono::system_clock::now().time_since_epoch() /
                             std::chrono::seconds(1) % 100000);

  try {
    taviksms::utf8::TavikSms sms;

    // "OK", or the service's own text (a wrong password, a blocked user), or
    // "IP Download Error" / "False" when the service cannot be reached.
    if (!succeeded("Login", sms.Login(user, password))) return 1;
    std::cout << "Balance: " << sms.SmsJanek() << "\n";

    // One SMS to two recipients (';' ',' or ':' separate them); no reservation time: now.
    succeeded("SmsSend to 2 recipients",
              sms.SmsSend("", sender, tag + "-sms", "홍길동", "01012345678;01087654321",
                          "안녕하세요, example.cpp입니다.", 0, ""));

    // An MMS: the picture is uploaded first, then named in the message by the same path.
    bool mms_sent = false;
    const std::string picture_name = std::filesystem::path(picture).filename().string();
    if (succeeded("FTP_Upload " + picture_name, sms.FTP_Upload(picture))) {
      mms_sent =
          succeeded("MmsSend", sms.MmsSend("", sender, tag + "-mms", "홍길동", "01012345678",
                                           "사진", "example.cpp의 사진", picture, "", "", ""));
    }
    sms.FTP_DisConnect();

    // A reservation (YYMMDDHHMM: 31 December 2030, 23:59), found in sms2.txt and cancelled.
    std::int64_t reservation = 0;
    if (succeeded("Reserved SmsSend", sms.SmsSend("", sender, tag + "-rsv", "홍길동", "01012345678",
                                                  "새해 인사", 0, "3012312359")) &&
        succeeded("YaeyakData", sms.YaeyakData())) {
      for (const Record& r : read_export("sms2.txt")) {
        if (r.custom_id == tag + "-rsv") reservation = r.id;
      }
    }
    if (reservation != 0) {
      // YaeyakDelete is one of the methods whose failure is an exception rather than a text.
      const std::string what = "YaeyakDelete " + std::to_string(reservation);
      try {
        succeeded(what, sms.YaeyakDelete(static_cast<std::int32_t>(reservation)));
      } catch (const taviksms::ComError& e) {
        std::ostringstream number;
        number << std::hex << std::uppercase << static_cast<std::uint32_t>(e.number);
        std::cout << what << " failed: error 0x" << number.str() << ": " << e.what() << "\n";
        failed = true;
      }
    }

    // Delivery results arrive some seconds later. SmsResult1 writes the ones not yet handed over
    // to sms1.txt and acknowledges them; earlier ones (another program's, say) come too.
    const int expected = mms_sent ? 3 : 2;
    int seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::cout << "Waiting for " << expected << " results ...\n";
    while (seen < expected && succeeded("SmsResult1", sms.SmsResult1())) {
      for (const Record& r : read_export("sms1.txt")) {
        std::cout << "result " << r.id << " to " << r.custom_tel << " (" << r.custom_id
                  << "): code " << r.result_code << " " << r.result_msg << ", fee " << r.fee2
                  << ", sent " << r.s_time << "\n";
        if (r.custom_id.starts_with(tag + "-")) ++seen;
      }
      if (seen >= expected) break;
      if (std::chrono::steady_clock::now() > deadline) {
        std::cout << "no more results after 120 s: " << seen << " of " << expected << "\n";
        failed = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }

    std::cout << "Balance: " << sms.SmsJanek() << "\n";
    succeeded("Logout", sms.Logout());
  } catch (const taviksms::ComError& e) {
    // Any other error that escapes a method: a call from another thread, invalid UTF-8, ...
    std::cout << "failed: error 0x" << std::hex << std::uppercase
              << static_cast<std::uint32_t>(e.number) << ": " << e.what() << "\n";
    return 1;
  }
  return failed ? 1 : 0;
}
