// IGMP Multicast Router Discovery (RFC 4286): advertisements on every
// interface whatever the querier mode, solicitations answered at once.
#include "igmp/igmp.h"

#include <cstdlib>

#include "core/core.h"

void igmp_build_mrd_frame(igmp_interface *ifc)
{
	const uint8_t mac[6] = {0x01, 0x00, 0x5e, (uint8_t)(all_snoopers_group[1] & 0x7f),
				all_snoopers_group[2], all_snoopers_group[3]};
	uint8_t *f = ifc->mrd_advert_frame;
	igmp_build_ip_header(f, mac, ifc->hwaddr, 32, ifc->address, all_snoopers_group);
	f[38] = 0x30;
	f[39] = 20; // advertisement interval, seconds
	f[40] = f[41] = 0;
	// RFC 4286 §4.1: the advertised query interval and robustness are our
	// defaults, whatever another querier has set on the link.
	f[42] = 0;
	f[43] = 125;
	f[44] = 0;
	f[45] = 2;
	pkt_put_checksum(f + 24, ip_checksum(f + 14, 24));
	pkt_put_checksum(f + 40, ip_checksum(f + 38, 8));
}

void igmp_send_mrd_advert(void *arg)
{
	igmp_interface *ifc = static_cast<igmp_interface *>(arg);
	if (debug_level >= log_level_packet) {
		char buf[16];
		log_warn("IGMP(%s) [%s]: sending Multicast Router Discovery advertisement\n",
			 ifc->name, igmp_addr_text(ifc->address, buf));
	}
	igmp_inject(ifc, ifc->mrd_advert_frame, igmp_mrd_frame_size);
	// RFC 4286 §4.1: initial advertisements at random short intervals,
	// then the advertisement interval with jitter.
	uint32_t r = (uint32_t)nrand48(igmp_rand_state);
	uint32_t delay;
	if (ifc->mrd_initial_count > 0) {
		ifc->mrd_initial_count--;
		delay = r % 2000;
	} else {
		delay = 19500 + r % 1000;
	}
	evm_add_timer(igmp_evm, delay, igmp_send_mrd_advert, ifc);
}

void igmp_handle_mrd_solicitation(igmp_interface *ifc, const uint8_t *src)
{
	if (debug_level >= log_level_packet) {
		char buf[16];
		log_warn("IGMP(%s) [%s]: received Multicast Router Solicitation\n", ifc->name,
			 igmp_addr_text(src, buf));
	}
	evm_del_timer(igmp_evm, igmp_send_mrd_advert, ifc);
	igmp_send_mrd_advert(ifc);
}
