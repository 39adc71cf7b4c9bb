// MLD querier election (lowest link-local address wins, RFC 3810 §7.6.2),
// general queries while we are querier, and the start of the MLD side.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "core/core.h"
#include "mld/mld.h"

unsigned short mld_rand_state[3];

static const uint8_t mld_no_querier[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
					   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// RFC 3810 §9: robustness, query interval, query response interval and
// last listener query interval.
static void mld_set_defaults(mld_interface *i)
{
	i->robustness = 2;
	i->query_interval = 125;
	i->query_response_interval = 10000;
	i->last_member_query_interval = 1000;
}

static bool mld_is_querier(const mld_interface *i)
{
	return memcmp(i->querier_address, i->address, 16) == 0;
}

void mld_seed_random(uint32_t value)
{
	// As srand48(value) would seed the generator.
	mld_rand_state[0] = 0x330e;
	mld_rand_state[1] = (unsigned short)(value & 0xffff);
	mld_rand_state[2] = (unsigned short)(value >> 16);
}

void mld_build_query_frames(mld_interface *i)
{
	static const uint8_t group_mac[6] = {0x33, 0x33, 0, 0, 0, 0};
	static const uint8_t all_nodes_mac[6] = {0x33, 0x33, 0, 0, 0, 0x01};
	static const uint8_t unspecified[16] = {};
	static const uint8_t all_nodes[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0,
					      0,    0,    0, 0, 0, 0, 0, 0x01};

	// MLDv2 query, RFC 3810 §5.1: the codes we send are below the
	// exponential range and written literally.
	uint8_t *f = i->group_query_frame;
	memset(f, 0, mld_query_frame_size);
	mld_build_frame_header(f, i, group_mac, unspecified, 36);
	f[62] = 130;
	f[66] = 1000 >> 8; // Maximum Response Code, ms
	f[67] = 1000 & 0xff;
	f[86] = 0x02; // QRV 2
	f[87] = 125;  // QQIC, s

	f = i->general_query_frame;
	memset(f, 0, mld_query_frame_size);
	mld_build_frame_header(f, i, all_nodes_mac, all_nodes, 36);
	f[62] = 130;
	f[66] = 10000 >> 8;
	f[67] = 10000 & 0xff;
	f[86] = 0x02;
	f[87] = 125;
	pkt_put_checksum(&f[64], icmp6_checksum(&f[62], 28, &f[22], &f[38], 58));
}

void mld_send_general_query(void *arg)
{
	mld_interface *i = static_cast<mld_interface *>(arg);
	char text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: sending general query\n", i->name,
			 mld_addr_text(i->address, text));
	mld_inject(i, i->general_query_frame, mld_query_frame_size);

	// RFC 3810 §9.6/§9.7: start-up queries at a quarter of the interval.
	uint32_t delay = i->query_interval * 1000;
	if (i->startup_query_count > 0) {
		i->startup_query_count--;
		delay >>= 2;
	}
	evm_add_timer(mld_evm, delay, mld_send_general_query, i);
}

static void mld_become_querier(mld_interface *i)
{
	mld_set_defaults(i);
	memcpy(i->querier_address, i->address, 16);
	i->startup_query_count = 1;
	evm_del_timer(mld_evm, mld_send_general_query, i);
	mld_send_general_query(i);
}

void mld_querier_timeout(void *arg)
{
	mld_interface *i = static_cast<mld_interface *>(arg);
	char text[46];
	if (debug_level >= log_level_state)
		log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(i->querier_address, text),
			 "Querier timeout");
	if (mld_querier_mode != querier_never) {
		if (debug_level >= log_level_state)
			log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(i->address, text),
				 "Querier mode activated");
		mld_become_querier(i);
		return;
	}
	if (debug_level >= log_level_state)
		log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(i->address, text),
			 "Querier mode disabled");
	memcpy(i->querier_address, mld_no_querier, 16);
}

static void mld_adopt_querier(mld_interface *i, const uint8_t *source, bool v2)
{
	memcpy(i->querier_address, source, 16);
	if (!v2) {
		// An MLDv1 query carries no timer values: fall back to the defaults.
		i->robustness = 2;
		i->query_interval = 125;
		i->query_response_interval = 10000;
	}
	char text[46];
	if (debug_level >= log_level_state)
		log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(i->querier_address, text),
			 "New querier elected");
}

void mld_handle_query(mld_interface *i, const uint8_t *source, pkt_view msg)
{
	size_t len = pkt_len(msg);
	if (len <= 23) {
		mld_packet_error(i, source, "Packet too short to contain an MLD query");
		return;
	}
	bool v2 = len >= 28; // RFC 3810 §8.1: the length tells the versions apart
	const uint8_t *group = pkt_ptr(msg, 8);
	char text[46], group_text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: received %s query [group %s]\n", i->name,
			 mld_addr_text(source, text), v2 ? "v2" : "v1",
			 mld_addr_text(group, group_text));

	// Addresses compared as 128-bit numbers in network order: memcmp on
	// unsigned bytes, the first difference decides.
	int to_querier = memcmp(source, i->querier_address, 16);
	if (to_querier != 0) {
		if (mld_is_querier(i)) {
			if (to_querier < 0 || mld_querier_mode == querier_defer) {
				evm_del_timer(mld_evm, mld_send_general_query, i);
				mld_adopt_querier(i, source, v2);
			} else {
				return; // a higher address while we query: not a querier for us
			}
		} else if (to_querier < 0) {
			mld_adopt_querier(i, source, v2);
		}
	}

	if (v2) {
		// RFC 3810 §9.1, §9.2, §9.3: adopt the querier's values.
		uint8_t qrv = pkt_u8(msg, 24) & 0x07;
		i->robustness = qrv != 0 ? qrv : 2;
		i->query_interval = decode_code8(pkt_u8(msg, 25));
		i->query_response_interval = decode_code16(pkt_u16(msg, 4));
	}

	// RFC 3810 §9.5: other querier present interval.
	evm_del_timer(mld_evm, mld_querier_timeout, i);
	evm_add_timer(mld_evm,
		      i->robustness * i->query_interval * 1000 + i->query_response_interval / 2,
		      mld_querier_timeout, i);

	// The S flag asks routers not to lower their timers (RFC 3810 §5.1.7).
	if (v2 && (pkt_u8(msg, 24) & 0x08) != 0)
		return;
	static const uint8_t unspecified[16] = {};
	if (memcmp(group, unspecified, 16) == 0)
		return;
	mld_group *g = mld_find_group(i, group);
	if (g == nullptr || !g->active)
		return;
	// RFC 3810 §7.6.1: another querier asked about the group.
	evm_del_timer(mld_evm, mld_group_timeout, g);
	evm_add_timer(mld_evm, i->query_response_interval * i->robustness + 10, mld_group_timeout,
		      g);
}

void mld_start_interface(mld_interface *i)
{
	mld_build_mrd_advert(i);
	i->mrd_initial_count = 2;
	mld_send_mrd_advert(i);

	mld_build_query_frames(i);

	if (mld_querier_mode == querier_quick) {
		char text[46];
		if (debug_level >= log_level_state)
			log_warn("MLD(%s) [%s]: %s\n", i->name, mld_addr_text(i->address, text),
				 "Querier mode activated");
		mld_become_querier(i);
		return;
	}
	mld_set_defaults(i);
	memcpy(i->querier_address, mld_no_querier, 16);
	if (mld_querier_mode != querier_never)
		evm_add_timer(mld_evm, 125500, mld_querier_timeout, i);
}

void *mld_thread_main(void *)
{
	evm_run(mld_evm);
}

void mld_start()
{
	if (mld_interface_count == 0)
		return;
	mld_seed_random((uint32_t)((uint64_t)time(nullptr) ^ (uint64_t)getpid()));
	for (uint32_t n = 0; n < mld_interface_count; n++)
		mld_start_interface(&mld_interfaces[n]);

	pthread_t thread;
	int err = pthread_create(&thread, nullptr, mld_thread_main, nullptr);
	if (err != 0)
		log_fatal("cannot create MLD thread: %s\n", strerror(err));
}
