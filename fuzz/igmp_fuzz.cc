// libFuzzer target: sequences of captured frames and timer expiries into the
// IGMP checks and the handlers behind them, on fresh tables for every input.
//
// Input: byte 0 selects the querier mode (low 2 bits) and the debug level
// (next 2 bits); then operations until the input ends:
//   even op: a frame of the next 2 bytes' length (big endian), fed to
//            interface (op >> 2) & 1; with op & 2 both checksums are fixed
//            first, so that mutations get past them to the handlers;
//   odd op:  run the ((op >> 1) & 7) + 1 earliest timers, as time passing.
// Each frame lies in a heap block of exactly its length, so AddressSanitizer
// catches any read past the captured length. A full timer table traps: the
// table is sized so that no sequence of packets may fill it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

#include "core/core.h"
#include "igmp/igmp.h"

static bridge table[2];
static bridge_interface ifs[2][3];

static int fuzz_inject(igmp_interface *, const uint8_t *, size_t len) { return (int)len; }

static void fuzz_setup()
{
	const uint8_t groups[2][4] = {{239, 1, 1, 1}, {239, 2, 2, 2}};
	static const char *const names[3] = {"a-net", "b-net", "c-net"};
	for (int b = 0; b < 2; b++) {
		table[b].family = AF_INET;
		table[b].port = (uint16_t)(5000 + b);
		auto *sin = reinterpret_cast<sockaddr_in *>(&table[b].destination);
		sin->sin_family = AF_INET;
		memcpy(&sin->sin_addr, groups[b], 4);
		table[b].interfaces = ifs[b];
		table[b].interface_count = 3;
		for (int i = 0; i < 3; i++) {
			bridge_interface &bi = ifs[b][i];
			bi.bridge_index = (uint32_t)b;
			bi.socket = -1;
			// No dynamic inbound interface: activation needs no socket.
			bi.inbound_mode = i == 0 ? mode_static : mode_none;
			bi.outbound_mode = i == 0 ? mode_none : mode_dynamic;
			bi.name = names[i];
			bi.ifindex = (uint32_t)(6 + i);
			const uint8_t addr[4] = {10, 0, 0, (uint8_t)(1 + 4 * i)};
			memcpy(bi.ipv4_addr, addr, 4);
			const uint8_t hw[6] = {2, 0, 0, 0, 0, (uint8_t)(0x10 + i)};
			memcpy(bi.hwaddr, hw, 6);
		}
	}
	bridges = table;
	bridge_count = 2;
	for (int b = 0; b < 2; b++)
		for (int i = 1; i < 3; i++)
			igmp_register_interface(&ifs[b][i]);
	igmp_prepare(false);
	igmp_inject_hook = fuzz_inject;
	igmp_seed_random(1, 2);
}

static void fuzz_reset(uint8_t control)
{
	igmp_querier_mode = control & 3;
	debug_level = (control >> 2) & 3;
	igmp_evm->timer_count = 0;
	for (auto &row : ifs)
		for (auto &bi : row) {
			bi.inbound_active.store(0);
			bi.outbound_active.store(0);
		}
	for (uint32_t i = 0; i < igmp_interface_count; i++) {
		igmp_interface *ifc = &igmp_interfaces[i];
		for (uint32_t j = 0; j < ifc->group_capacity; j++) {
			igmp_group *g = &ifc->groups[j];
			g->active = g->v1_host_present = g->group_query_count = 0;
			if (j >= ifc->bridge_group_count)
				memset(g, 0, sizeof *g);
		}
		ifc->group_count = ifc->bridge_group_count;
		igmp_start_interface(ifc);
	}
}

static void fuzz_check_timers()
{
	if (igmp_evm->timer_count >= igmp_evm->timer_capacity)
		__builtin_trap();
}

static void fuzz_fix_checksums(uint8_t *f, size_t c)
{
	if (c < 34)
		return;
	size_t h = (size_t)(f[14] & 0x0f) * 4;
	if (h < 20 || c - 14 < h)
		return;
	f[24] = f[25] = 0;
	pkt_put_checksum(f + 24, ip_checksum(f + 14, (int32_t)h));
	size_t t = (size_t)f[16] << 8 | f[17];
	if (t < h + 4 || c - 14 < t)
		return;
	uint8_t *m = f + 14 + h;
	m[2] = m[3] = 0;
	pkt_put_checksum(m + 2, ip_checksum(m, (int32_t)(t - h)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = false;
	if (!ready) {
		fuzz_setup();
		ready = true;
	}
	if (size == 0)
		return 0;
	fuzz_reset(data[0]);
	size_t pos = 1;
	while (pos < size) {
		uint8_t op = data[pos++];
		if ((op & 1) == 0) {
			if (size - pos < 2)
				break;
			size_t len = (size_t)data[pos] << 8 | data[pos + 1];
			pos += 2;
			if (len > size - pos)
				len = size - pos;
			uint8_t *frame = static_cast<uint8_t *>(malloc(len ? len : 1));
			memcpy(frame, data + pos, len);
			pos += len;
			if (op & 2)
				fuzz_fix_checksums(frame, len);
			igmp_receive_frame(&igmp_interfaces[(op >> 2) & 1], pkt_view{{frame, len}});
			free(frame);
		} else {
			for (int n = ((op >> 1) & 7) + 1; n > 0 && igmp_evm->timer_count > 0; n--) {
				evm_callback cb = igmp_evm->timers[0].callback;
				void *arg = igmp_evm->timers[0].arg;
				evm_del_timer(igmp_evm, cb, arg);
				cb(arg);
			}
		}
		fuzz_check_timers();
	}
	return 0;
}
