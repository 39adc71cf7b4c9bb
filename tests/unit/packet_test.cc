// Checksums against RFC examples and hand-checked values; time codes at their edges.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "packet/packet.h"

TEST(IpChecksum, SmallBuffers)
{
	const uint8_t odd[] = {0x01, 0x02, 0x03};
	const uint8_t ab[] = {0xab};
	EXPECT_EQ(ip_checksum(odd, 3), 0xFBFD); // the odd byte counts as 03 00
	EXPECT_EQ(ip_checksum(ab, 0), 0xFFFF);
	EXPECT_EQ(ip_checksum(ab, 1), 0x54FF);
}

TEST(IpChecksum, Rfc1071Example)
{
	// RFC 1071 §3: the words sum to 0xddf2 once the carries are folded.
	const uint8_t data[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
	EXPECT_EQ(ip_checksum(data, 8), (uint16_t)~0xddf2);
}

TEST(IpChecksum, ValidHeaderVerifiesAndEveryByteMatters)
{
	uint8_t hdr[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
			   0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
	pkt_put_checksum(&hdr[10], ip_checksum(hdr, 20));
	EXPECT_EQ(hdr[10], 0xb8);
	EXPECT_EQ(hdr[11], 0x61);
	EXPECT_EQ(ip_checksum(hdr, 20), 0);
	for (int i = 0; i < 20; i++) {
		uint8_t copy[20];
		memcpy(copy, hdr, 20);
		copy[i] ^= 0x01;
		EXPECT_NE(ip_checksum(copy, 20), 0) << "byte " << i;
	}
}

TEST(IpChecksum, LargestBufferDoesNotOverflow)
{
	std::vector<uint8_t> all(65535, 0xff);
	// 32767 words of 0xffff plus a padded 0xff00: folds to 0xff00, complement 0x00ff.
	EXPECT_EQ(ip_checksum(all.data(), (int32_t)all.size()), 0x00ff);
}

TEST(Icmp6Checksum, SymmetricAndVerifies)
{
	// An MLDv2 report from fe80::1 to ff02::16 with one record.
	uint8_t src[16] = {0xfe, 0x80};
	src[15] = 1;
	uint8_t dst[16] = {0xff, 0x02};
	dst[15] = 0x16;
	uint8_t msg[28] = {143, 0, 0, 0, 0, 0, 0, 1, 4, 0, 0, 0, 0xff, 0x05};
	msg[27] = 0x75;
	uint16_t sum = icmp6_checksum(msg, 28, src, dst, 58);
	EXPECT_EQ(sum, icmp6_checksum(msg, 28, dst, src, 58));
	pkt_put_checksum(&msg[2], sum);
	EXPECT_EQ(icmp6_checksum(msg, 28, src, dst, 58), 0);
	msg[27] ^= 0x80;
	EXPECT_NE(icmp6_checksum(msg, 28, src, dst, 58), 0);
}

TEST(Icmp6Checksum, KnownValue)
{
	// MLDv1 report for ff02::1:ff00:1 from fe80::1, worked by hand:
	// pseudo-header fe80+1 + ff02+2 (dst ff02::2) + 24 + 58, message words.
	uint8_t src[16] = {0xfe, 0x80};
	src[15] = 1;
	uint8_t dst[16] = {0xff, 0x02};
	dst[15] = 2;
	uint8_t msg[24] = {131, 0, 0, 0, 0, 0, 0, 0, 0xff, 0x02};
	msg[19] = 1;
	msg[20] = 0xff;
	msg[23] = 1;
	uint32_t sum = 0xfe80 + 1 + 0xff02 + 2 + 24 + 58 + 0x8300 + 0xff02 + 1 + 0xff00 + 1;
	while (sum >> 16)
		sum = (sum & 0xffff) + (sum >> 16);
	EXPECT_EQ(icmp6_checksum(msg, 24, src, dst, 58), (uint16_t)~sum);
}

struct code_case {
	uint32_t code;
	uint32_t value;
};

TEST(DecodeCode, Code8)
{
	const code_case cases[] = {{0, 0}, {100, 100}, {127, 127}, {128, 128}, {0x8f, 248},
				   {0xff, 31744}};
	for (auto c : cases)
		EXPECT_EQ(decode_code8((uint8_t)c.code), c.value) << c.code;
}

TEST(DecodeCode, Code16)
{
	const code_case cases[] = {{0, 0},	   {10000, 10000}, {0x7fff, 32767},
				   {0x8000, 32768}, {0xffff, 8387584}};
	for (auto c : cases)
		EXPECT_EQ(decode_code16((uint16_t)c.code), c.value) << c.code;
}

TEST(PktView, BoundsNeverOverflow)
{
	const uint8_t b[4] = {1, 2, 3, 4};
	pkt_view v{b};
	EXPECT_TRUE(pkt_has(v, 0, 4));
	EXPECT_TRUE(pkt_has(v, 4, 0));
	EXPECT_FALSE(pkt_has(v, 1, 4));
	EXPECT_FALSE(pkt_has(v, 5, 0));
	EXPECT_FALSE(pkt_has(v, 2, SIZE_MAX)); // off + len would wrap
	EXPECT_EQ(pkt_u16(v, 2), 0x0304);
	EXPECT_EQ(pkt_u16(v, 3), 0);
	EXPECT_EQ(pkt_len(pkt_sub(v, 1, 2)), 2u);
	EXPECT_EQ(pkt_len(pkt_sub(v, 3, 2)), 0u);
}
