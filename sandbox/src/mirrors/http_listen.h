// Listening-socket options for the sandbox's HTTP servers.
#pragma once

namespace sandbox {

// SO_REUSEADDR only. cpp-httplib's default also sets SO_REUSEPORT, which would let a second
// sandbox bind a port that is in use instead of failing to start.
void exclusive_listen_options(int sock);

}  // namespace sandbox
