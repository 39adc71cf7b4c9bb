// Shared fixture of the MLD unit tests: a bridge table with dynamic outbound
// interfaces, the MLD tables built from it without captures, frames built
// byte by byte, sent frames seen through the injection hook.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/core.h"
#include "mld/mld.h"

using bytes = std::vector<uint8_t>;

inline bytes ip6(const char *text)
{
	bytes a(16);
	EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
	return a;
}

inline void put16(bytes &b, size_t off, uint32_t v)
{
	b[off] = (uint8_t)(v >> 8);
	b[off + 1] = (uint8_t)v;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const bytes &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

// ICMPv6 messages, checksum left zero.
inline bytes mld_v1(uint8_t type, const char *group)
{
	bytes m(8, 0);
	m[0] = type;
	return cat({m, ip6(group)});
}

inline bytes mld_query(const char *group, uint16_t max_resp, uint8_t s_qrv, uint8_t qqic)
{
	bytes m = mld_v1(130, group);
	put16(m, 4, max_resp);
	m.push_back(s_qrv);
	m.push_back(qqic);
	m.push_back(0);
	m.push_back(0);
	return m;
}

struct mld_record {
	uint8_t type;
	const char *group;
	uint16_t sources;
	uint8_t aux_words;
};

inline bytes mld_v2_report(std::initializer_list<mld_record> records)
{
	bytes m(8, 0);
	m[0] = 143;
	put16(m, 6, (uint32_t)records.size());
	for (const mld_record &r : records) {
		bytes h(4, 0);
		h[0] = r.type;
		h[1] = r.aux_words;
		put16(h, 2, r.sources);
		m = cat({m, h, ip6(r.group), bytes(16 * r.sources + 4 * r.aux_words, 0x11)});
	}
	return m;
}

// An Ethernet frame around an ICMPv6 message: Hop-by-Hop with Router Alert
// and PadN, Hop Limit 1, correct checksum. Tests break what they need.
struct mld_frame_opts {
	const char *source = "fe80::9";
	const char *destination = "ff02::1";
	uint8_t hop_limit = 1;
	bytes hbh = {58, 0, 5, 2, 0, 0, 1, 0};
};

inline bytes mld_frame(const bytes &msg, const mld_frame_opts &s = {})
{
	bytes f(54, 0);
	f[0] = 0x33;
	f[1] = 0x33;
	f[6] = 0x02;
	f[11] = 0x09;
	f[12] = 0x86;
	f[13] = 0xdd;
	f[14] = 0x60;
	put16(f, 18, (uint32_t)(s.hbh.size() + msg.size()));
	f[20] = 0;
	f[21] = s.hop_limit;
	bytes src = ip6(s.source), dst = ip6(s.destination);
	memcpy(&f[22], src.data(), 16);
	memcpy(&f[38], dst.data(), 16);
	bytes m = msg;
	if (m.size() >= 4) {
		m[2] = m[3] = 0;
		pkt_put_checksum(&m[2], icmp6_checksum(m.data(), (int32_t)m.size(), src.data(),
						       dst.data(), 58));
	}
	return cat({f, s.hbh, m});
}

inline std::vector<bytes> mld_sent;

inline int mld_record_inject(mld_interface *, const uint8_t *frame, size_t len)
{
	mld_sent.emplace_back(frame, frame + len);
	return (int)len;
}

struct mld_fixture : ::testing::Test {
	std::vector<bridge_interface *> bis;

	// One bridge per group, each with a dynamic outbound interface on
	// veth-b (index 7, fe80::2, 02:00:00:00:00:02).
	void build(std::initializer_list<const char *> groups, const char *link_local = "fe80::2",
		   bool set_up = true)
	{
		release();
		bridge_count = bridge_capacity = (uint32_t)groups.size();
		bridges = new bridge[groups.size()]();
		uint32_t n = 0;
		bis.clear();
		for (const char *g : groups) {
			bridge *b = &bridges[n];
			b->family = AF_INET6;
			b->port = (uint16_t)(5000 + n);
			auto *sa = reinterpret_cast<sockaddr_in6 *>(&b->destination);
			sa->sin6_family = AF_INET6;
			inet_pton(AF_INET6, g, &sa->sin6_addr);
			b->destination_length = sizeof(sockaddr_in6);
			b->interfaces = new bridge_interface[1]();
			b->interface_count = 1;
			bridge_interface *bi = &b->interfaces[0];
			bi->bridge_index = n;
			bi->socket = -1;
			bi->outbound_mode = mode_dynamic;
			bi->name = "veth-b";
			bi->ifindex = 7;
			inet_pton(AF_INET6, link_local, bi->ipv6_link_local_addr);
			const uint8_t hw[6] = {0x02, 0, 0, 0, 0, 0x02};
			memcpy(bi->hwaddr, hw, 6);
			bis.push_back(bi);
			n++;
		}
		for (bridge_interface *bi : bis)
			mld_register_interface(bi);
		if (set_up)
			mld_setup_tables();
		mld_sent.clear();
		mld_inject_hook = mld_record_inject;
	}

	// Start the querier per mode and forget what start-up sent.
	void start(uint32_t mode)
	{
		mld_querier_mode = mode;
		mld_seed_random(12345);
		for (uint32_t n = 0; n < mld_interface_count; n++)
			mld_start_interface(&mld_interfaces[n]);
		mld_sent.clear();
	}

	void SetUp() override
	{
		debug_level = 3;
		mld_querier_mode = querier_quick;
	}
	void TearDown() override
	{
		mld_inject_hook = nullptr;
		release();
	}

	// The daemon never frees its tables; the tests do, so that the leak
	// checker of the sanitizer build sees real leaks only.
	static void release()
	{
		for (uint32_t n = 0; n < mld_interface_count; n++) {
			mld_interface *i = &mld_interfaces[n];
			for (uint32_t k = 0; k < i->group_count; k++)
				free(i->groups[k].bridge_interfaces);
			free(i->groups);
		}
		free(mld_interfaces);
		mld_interfaces = nullptr;
		mld_interface_count = mld_interface_capacity = 0;
		if (mld_evm != nullptr) {
			free(mld_evm->fds);
			free(mld_evm->timers);
			free(mld_evm->events);
			if (mld_evm->queue >= 0)
				close(mld_evm->queue);
			free(mld_evm);
			mld_evm = nullptr;
		}
		for (uint32_t n = 0; n < bridge_count; n++)
			delete[] bridges[n].interfaces;
		delete[] bridges;
		bridges = nullptr;
		bridge_count = bridge_capacity = 0;
	}

	mld_interface *iface() { return &mld_interfaces[0]; }

	void receive(const bytes &frame) { mld_receive_frame(iface(), pkt_view{frame}); }

	// Milliseconds until the pending timer of a pair, -1 when none is pending.
	int64_t pending(evm_callback cb, const void *arg)
	{
		const evm_timer *t = evm_find_timer(mld_evm, cb, arg);
		if (t == nullptr)
			return -1;
		timespec now;
		clock_gettime(CLOCK_MONOTONIC, &now);
		return evm_ms_left(t, &now);
	}

	// Expires the pending timer of a pair now, as the loop does when it is
	// due: removed first, then called. (Running the loop on a clock reading
	// far ahead would also run every re-armed timer due before it.)
	void fire(evm_callback cb, void *arg)
	{
		ASSERT_NE(evm_find_timer(mld_evm, cb, arg), nullptr);
		evm_del_timer(mld_evm, cb, arg);
		cb(arg);
	}

	std::string text(const uint8_t *addr)
	{
		char buf[46];
		return mld_addr_text(addr, buf);
	}
};

// The pending timer is armed for about ms (allowing for the test's own run time).
#define EXPECT_PENDING(ms_expr, cb, arg)                                                   \
	do {                                                                               \
		int64_t left_ = pending(cb, arg);                                          \
		EXPECT_LE(left_, (int64_t)(ms_expr)) << #cb;                               \
		EXPECT_GE(left_, (int64_t)(ms_expr) - 500) << #cb;                         \
	} while (0)
