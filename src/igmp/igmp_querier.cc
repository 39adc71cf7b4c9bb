// IGMP querier election (RFC 3376 §6.6, simplified, steered by the querier
// mode), general queries, and the start of the IGMP thread.
#include "igmp/igmp.h"

#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "core/core.h"

unsigned short igmp_rand_state[3];

static const uint8_t no_querier[4] = {255, 255, 255, 255};

static uint32_t igmp_addr_u32(const uint8_t *a)
{
	return (uint32_t)a[0] << 24 | (uint32_t)a[1] << 16 | (uint32_t)a[2] << 8 | a[3];
}

bool igmp_is_querier(const igmp_interface *ifc)
{
	return memcmp(ifc->querier_address, ifc->address, 4) == 0;
}

static void igmp_state(const igmp_interface *ifc, const uint8_t *addr, const char *text)
{
	if (debug_level < log_level_state)
		return;
	char buf[16];
	log_warn("IGMP(%s) [%s]: %s\n", ifc->name, igmp_addr_text(addr, buf), text);
}

void igmp_seed_random(uint32_t seconds, uint32_t pid)
{
	uint32_t s = seconds ^ pid;
	igmp_rand_state[0] = 0x330e;
	igmp_rand_state[1] = (unsigned short)(s & 0xffff);
	igmp_rand_state[2] = (unsigned short)(s >> 16);
}

void igmp_build_ip_header(uint8_t *f, const uint8_t *dst_mac, const uint8_t *src_mac,
			  uint16_t total_length, const uint8_t *src, const uint8_t *dst)
{
	memcpy(f, dst_mac, 6);
	memcpy(f + 6, src_mac, 6);
	f[12] = 0x08;
	f[13] = 0x00;
	f[14] = 0x46;
	f[15] = 0xc0; // internetwork control
	f[16] = (uint8_t)(total_length >> 8);
	f[17] = (uint8_t)total_length;
	f[18] = f[19] = 0;
	f[20] = 0x40; // don't fragment
	f[21] = 0;
	f[22] = 1; // RFC 3376 §4: TTL 1
	f[23] = 2; // IGMP
	f[24] = f[25] = 0;
	memcpy(f + 26, src, 4);
	memcpy(f + 30, dst, 4);
	f[34] = 0x94; // Router Alert, RFC 2113
	f[35] = 0x04;
	f[36] = f[37] = 0;
}

void igmp_build_query_frames(igmp_interface *ifc)
{
	// RFC 1112 §6.4: 01:00:5e and the low 23 bits of the group.
	const uint8_t mac_all_hosts[6] = {0x01, 0x00, 0x5e, (uint8_t)(all_hosts_group[1] & 0x7f),
					  all_hosts_group[2], all_hosts_group[3]};
	const uint8_t mac_template[6] = {0x01, 0x00, 0x5e, 0, 0, 0};
	const uint8_t zero[4] = {0, 0, 0, 0};

	uint8_t *f = ifc->general_query_frame;
	igmp_build_ip_header(f, mac_all_hosts, ifc->hwaddr, 36, ifc->address, all_hosts_group);
	f[38] = 0x11;
	f[39] = 100; // Max Resp Code: 10 s
	f[40] = f[41] = 0;
	memset(f + 42, 0, 4);
	f[46] = 0x02; // S clear, QRV 2
	f[47] = 125;  // QQIC
	f[48] = f[49] = 0;
	pkt_put_checksum(f + 24, ip_checksum(f + 14, 24));
	pkt_put_checksum(f + 40, ip_checksum(f + 38, 12));

	// The group, the S flag and both checksums are set before each send.
	memcpy(ifc->group_query_frame, f, igmp_query_frame_size);
	f = ifc->group_query_frame;
	memcpy(f, mac_template, 6);
	memcpy(f + 30, zero, 4);
	f[39] = 10; // Max Resp Code: 1 s
	f[24] = f[25] = 0;
	f[40] = f[41] = 0;
}

static void igmp_querier_defaults(igmp_interface *ifc)
{
	ifc->robustness = 2;
	ifc->query_interval = 125;
	ifc->query_response_interval = 100;
	ifc->last_member_query_interval = 10;
}

static void igmp_become_querier(igmp_interface *ifc)
{
	igmp_state(ifc, ifc->address, "Querier mode activated");
	igmp_querier_defaults(ifc);
	memcpy(ifc->querier_address, ifc->address, 4);
	ifc->startup_query_count = 1;
	igmp_send_general_query(ifc);
}

void igmp_start_interface(igmp_interface *ifc)
{
	igmp_build_mrd_frame(ifc);
	ifc->mrd_initial_count = 2;
	igmp_send_mrd_advert(ifc);
	igmp_build_query_frames(ifc);
	if (igmp_querier_mode == querier_quick) {
		igmp_become_querier(ifc);
		return;
	}
	igmp_querier_defaults(ifc);
	memcpy(ifc->querier_address, no_querier, 4);
	if (igmp_querier_mode != querier_never)
		evm_add_timer(igmp_evm, 125500, igmp_querier_timeout, ifc);
}

void *igmp_thread_main(void *)
{
	evm_run(igmp_evm);
}

void igmp_start()
{
	if (igmp_interface_count == 0)
		return;
	igmp_seed_random((uint32_t)time(nullptr), (uint32_t)getpid());
	for (uint32_t i = 0; i < igmp_interface_count; i++)
		igmp_start_interface(&igmp_interfaces[i]);
	pthread_t thread;
	int err = pthread_create(&thread, nullptr, igmp_thread_main, nullptr);
	if (err != 0)
		log_fatal("cannot create IGMP thread: %s\n", strerror(err));
}

void igmp_send_general_query(void *arg)
{
	igmp_interface *ifc = static_cast<igmp_interface *>(arg);
	if (debug_level >= log_level_packet) {
		char buf[16];
		log_warn("IGMP(%s) [%s]: sending general query\n", ifc->name,
			 igmp_addr_text(ifc->address, buf));
	}
	igmp_inject(ifc, ifc->general_query_frame, igmp_query_frame_size);
	// RFC 3376 §8.6/§8.7: start-up queries at a quarter of the interval.
	uint32_t delay = ifc->query_interval * 1000;
	if (ifc->startup_query_count > 0) {
		ifc->startup_query_count--;
		delay /= 4;
	}
	evm_add_timer(igmp_evm, delay, igmp_send_general_query, ifc);
}

void igmp_querier_timeout(void *arg)
{
	igmp_interface *ifc = static_cast<igmp_interface *>(arg);
	igmp_state(ifc, ifc->querier_address, "Querier timeout");
	if (igmp_querier_mode != querier_never) {
		igmp_become_querier(ifc);
		return;
	}
	igmp_state(ifc, ifc->address, "Querier mode disabled");
	memcpy(ifc->querier_address, no_querier, 4);
}

void igmp_handle_query(igmp_interface *ifc, const uint8_t *src, pkt_view msg)
{
	size_t l = pkt_len(msg);
	if (l < 8) {
		igmp_packet_error(ifc, src, "Packet too short to contain an IGMP query");
		return;
	}
	// RFC 3376 §7.1: a query of 12 bytes or more is IGMPv3; v1 and v2 are
	// not told apart.
	bool v3 = l >= 12;
	const uint8_t *group = pkt_ptr(msg, 4);
	if (debug_level >= log_level_packet) {
		char s[16], g[16];
		log_warn("IGMP(%s) [%s]: received %s query [group %s]\n", ifc->name,
			 igmp_addr_text(src, s), v3 ? "v3" : "v2", igmp_addr_text(group, g));
	}

	uint32_t s = igmp_addr_u32(src);
	bool adopt = false;
	if (memcmp(src, ifc->querier_address, 4) == 0) {
		// the querier we follow: values below
	} else if (igmp_is_querier(ifc)) {
		if (!(s < igmp_addr_u32(ifc->address) || igmp_querier_mode == querier_defer))
			return; // a higher router while we query: ignored entirely
		evm_del_timer(igmp_evm, igmp_send_general_query, ifc);
		adopt = true;
	} else if (s < igmp_addr_u32(ifc->querier_address)) {
		adopt = true;
	}
	if (adopt) {
		memcpy(ifc->querier_address, src, 4);
		if (!v3) {
			uint8_t max_resp = pkt_u8(msg, 1);
			ifc->robustness = 2;
			ifc->query_interval = 125;
			ifc->query_response_interval = max_resp != 0 ? max_resp : 100;
		}
		igmp_state(ifc, ifc->querier_address, "New querier elected");
	}
	if (v3) {
		// RFC 3376 §4.1.6, §4.1.7: QRV 0 means the default.
		uint8_t qrv = pkt_u8(msg, 8) & 0x07;
		ifc->robustness = qrv != 0 ? qrv : 2;
		ifc->query_interval = decode_code8(pkt_u8(msg, 9));
		ifc->query_response_interval = decode_code8(pkt_u8(msg, 1));
	}
	evm_del_timer(igmp_evm, igmp_querier_timeout, ifc);
	evm_add_timer(igmp_evm, igmp_other_querier_ms(ifc), igmp_querier_timeout, ifc);

	// Another querier's group-specific query lowers the group timer
	// (RFC 3376 §6.4.1); with S set, routers do not touch their timers.
	if (v3 && (pkt_u8(msg, 8) & 0x08) != 0)
		return;
	static const uint8_t zero[4] = {0, 0, 0, 0};
	if (memcmp(group, zero, 4) == 0)
		return;
	igmp_group *g = igmp_find_group(ifc, group);
	if (g == nullptr || !g->active)
		return;
	evm_del_timer(igmp_evm, igmp_group_timeout, g);
	evm_add_timer(igmp_evm, ifc->robustness * ifc->query_response_interval * 100 + 10,
		      igmp_group_timeout, g);
}
