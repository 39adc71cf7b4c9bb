// Packet utilities: bounded byte views, Internet/ICMPv6 checksums, IGMPv3/MLDv2 time codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A received packet is only ever read through this view: every accessor
// checks the length, so no handler can read past what was captured.
struct pkt_view {
	std::span<const uint8_t> bytes;
};

inline bool pkt_has(pkt_view v, size_t off, size_t len)
{
	return off <= v.bytes.size() && len <= v.bytes.size() - off;
}

inline size_t pkt_len(pkt_view v) { return v.bytes.size(); }

// Callers check pkt_has first; out of range reads yield 0 rather than UB.
inline uint8_t pkt_u8(pkt_view v, size_t off)
{
	return pkt_has(v, off, 1) ? v.bytes[off] : 0;
}

inline uint16_t pkt_u16(pkt_view v, size_t off)
{
	return pkt_has(v, off, 2) ? (uint16_t)(v.bytes[off] << 8 | v.bytes[off + 1]) : 0;
}

// The bytes [off, off + len), or an empty view when they are not all there.
inline pkt_view pkt_sub(pkt_view v, size_t off, size_t len)
{
	if (!pkt_has(v, off, len))
		return pkt_view{};
	return pkt_view{v.bytes.subspan(off, len)};
}

inline const uint8_t *pkt_ptr(pkt_view v, size_t off) { return v.bytes.data() + off; }

uint16_t ip_checksum(const void *data, int32_t len);
uint16_t icmp6_checksum(const void *msg, int32_t len, const uint8_t src[16],
			const uint8_t dst[16], int next_header);
uint32_t decode_code8(uint8_t code);
uint32_t decode_code16(uint16_t code);

// Opens and filters a live capture on an interface; ends the process on any
// failure. The caller registers pcap_get_selectable_fd with its own message.
struct pcap;
pcap *packet_open_capture(const char *name, const char *filter);

// Store a 16-bit checksum (as computed above) in network order.
inline void pkt_put_checksum(uint8_t *field, uint16_t sum)
{
	field[0] = (uint8_t)(sum >> 8);
	field[1] = (uint8_t)sum;
}
