// Fuzzes the MLD receive path: arbitrary frames into the frame checks and
// the handlers behind them, with timers expiring in between.
//
// Input: one flag byte, then frames, each preceded by a 2-byte length.
// Flags: bits 0-1 querier mode, bit 2 expire the earliest timer after each
// frame, bit 3 fix the ICMPv6 checksum (so handlers are reached), bits 5-6
// debug level.
#include <arpa/inet.h>
#include <cstring>

#include "core/core.h"
#include "mld/mld.h"

static int fuzz_inject(mld_interface *, const uint8_t *, size_t len) { return (int)len; }

static mld_interface saved_interface;
static mld_group *saved_groups;

static void fuzz_setup()
{
	static bridge table[2];
	static bridge_interface interfaces[2];
	static const char *const groups[2] = {"ff05::1", "ff0e::1:2"};
	bridges = table;
	bridge_count = bridge_capacity = 2;
	for (uint32_t n = 0; n < 2; n++) {
		table[n].family = AF_INET6;
		table[n].port = (uint16_t)(5000 + n);
		auto *sa = reinterpret_cast<sockaddr_in6 *>(&table[n].destination);
		sa->sin6_family = AF_INET6;
		inet_pton(AF_INET6, groups[n], &sa->sin6_addr);
		table[n].interfaces = &interfaces[n];
		table[n].interface_count = 1;
		interfaces[n].bridge_index = n;
		interfaces[n].socket = -1;
		interfaces[n].outbound_mode = mode_dynamic;
		interfaces[n].name = "veth-f";
		interfaces[n].ifindex = 3;
		inet_pton(AF_INET6, "fe80::2", interfaces[n].ipv6_link_local_addr);
		mld_register_interface(&interfaces[n]);
	}
	mld_setup_tables();
	mld_inject_hook = fuzz_inject;
	mld_seed_random(1);
	mld_build_mrd_advert(&mld_interfaces[0]);
	mld_build_query_frames(&mld_interfaces[0]);
	saved_interface = mld_interfaces[0];
	size_t size = saved_interface.group_capacity * sizeof(mld_group);
	saved_groups = static_cast<mld_group *>(malloc(size));
	memcpy(saved_groups, saved_interface.groups, size);
}

static void fuzz_reset(uint8_t flags)
{
	mld_interface *i = &mld_interfaces[0];
	mld_group *groups = i->groups;
	*i = saved_interface;
	memcpy(groups, saved_groups, i->group_capacity * sizeof(mld_group));
	for (uint32_t n = 0; n < bridge_count; n++)
		bridges[n].interfaces[0].outbound_active = 0;
	mld_evm->timer_count = 0;
	mld_querier_mode = flags & 3;
	debug_level = (flags >> 5) & 3;
	mld_start_interface(i);
}

static void fuzz_expire_earliest()
{
	if (mld_evm->timer_count == 0)
		return;
	evm_callback cb = mld_evm->timers[0].callback;
	void *arg = mld_evm->timers[0].arg;
	evm_del_timer(mld_evm, cb, arg);
	cb(arg);
}

static void fuzz_fix_checksum(uint8_t *f, size_t len)
{
	if (len < 66)
		return;
	size_t payload = (size_t)(f[18] << 8 | f[19]);
	if (payload < 12 || payload > len - 54)
		return;
	f[64] = f[65] = 0;
	pkt_put_checksum(&f[64], icmp6_checksum(&f[62], (int32_t)(payload - 8), &f[22], &f[38], 58));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = false;
	if (!ready) {
		fuzz_setup();
		ready = true;
	}
	if (size < 1)
		return 0;
	uint8_t flags = data[0];
	fuzz_reset(flags);
	size_t off = 1;
	for (int n = 0; n < 8 && off + 2 <= size; n++) {
		size_t len = (size_t)(data[off] << 8 | data[off + 1]);
		off += 2;
		if (len > size - off)
			len = size - off;
		// A copy of exactly len bytes, so reads past the frame are caught.
		uint8_t *copy = static_cast<uint8_t *>(malloc(len ? len : 1));
		memcpy(copy, data + off, len);
		if (flags & 0x08)
			fuzz_fix_checksum(copy, len);
		mld_receive_frame(&mld_interfaces[0], pkt_view{std::span<const uint8_t>(copy, len)});
		free(copy);
		off += len;
		if (flags & 0x04)
			fuzz_expire_earliest();
	}
	return 0;
}
