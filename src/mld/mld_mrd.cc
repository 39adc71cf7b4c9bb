// IPv6 Multicast Router Discovery (RFC 4286): periodic advertisements to
// the all-snoopers group and answers to solicitations.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "mld/mld.h"

void mld_build_mrd_advert(mld_interface *i)
{
	static const uint8_t snoopers_mac[6] = {0x33, 0x33, 0, 0, 0, 0x6a};
	static const uint8_t all_snoopers[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0,
						 0,    0,    0, 0, 0, 0, 0, 0x6a};
	uint8_t *f = i->mrd_advert_frame;
	memset(f, 0, mld_advert_frame_size);
	mld_build_frame_header(f, i, snoopers_mac, all_snoopers, 16);
	f[62] = 151; // Multicast Router Advertisement
	f[63] = 20;  // advertisement interval, s
	f[67] = 125; // query interval, s
	f[69] = 2;   // robustness variable
	pkt_put_checksum(&f[64], icmp6_checksum(&f[62], 8, &f[22], &f[38], 58));
}

void mld_send_mrd_advert(void *arg)
{
	mld_interface *i = static_cast<mld_interface *>(arg);
	char text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: sending Multicast Router Discovery advertisement\n", i->name,
			 mld_addr_text(i->address, text));
	mld_inject(i, i->mrd_advert_frame, mld_advert_frame_size);

	// RFC 4286 §4.1: a few initial advertisements at short random
	// intervals, then the advertisement interval with jitter.
	uint32_t r = (uint32_t)nrand48(mld_rand_state);
	uint32_t delay;
	if (i->mrd_initial_count > 0) {
		i->mrd_initial_count--;
		delay = r % 2000;
	} else {
		delay = r % 1000 + 19500;
	}
	evm_add_timer(mld_evm, delay, mld_send_mrd_advert, i);
}

void mld_handle_mrd_solicitation(mld_interface *i, const uint8_t *source)
{
	char text[46];
	if (debug_level >= log_level_packet)
		log_warn("MLD(%s) [%s]: received Multicast Router Solicitation\n", i->name,
			 mld_addr_text(source, text));
	evm_del_timer(mld_evm, mld_send_mrd_advert, i);
	mld_send_mrd_advert(i);
}
