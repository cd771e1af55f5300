#include "mirrors/http_listen.h"

#include <sys/socket.h>

namespace sandbox {

void exclusive_listen_options(int sock) {
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace sandbox
