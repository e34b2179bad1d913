#include "broker_harness.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qh_test {

std::int32_t free_local_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  std::int32_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

TableBrokerHarness::TableBrokerHarness() {
  // The port is free when chosen but another program may take it before the
  // broker binds it: a few tries with fresh ports.
  for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) {
    port_ = free_local_port();
    TableErrorText error{};
    if (!table_broker_prepare(root(), "127.0.0.1", port_, &error) ||
        !table_broker_start(root(), "127.0.0.1", port_, pid_, &error)) {
      error_ = error.c_str();
    }
  }
}

TableBrokerHarness::~TableBrokerHarness() { table_broker_stop(pid_); }

bool TableBrokerHarness::restart() {
  table_broker_stop(pid_);
  pid_ = -1;
  TableErrorText error{};
  bool ok = table_broker_start(root(), "127.0.0.1", port_, pid_, &error);
  if (!ok) error_ = error.c_str();
  return ok;
}

}  // namespace qh_test
