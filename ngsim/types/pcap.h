// The capture node type "pcap" (module ng_pcap): eight input hooks
// source0..source7 and one output hook "snoop", on which it writes a pcapng
// stream, one block per datagram.
//
// The stream logic lives in PcapStream, which knows nothing about the graph:
// the node glue feeds it hook events, control messages and packets, and gives
// it a function that tries to deliver one datagram on "snoop".
#ifndef NGSIM_TYPES_PCAP_H
#define NGSIM_TYPES_PCAP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ngpcap {

constexpr uint32_t kCookie = 1751984553;  // NGM_PCAP_COOKIE
constexpr uint32_t kCmdSetSnaplen = 2;    // NGM_PCAP_SET_SNAPLEN
constexpr uint32_t kCmdSetType = 4;       // NGM_PCAP_SET_TYPE
constexpr size_t kSnaplenArgLen = 8;
constexpr size_t kTypeArgLen = 40;
constexpr size_t kTypeArgHookLen = 32;    // bytes 0..31: source hook name
constexpr size_t kTypeArgWordLen = 8;     // bytes 32..39: type word

constexpr int kSources = 8;
constexpr int kSnoop = kSources;          // hook index of "snoop"
constexpr const char* kSnoopHook = "snoop";

constexpr uint32_t kMinSnaplen = 128;
constexpr uint32_t kMaxSnaplen = 262144;
constexpr uint32_t kDefaultSnaplen = kMaxSnaplen;

// Packet types of a source hook, in the order of the type words.
enum PktType : uint8_t { kEther = 0, kInet = 1, kInet6 = 2 };

// Index of a hook name: 0..7 for source0..source7, kSnoop for "snoop",
// -1 for anything else.
int hook_index(const char* name);
std::string source_name(int index);
// The packet type of a type word, or -1 when it is none of them.
int type_of_word(const char* word);
uint16_t linktype_of(int pkt_type);

// Largest captured length for a snapshot length: what an Enhanced Packet
// Block of at most `snaplen` bytes can carry.
constexpr uint32_t max_caplen(uint32_t snaplen) {
  return snaplen < 32 ? 0 : (snaplen - 32) & ~uint32_t(3);
}

// pcapng blocks, in host byte order.
namespace block {
constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEndOfOpt = 0;
constexpr uint16_t kOptIfName = 2;
constexpr size_t kEnhancedPacketOverhead = 32;

std::vector<uint8_t> section_header();
std::vector<uint8_t> interface_description(uint16_t linktype, uint32_t snaplen,
                                           const std::string& if_name);
// `caplen` bytes of `data` are kept; `origlen` is the length on the wire.
std::vector<uint8_t> enhanced_packet(uint32_t if_id, uint64_t ts_usec,
                                     const uint8_t* data, uint32_t caplen,
                                     uint32_t origlen);
}  // namespace block

// Microseconds since the epoch.
uint64_t now_usec();

class PcapStream {
 public:
  // Tries to hand one datagram to the reader on "snoop"; false when it
  // could not be delivered (no reader, or the reader's socket is full).
  using Deliver = std::function<bool(const std::vector<uint8_t>&)>;
  using Clock = std::function<uint64_t()>;

  explicit PcapStream(Deliver deliver, Clock clock = now_usec);

  // A control message of the node's own cookie; returns 0 or an errno.
  int control(uint32_t cookie, uint32_t cmd, const void* arg, size_t arglen);

  void hook_connected(int index);
  void hook_disconnected(int index);
  // 0 when the packet went out, else ENOTCONN (no reader) or ENOBUFS.
  int packet(int source, const uint8_t* data, size_t len);

  uint32_t snaplen() const { return snaplen_; }
  int type(int source) const { return src_[source].type; }
  bool snoop_connected() const { return snoop_; }
  uint64_t dropped() const { return dropped_; }
  uint32_t interfaces_written() const { return next_if_id_; }

 private:
  struct Source {
    bool connected = false;
    uint8_t type = kEther;
    bool described = false;  // an IDB for its current setting is in the stream
    uint32_t if_id = 0;      // valid while described
  };

  int set_snaplen(const uint8_t* arg, size_t arglen);
  int set_type(const uint8_t* arg, size_t arglen);
  // Writes what the stream owes before source `i`'s next packet; false when
  // that could not be delivered.
  bool catch_up(int i);
  bool describe(int i);
  void redescribe_all();

  Deliver deliver_;
  Clock clock_;
  uint32_t snaplen_ = kDefaultSnaplen;
  Source src_[kSources];
  bool snoop_ = false;
  bool section_written_ = false;
  uint32_t next_if_id_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace ngpcap

namespace ngsim {
class KernelApi;
}
// Registers the type with the kernel (module ng_pcap).
void ngsim_register_pcap(ngsim::KernelApi& k);

#endif  // NGSIM_TYPES_PCAP_H
