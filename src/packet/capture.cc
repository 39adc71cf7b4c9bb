// The live capture that the IGMP and MLD queriers share: promiscuous, in
// immediate mode, with their own filter; the same handle injects frames.
#include <pcap/pcap.h>

#include "core/core.h"
#include "packet/packet.h"

pcap_t *packet_open_capture(const char *name, const char *filter)
{
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *p = pcap_create(name, errbuf);
	if (p == nullptr)
		log_fatal("pcap_create for interface %s failed: %s\n", name, errbuf);
	int rc = pcap_set_snaplen(p, 65535);
	if (rc != 0)
		log_fatal("pcap_set_snaplen failed: %d\n", rc);
	// Promiscuous: reports go to the group's address, not to the router.
	rc = pcap_set_promisc(p, 1);
	if (rc != 0)
		log_fatal("pcap_set_promisc failed: %d\n", rc);
	// Without immediate mode the kernel buffers packets until a timeout
	// and reports arrive late enough to disturb the last-member timing.
	rc = pcap_set_immediate_mode(p, 1);
	if (rc != 0)
		log_fatal("pcap_set_immediate_mode failed: %d\n", rc);
	if (pcap_activate(p) < 0) // positive values are warnings
		log_fatal("pcap_activate failed: %s\n", pcap_geterr(p));
	bpf_program prog;
	if (pcap_compile(p, &prog, filter, 1, PCAP_NETMASK_UNKNOWN) == -1)
		log_fatal("pcap_compile failed: %s\n", pcap_geterr(p));
	if (pcap_setfilter(p, &prog) != 0)
		log_fatal("pcap_setfilter failed: %s\n", pcap_geterr(p));
	pcap_freecode(&prog);
	return p;
}
