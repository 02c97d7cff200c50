#include "pcap.h"

#include "../node.h"

#include <cerrno>
#include <cstring>
#include <sys/time.h>

namespace ngpcap {

namespace {

constexpr const char* kTypeWords[] = {"ether", "inet", "inet6"};
constexpr uint16_t kLinkTypes[] = {1, 228, 229};  // ETHERNET, IPV4, IPV6
static_assert(sizeof(kTypeWords) / sizeof(kTypeWords[0]) ==
              sizeof(kLinkTypes) / sizeof(kLinkTypes[0]));

constexpr size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

struct Writer {
  std::vector<uint8_t> b;
  void u16(uint16_t v) { put(&v, 2); }
  void u32(uint32_t v) { put(&v, 4); }
  void u64(uint64_t v) { put(&v, 8); }
  void put(const void* p, size_t n) {
    const uint8_t* s = static_cast<const uint8_t*>(p);
    b.insert(b.end(), s, s + n);
  }
  void pad() { b.resize(pad4(b.size()), 0); }
  void option(uint16_t code, const void* p, uint16_t n) {
    u16(code);
    u16(n);
    put(p, n);
    pad();
  }
  void end_of_options() {
    u16(block::kOptEndOfOpt);
    u16(0);
  }
  // Starts a block: type and a placeholder for the total length.
  void begin(uint32_t type) {
    u32(type);
    u32(0);
  }
  // Ends a block: the total length, written at both ends.
  std::vector<uint8_t> finish() {
    pad();
    uint32_t total = uint32_t(b.size() + 4);
    u32(total);
    std::memcpy(&b[4], &total, 4);
    return std::move(b);
  }
};

}  // namespace

int hook_index(const char* name) {
  if (std::strcmp(name, kSnoopHook) == 0) return kSnoop;
  if (std::strncmp(name, "source", 6) == 0 && name[6] >= '0' && name[6] < '0' + kSources &&
      name[7] == '\0')
    return name[6] - '0';
  return -1;
}

std::string source_name(int index) { return "source" + std::to_string(index); }

int type_of_word(const char* word) {
  for (size_t i = 0; i < sizeof(kTypeWords) / sizeof(kTypeWords[0]); i++)
    if (std::strcmp(word, kTypeWords[i]) == 0) return int(i);
  return -1;
}

uint16_t linktype_of(int pkt_type) { return kLinkTypes[pkt_type]; }

uint64_t now_usec() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
}

namespace block {

std::vector<uint8_t> section_header() {
  Writer w;
  w.begin(kSectionHeader);
  w.u32(kByteOrderMagic);
  w.u16(1);  // major
  w.u16(0);  // minor
  w.u64(~uint64_t(0));  // section length: not given
  w.end_of_options();
  return w.finish();
}

std::vector<uint8_t> interface_description(uint16_t linktype, uint32_t snaplen,
                                           const std::string& if_name) {
  Writer w;
  w.begin(kInterfaceDescription);
  w.u16(linktype);
  w.u16(0);  // reserved
  w.u32(snaplen);
  w.option(kOptIfName, if_name.data(), uint16_t(if_name.size()));
  w.end_of_options();
  return w.finish();
}

std::vector<uint8_t> enhanced_packet(uint32_t if_id, uint64_t ts_usec, const uint8_t* data,
                                     uint32_t caplen, uint32_t origlen) {
  Writer w;
  w.b.reserve(kEnhancedPacketOverhead + pad4(caplen));
  w.begin(kEnhancedPacket);
  w.u32(if_id);
  w.u32(uint32_t(ts_usec >> 32));
  w.u32(uint32_t(ts_usec));
  w.u32(caplen);
  w.u32(origlen);
  w.put(data, caplen);
  return w.finish();
}

}  // namespace block

PcapStream::PcapStream(Deliver deliver, Clock clock)
    : deliver_(std::move(deliver)), clock_(std::move(clock)) {}

int PcapStream::control(uint32_t cookie, uint32_t cmd, const void* arg, size_t arglen) {
  if (cookie != kCookie) return EINVAL;
  const uint8_t* a = static_cast<const uint8_t*>(arg);
  switch (cmd) {
    case kCmdSetSnaplen:
      return set_snaplen(a, arglen);
    case kCmdSetType:
      return set_type(a, arglen);
    default:
      return EINVAL;
  }
}

int PcapStream::set_snaplen(const uint8_t* arg, size_t arglen) {
  if (arglen != kSnaplenArgLen) return EINVAL;
  // Byte 0 carries no meaning here and bytes 1..3 are padding.
  uint32_t v;
  std::memcpy(&v, arg + 4, 4);
  if (v < kMinSnaplen || v > kMaxSnaplen) return EINVAL;
  if (v == snaplen_) return 0;
  snaplen_ = v;
  // The descriptions already written name the old snap length; packets
  // from now on are cut to the new one, so each source is described anew.
  redescribe_all();
  return 0;
}

int PcapStream::set_type(const uint8_t* arg, size_t arglen) {
  if (arglen != kTypeArgLen) return EINVAL;
  const char* hook = reinterpret_cast<const char*>(arg);
  const char* word = reinterpret_cast<const char*>(arg + kTypeArgHookLen);
  if (memchr(hook, '\0', kTypeArgHookLen) == nullptr) return EINVAL;
  if (memchr(word, '\0', kTypeArgWordLen) == nullptr) return EINVAL;
  int i = hook_index(hook);
  if (i < 0 || i == kSnoop) return EINVAL;
  int t = type_of_word(word);
  if (t < 0) return EINVAL;
  if (src_[i].type == t) return 0;
  src_[i].type = uint8_t(t);
  src_[i].described = false;
  if (src_[i].connected && snoop_ && section_written_) describe(i);
  return 0;
}

void PcapStream::redescribe_all() {
  for (int i = 0; i < kSources; i++) src_[i].described = false;
  if (!snoop_ || !section_written_) return;
  for (int i = 0; i < kSources; i++)
    if (src_[i].connected) describe(i);
}

bool PcapStream::describe(int i) {
  Source& s = src_[i];
  std::vector<uint8_t> idb = block::interface_description(linktype_of(s.type),
                                                          max_caplen(snaplen_), source_name(i));
  if (!deliver_(idb)) return false;
  s.described = true;
  s.if_id = next_if_id_++;
  return true;
}

bool PcapStream::catch_up(int i) {
  if (!section_written_) {
    if (!deliver_(block::section_header())) return false;
    section_written_ = true;
    // Every source still owes its description, in source-number order.
    for (int j = 0; j < kSources; j++)
      if (src_[j].connected && !src_[j].described) describe(j);
  }
  return src_[i].described || describe(i);
}

void PcapStream::hook_connected(int index) {
  if (index == kSnoop) {
    snoop_ = true;
    section_written_ = false;
    next_if_id_ = 0;
    for (int i = 0; i < kSources; i++) src_[i].described = false;
    if (!deliver_(block::section_header())) return;
    section_written_ = true;
    for (int i = 0; i < kSources; i++)
      if (src_[i].connected) describe(i);
    return;
  }
  Source& s = src_[index];
  s.connected = true;
  s.described = false;
  if (snoop_ && section_written_) describe(index);
}

void PcapStream::hook_disconnected(int index) {
  if (index == kSnoop) {
    snoop_ = false;
    return;
  }
  src_[index].connected = false;
  src_[index].described = false;
}

int PcapStream::packet(int source, const uint8_t* data, size_t len) {
  if (!snoop_ || !src_[source].connected) {
    dropped_++;
    return ENOTCONN;
  }
  // A packet never names an interface the stream has not described.
  if (!catch_up(source)) {
    dropped_++;
    return ENOBUFS;
  }
  uint32_t caplen = uint32_t(len < max_caplen(snaplen_) ? len : max_caplen(snaplen_));
  if (!deliver_(block::enhanced_packet(src_[source].if_id, clock_(), data, caplen,
                                       uint32_t(len)))) {
    dropped_++;
    return ENOBUFS;
  }
  return 0;
}

}  // namespace ngpcap

// ---- the node type ----

namespace {

class PcapNode : public ngsim::NodeOps {
 public:
  PcapNode(ngsim::KernelApi& k, ngsim::Node& n)
      : k_(k), stream_([this, &n](const std::vector<uint8_t>& b) { return deliver(n, b); }) {}

  int newhook(ngsim::Node&, const std::string& name, ngsim::Node&,
              const std::string&) override {
    return ngpcap::hook_index(name.c_str()) < 0 ? EINVAL : 0;
  }

  void connected(ngsim::Node&, ngsim::Hook& h) override {
    int i = ngpcap::hook_index(h.name.c_str());
    if (i >= 0) stream_.hook_connected(i);
  }

  int rcvmsg(ngsim::Node&, const ngsim::CtlMsg& m) override {
    return stream_.control(m.cookie, m.cmd, m.arg, m.arglen);
  }

  int rcvdata(ngsim::Node&, ngsim::Hook& h, const uint8_t* data, size_t len) override {
    int i = ngpcap::hook_index(h.name.c_str());
    // What a reader writes into "snoop" has nowhere to go.
    if (i >= 0 && i < ngpcap::kSources) return stream_.packet(i, data, len);
    return 0;
  }

  void disconnect(ngsim::Node& self, ngsim::Hook& h) override {
    int i = ngpcap::hook_index(h.name.c_str());
    if (i >= 0) stream_.hook_disconnected(i);
    if (!self.alive) return;
    // Once its reader is gone the node has no purpose: a capture program
    // killed by a signal leaves nothing hanging on the tapped hooks.
    bool left = false;
    for (const ngsim::Hook* k : self.hooks)
      if (k->alive && k != &h) left = true;
    if (i == ngpcap::kSnoop || !left) k_.shutdown(self);
  }

 private:
  bool deliver(ngsim::Node& self, const std::vector<uint8_t>& b) {
    ngsim::Hook* h = self.findhook(ngpcap::kSnoopHook);
    return h != nullptr && k_.send_data(*h, b.data(), b.size()) == 0;
  }

  ngsim::KernelApi& k_;
  ngpcap::PcapStream stream_;
};

}  // namespace

void ngsim_register_pcap(ngsim::KernelApi& k) {
  k.register_type({"pcap", "ng_pcap", [](ngsim::KernelApi& kk, ngsim::Node& n) {
                     return std::unique_ptr<ngsim::NodeOps>(new PcapNode(kk, n));
                   }});
}
