#include "hooktap_e2e.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

namespace hk {

namespace {
uint32_t get32(const std::string& s, size_t off) {
  uint32_t v = 0;
  memcpy(&v, s.data() + off, 4);
  return v;
}
uint16_t get16(const std::string& s, size_t off) {
  uint16_t v = 0;
  memcpy(&v, s.data() + off, 2);
  return v;
}
double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
}  // namespace

Stream parse_pcapng(const std::string& b) {
  Stream st;
  size_t off = 0;
  while (off + 12 <= b.size()) {
    uint32_t type = get32(b, off), len = get32(b, off + 4);
    if (len < 12 || len % 4 != 0) {
      st.valid = false;
      break;
    }
    if (off + len > b.size()) break;
    if (get32(b, off + len - 4) != len) st.valid = false;
    std::string body = b.substr(off + 8, len - 12);
    if (type == 0x0A0D0D0A) {
      st.sections++;
      if (body.size() < 16 || get32(body, 0) != 0x1A2B3C4D) st.valid = false;
    } else if (type == 1) {
      Interface in;
      if (body.size() < 8) {
        st.valid = false;
      } else {
        in.linktype = get16(body, 0);
        in.snaplen = get32(body, 4);
        for (size_t o = 8; o + 4 <= body.size();) {
          uint16_t code = get16(body, o), olen = get16(body, o + 2);
          if (code == 0) break;
          if (code == 2) in.name = std::string(body.data() + o + 4, strnlen(body.data() + o + 4, olen));
          o += 4 + ((olen + 3u) & ~3u);
        }
      }
      st.ifaces.push_back(in);
    } else if (type == 6) {
      Packet p;
      if (body.size() < 20) {
        st.valid = false;
      } else {
        p.ifid = get32(body, 0);
        p.caplen = get32(body, 12);
        p.origlen = get32(body, 16);
        if (20 + p.caplen > body.size() || p.ifid >= st.ifaces.size())
          st.valid = false;
        else
          p.data = body.substr(20, p.caplen);
      }
      st.packets.push_back(p);
    }
    off += len;
  }
  st.used = off;
  return st;
}

std::string hooktap() { return e2e::bin_path("hooktap"); }

uint32_t wait_relaying(e2e::Kernel& k, const std::string& jail, double timeout) {
  double end = now() + timeout;
  while (now() < end) {
    e2e::json g = k.graph(jail);
    for (const auto& n : e2e::nodes_of_type(g, "pcap")) {
      const e2e::json* h = e2e::hook_of(n, "snoop");
      if (h != nullptr) return n["id"].get<uint32_t>();
    }
    usleep(20000);
  }
  return 0;
}

bool wait_no_capture_node(e2e::Kernel& k, double timeout) {
  double end = now() + timeout;
  while (now() < end) {
    if (e2e::nodes_of_type(k.graph(), "pcap").empty()) return true;
    usleep(20000);
  }
  return false;
}

Stream read_packets(e2e::Background& bg, size_t n, double timeout) {
  double end = now() + timeout;
  Stream st;
  size_t want = 64;
  for (;;) {
    const std::string& out = bg.read_out(want, 0.05);
    st = parse_pcapng(out);
    if (st.packets.size() >= n || !st.valid || now() >= end) return st;
    want = out.size() + 1;
  }
}

std::vector<e2e::json> shutdowns_by(e2e::Kernel& k, int pid) {
  std::vector<e2e::json> v;
  for (const auto& t : k.trace())
    if (t["pid"] == pid && t["cookie"] == 1137070366 && t["cmd"] == 1) v.push_back(t);
  return v;
}

}  // namespace hk
