// A Mosquitto of the table's own configuration for one test: a fresh root
// folder, a free port of 127.0.0.1, started and waited for, stopped and
// reaped on destruction. Nothing is left running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/test_support.h"
#include "table/table_broker.h"

namespace qh_test {

class TableBrokerHarness {
 public:
  TableBrokerHarness();
  ~TableBrokerHarness();
  TableBrokerHarness(const TableBrokerHarness&) = delete;
  TableBrokerHarness& operator=(const TableBrokerHarness&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& root() const { return root_.path(); }
  std::int32_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  // Stops and starts the broker again on the same port (its files kept).
  bool restart();

 private:
  TempDir root_;
  std::int32_t port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// A port of 127.0.0.1 nobody listens on right now.
std::int32_t free_local_port();

}  // namespace qh_test
