// The seam's SFTP client, which the picture upload drives. Binding: ssh/ (libssh2), made by
// posix/sftp.cpp and win32/sftp.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace taviksms::platform {

// The SFTP client the picture upload drives (SftpComponent). Configure, Connect, then PutFile;
// destroying it ends the connection. No operation throws: Connect and PutFile report by result.
class SftpComponent {
 public:
  virtual ~SftpComponent() = default;
  virtual void set_host(const std::u16string& host) = 0;
  virtual void set_user_name(const std::u16string& user) = 0;
  virtual void set_password(const std::u16string& password) = 0;
  virtual void set_port(std::int32_t port) = 0;
  // Remote names given to put_file are resolved against this folder ("." is the login folder).
  virtual void set_remote_path(const std::u16string& path) = 0;
  // Opens and authenticates the connection with the values set before; true when connected.
  // Already connected: true at once.
  virtual bool connect() = 0;
  virtual bool connected() const = 0;
  // Copies the local file `local_path` (converted to the host encoding by the calling thread's
  // platform) to the server as `remote_name`; true when the whole file was written and closed.
  virtual bool put_file(const std::u16string& remote_name, const std::u16string& local_path) = 0;
};

class SftpClients {
 public:
  virtual ~SftpClients() = default;

  // A new, unconnected SFTP client; nullptr when none can be made.
  virtual std::unique_ptr<SftpComponent> new_sftp_component() = 0;
};

}  // namespace taviksms::platform
