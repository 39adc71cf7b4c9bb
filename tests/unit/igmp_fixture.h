// Shared fixture of the IGMP unit tests: a bridge table with dynamic
// outbound interfaces, the IGMP tables built from it without captures,
// frames built byte by byte, sent frames seen through the injection hook,
// and timers checked against clock readings taken around each action.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/core.h"
#include "igmp/igmp.h"

using bytes = std::vector<uint8_t>;

inline bytes ip4(const char *text)
{
	bytes a(4);
	EXPECT_EQ(inet_pton(AF_INET, text, a.data()), 1) << text;
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

inline void fix_checksum(bytes &b, size_t from, size_t len, size_t field)
{
	b[field] = b[field + 1] = 0;
	pkt_put_checksum(&b[field], ip_checksum(&b[from], (int32_t)len));
}

// IGMP messages with their checksum filled in.
inline bytes igmp_msg(uint8_t type, uint8_t code, const char *group)
{
	bytes m = cat({{type, code, 0, 0}, ip4(group)});
	fix_checksum(m, 0, m.size(), 2);
	return m;
}

inline bytes igmp_v3_query(const char *group, uint8_t max_resp, uint8_t s_qrv, uint8_t qqic)
{
	bytes m = cat({{0x11, max_resp, 0, 0}, ip4(group), {s_qrv, qqic, 0, 0}});
	fix_checksum(m, 0, m.size(), 2);
	return m;
}

struct igmp_record {
	uint8_t type;
	const char *group;
	uint16_t sources;
	uint8_t aux_words;
};

inline bytes igmp_v3_report(std::initializer_list<igmp_record> records)
{
	bytes m = {0x22, 0, 0, 0, 0, 0, 0, 0};
	put16(m, 6, (uint32_t)records.size());
	for (const igmp_record &r : records) {
		bytes h = {r.type, r.aux_words, 0, 0};
		put16(h, 2, r.sources);
		m = cat({m, h, ip4(r.group), bytes(4 * r.sources + 4 * r.aux_words, 0x11)});
	}
	fix_checksum(m, 0, m.size(), 2);
	return m;
}

// An Ethernet frame around an IGMP message: IPv4 header of 24 bytes with
// the Router Alert option, both checksums right.
inline bytes igmp_frame(const char *src, const bytes &msg, const char *dst = "224.0.0.1")
{
	bytes f = {0x01, 0x00, 0x5e, 0, 0, 1, 0x02, 0, 0, 0, 0, 0x99, 0x08, 0x00};
	bytes ip = {0x46, 0xc0, 0, 0, 0, 0, 0x40, 0, 1, 2, 0, 0};
	put16(ip, 2, (uint32_t)(24 + msg.size()));
	f = cat({f, ip, ip4(src), ip4(dst), {0x94, 0x04, 0, 0}, msg});
	fix_checksum(f, 14, 24, 24);
	return f;
}

// The querier's own lines of a captured log, without the bridge's.
inline std::string igmp_lines(const std::string &log)
{
	std::string out;
	size_t at = 0;
	while (at < log.size()) {
		size_t end = log.find('\n', at);
		end = end == std::string::npos ? log.size() : end + 1;
		if (log.compare(at, 5, "IGMP(") == 0)
			out += log.substr(at, end - at);
		at = end;
	}
	return out;
}

struct sent_frame {
	igmp_interface *ifc;
	bytes data;
};

inline std::vector<sent_frame> igmp_sent;
inline int igmp_inject_result;

inline int igmp_record_inject(igmp_interface *ifc, const uint8_t *frame, size_t len)
{
	igmp_sent.push_back({ifc, bytes(frame, frame + len)});
	return igmp_inject_result;
}

inline timespec mono_now()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t;
}

// Bridges: 0 (239.1.1.1/5000) and 1 (239.1.1.1/5001) with a dynamic
// outbound interface on b-net (index 7), 2 (239.2.2.2/5002) with one on
// b-net and one on c-net (index 8). Interface 0 of every bridge is the
// static inbound a-net; no dynamic inbound interface, so activation needs
// no socket.
class IgmpTest : public ::testing::Test {
protected:
	bridge table[3];
	bridge_interface ifs[3][3];
	timespec before{};

	void SetUp() override
	{
		const char *groups[] = {"239.1.1.1", "239.1.1.1", "239.2.2.2"};
		for (int b = 0; b < 3; b++) {
			bridge &br = table[b];
			memset(&br.destination, 0, sizeof br.destination);
			br.family = AF_INET;
			br.port = (uint16_t)(5000 + b);
			auto *sin = reinterpret_cast<sockaddr_in *>(&br.destination);
			sin->sin_family = AF_INET;
			sin->sin_port = htons(br.port);
			inet_pton(AF_INET, groups[b], &sin->sin_addr);
			br.destination_length = sizeof(sockaddr_in);
			br.interfaces = ifs[b];
			br.interface_count = b == 2 ? 3 : 2;
			for (int i = 0; i < 3; i++) {
				bridge_interface &bi = ifs[b][i];
				bi.bridge_index = (uint32_t)b;
				bi.socket = -1;
				bi.inbound_mode = i == 0 ? mode_static : mode_none;
				bi.outbound_mode = i == 0 ? mode_none : mode_dynamic;
				bi.inbound_active.store(0);
				bi.outbound_active.store(0);
				static const char *names[] = {"a-net", "b-net", "c-net"};
				bi.name = names[i];
				bi.ifindex = (uint32_t)(6 + i);
				memset(bi.ipv4_addr, 0, 4);
				bi.ipv4_addr[0] = 10;
				bi.ipv4_addr[3] = (uint8_t)(1 + i * 4);
				const uint8_t hw[6] = {0x02, 0, 0, 0, 0, (uint8_t)(0x10 + i)};
				memcpy(bi.hwaddr, hw, 6);
			}
		}
		bridges = table;
		bridge_count = 3;
		debug_level = 0;
		igmp_querier_mode = querier_quick;
		igmp_sent.clear();
		igmp_inject_result = 50;
		igmp_inject_hook = igmp_record_inject;
		for (int b = 0; b < 3; b++)
			for (uint32_t i = 1; i < table[b].interface_count; i++)
				igmp_register_interface(&ifs[b][i]);
	}

	void TearDown() override
	{
		for (uint32_t i = 0; i < igmp_interface_count; i++) {
			igmp_interface *ifc = &igmp_interfaces[i];
			for (uint32_t j = 0; j < ifc->group_count; j++)
				free(ifc->groups[j].bridge_interfaces);
			free(ifc->groups);
		}
		free(igmp_interfaces);
		igmp_interfaces = nullptr;
		igmp_interface_count = igmp_interface_capacity = 0;
		if (igmp_evm != nullptr) {
			if (igmp_evm->queue >= 0)
				close(igmp_evm->queue);
			free(igmp_evm->fds);
			free(igmp_evm->events);
			free(igmp_evm->timers);
			free(igmp_evm);
			igmp_evm = nullptr;
		}
		igmp_inject_hook = nullptr;
		bridges = nullptr;
		bridge_count = 0;
		debug_level = 0;
	}

	igmp_interface *b_net() { return &igmp_interfaces[0]; }
	igmp_interface *c_net() { return &igmp_interfaces[1]; }

	// Tables frozen, event manager made, frames built; no timer pending.
	void prepare()
	{
		igmp_prepare(false);
		for (uint32_t i = 0; i < igmp_interface_count; i++) {
			igmp_build_mrd_frame(&igmp_interfaces[i]);
			igmp_build_query_frames(&igmp_interfaces[i]);
		}
	}

	// Prepared and started as by igmp_start (without the thread); the
	// start-up frames and timers are dropped, except as kept.
	void start(bool keep = false)
	{
		igmp_prepare(false);
		igmp_seed_random(12345, 678);
		for (uint32_t i = 0; i < igmp_interface_count; i++)
			igmp_start_interface(&igmp_interfaces[i]);
		if (!keep) {
			igmp_sent.clear();
			igmp_evm->timer_count = 0;
		}
	}

	void mark() { before = mono_now(); }

	void receive(igmp_interface *ifc, const bytes &frame)
	{
		mark();
		igmp_receive_frame(ifc, pkt_view{{frame.data(), frame.size()}});
	}

	// Run a pending timer's callback now, as the loop would at its expiry.
	void fire(evm_callback cb, void *arg)
	{
		ASSERT_NE(evm_find_timer(igmp_evm, cb, arg), nullptr) << "timer not pending";
		evm_del_timer(igmp_evm, cb, arg);
		mark();
		cb(arg);
	}

	// The pending timer (cb, arg) was armed with this delay by the action
	// that started at the last mark().
	::testing::AssertionResult armed(evm_callback cb, const void *arg, int64_t ms)
	{
		const evm_timer *t = evm_find_timer(igmp_evm, cb, arg);
		if (t == nullptr)
			return ::testing::AssertionFailure() << "not pending";
		timespec after = mono_now();
		int64_t lo = evm_ms_left(t, &before), hi = evm_ms_left(t, &after);
		if (lo >= ms && hi <= ms)
			return ::testing::AssertionSuccess();
		return ::testing::AssertionFailure() << "armed for " << lo << " ms, expected " << ms;
	}

	bool pending(evm_callback cb, const void *arg)
	{
		return evm_find_timer(igmp_evm, cb, arg) != nullptr;
	}

	int count_pending(evm_callback cb, const void *arg)
	{
		int n = 0;
		for (int32_t i = 0; i < igmp_evm->timer_count; i++)
			n += igmp_evm->timers[i].callback == cb && igmp_evm->timers[i].arg == arg;
		return n;
	}

	igmp_group *group(igmp_interface *ifc, const char *addr)
	{
		bytes a = ip4(addr);
		for (uint32_t i = 0; i < ifc->group_count; i++)
			if (memcmp(ifc->groups[i].address, a.data(), 4) == 0)
				return &ifc->groups[i];
		return nullptr;
	}
};
