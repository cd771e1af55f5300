// SftpComponent on libssh2: password login with a keyboard-interactive fallback, uploads of whole
// files, every network wait bounded.
//
// Host keys: any host key is accepted, on every connection (nothing is pinned or remembered).
// The component's configuration (ip1.ini) carries the server's address, login and password but
// no host-key fingerprint, and the component writes no files of its own where a known-hosts list
// could live, so there is nothing to check a key against. The login secret is sent over the
// encrypted channel as with any SSH client; the residual risk is an active attacker on the path
// to the file server, who could receive the pictures and the upload password.
#pragma once

#include <cstdint>
#include <memory>

#include "base/platform/platform.h"

namespace taviksms::platform::ssh {

struct SftpLimits {
  // One Connect as a whole: TCP connect, SSH handshake, authentication and SFTP start. A server
  // that accepts TCP and never speaks costs at most this per Connect.
  int connect_timeout_ms = 10000;
  // Any single wait during a transfer (a write, the open or close of the remote file): a server
  // that stops answering mid-transfer fails the put after this long without progress.
  int io_timeout_ms = 10000;
};

std::unique_ptr<SftpComponent> make_sftp_component(SftpLimits limits = {});

}  // namespace taviksms::platform::ssh
