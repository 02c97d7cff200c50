// Helpers for driving the built hooktap against a private kernel and
// reading the pcapng stream it relays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace hk {

struct Interface {
  uint16_t linktype = 0;
  uint32_t snaplen = 0;
  std::string name;  // if_name
};

struct Packet {
  uint32_t ifid = 0, caplen = 0, origlen = 0;
  std::string data;
};

struct Stream {
  int sections = 0;
  std::vector<Interface> ifaces;
  std::vector<Packet> packets;
  size_t used = 0;       // bytes that form whole blocks
  bool valid = true;     // every block well formed
};

// Parses whole blocks; a trailing partial block is left unused.
Stream parse_pcapng(const std::string& bytes);

// The program's path and a command line for sh.
std::string hooktap();

// Waits until the capture node's "snoop" is joined to a socket node, that
// is, until hooktap relays. Returns the capture node's ID, or 0.
uint32_t wait_relaying(e2e::Kernel& k, const std::string& jail = "", double timeout = 5);

// Waits until no node of type "pcap" is left.
bool wait_no_capture_node(e2e::Kernel& k, double timeout = 5);

// Reads the background program's output until it holds `n` packets.
Stream read_packets(e2e::Background& bg, size_t n, double timeout = 5);

// The trace lines of generic NGM_SHUTDOWN messages sent by `pid`.
std::vector<e2e::json> shutdowns_by(e2e::Kernel& k, int pid);

}  // namespace hk
