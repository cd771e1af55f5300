// FTP_Connect, FTP_Upload and FTP_DisConnect: the picture upload over the thread's SftpComponent.
// None of them touches the database; the SFTP endpoint comes from the configuration a database
// method fetched on this thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/platform/platform.h"

namespace taviksms::upload {

inline constexpr std::int64_t kMaxPictureBytes = 33000;  // inclusive
inline constexpr char16_t kNoFile[] = u"파일이 없습니다.";
inline constexpr char16_t kTooLarge[] = u"파일크기는 33,000 Byte 까지입니다.";
inline constexpr char16_t kNotJpg[] = u"파일 형식 오류 (JPG)";
inline constexpr char16_t kConnectError[] = u"FTP Connect Error";
inline constexpr char16_t kUploadError[] = u"upload Error";

// SftpClient: the thread's one SftpComponent instance, held by ModuleState.
class SftpSession {
 public:
  explicit SftpSession(std::unique_ptr<platform::SftpComponent> component)
      : component_(std::move(component)) {}
  platform::SftpComponent& component() { return *component_; }

 private:
  std::unique_ptr<platform::SftpComponent> component_;
};

// "OK" or "FTP Connect Error". Never throws.
std::u16string ftp_connect();
// "OK", one of the file-check messages, "FTP Connect Error" or "upload Error". Never throws.
std::u16string ftp_upload(const std::u16string& fnam);
// Releases the instance (ending its connection) and clears SftpConnected: "OK".
std::u16string ftp_disconnect();

}  // namespace taviksms::upload
