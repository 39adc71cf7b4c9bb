// RFC 1071 Internet checksum, and the ICMPv6 variant with the RFC 8200 §8.1 pseudo-header.
#include "packet/packet.h"

static uint32_t checksum_add(uint32_t sum, const uint8_t *p, int32_t len)
{
	// Words in network order: first byte high. The result is stored high
	// byte first, which gives the same packet bytes as summing natively.
	while (len >= 2) {
		sum += (uint32_t)(p[0] << 8 | p[1]);
		p += 2;
		len -= 2;
	}
	if (len == 1)
		sum += (uint32_t)(p[0] << 8);
	return sum;
}

static uint16_t checksum_fold(uint32_t sum)
{
	sum = (sum & 0xffff) + (sum >> 16);
	sum = sum + (sum >> 16);
	return (uint16_t)~sum;
}

uint16_t ip_checksum(const void *data, int32_t len)
{
	return checksum_fold(checksum_add(0, static_cast<const uint8_t *>(data), len));
}

uint16_t icmp6_checksum(const void *msg, int32_t len, const uint8_t src[16],
			const uint8_t dst[16], int next_header)
{
	uint32_t sum = checksum_add(0, src, 16);
	sum = checksum_add(sum, dst, 16);
	uint32_t ulen = (uint32_t)len;
	sum += ulen >> 16;
	sum += ulen & 0xffff;
	sum += (uint32_t)(next_header & 0xff);
	sum = checksum_add(sum, static_cast<const uint8_t *>(msg), len);
	return checksum_fold(sum);
}
