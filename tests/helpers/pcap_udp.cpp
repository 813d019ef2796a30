// pcap_udp FILE: prints each IPv4 UDP datagram of a capture, read by libpcap,
// as "SECONDS.MICROSECONDS SRC:PORT DST:PORT PAYLOAD", the payload escaped as
// printf's %b reads it, so that its own line feed never splits its line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <stdio.h>

// Link-layer header bytes before the IP header, per link type.
constexpr unsigned ETHERNET_HEADER = 14;
constexpr unsigned LINUX_SLL_HEADER = 16;
constexpr unsigned UDP_HEADER = 8;
constexpr unsigned IP_PROTO_UDP = 17;

// print_escaped: writes the payload bytes in %b-readable form.
static void
print_escaped(const unsigned char *p, unsigned len)
{
	for (unsigned i = 0; i < len; i++) {
		unsigned char c = p[i];
		if (c == '\n')
			fputs("\\n", stdout);
		else if (c == '\r')
			fputs("\\r", stdout);
		else if (c == '\t')
			fputs("\\t", stdout);
		else if (c == '\\')
			fputs("\\\\", stdout);
		else if (c < 0x20 || c > 0x7e)
			printf("\\x%02x", c);
		else
			putchar(c);
	}
}

// print_datagram: prints one captured frame if it holds a whole UDP header.
static void
print_datagram(const pcap_pkthdr *h, const unsigned char *frame, unsigned link_header)
{
	unsigned caplen = h->caplen;
	if (caplen < link_header + 20)
		return;
	const unsigned char *ip = frame + link_header;
	unsigned ip_header = (ip[0] & 0x0fU) * 4;
	if ((ip[0] >> 4) != 4 || ip[9] != IP_PROTO_UDP ||
	    caplen < link_header + ip_header + UDP_HEADER)
		return;
	const unsigned char *udp = ip + ip_header;
	unsigned udp_len = (static_cast<unsigned>(udp[4]) << 8) | udp[5];
	unsigned avail = caplen - link_header - ip_header;
	unsigned payload = (udp_len < avail ? udp_len : avail);
	payload = payload < UDP_HEADER ? 0 : payload - UDP_HEADER;
	char src[INET_ADDRSTRLEN], dst[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, ip + 12, src, sizeof src);
	inet_ntop(AF_INET, ip + 16, dst, sizeof dst);
	printf("%ld.%06ld %s:%u %s:%u ", static_cast<long>(h->ts.tv_sec),
	    static_cast<long>(h->ts.tv_usec), src, (static_cast<unsigned>(udp[0]) << 8) | udp[1],
	    dst, (static_cast<unsigned>(udp[2]) << 8) | udp[3]);
	print_escaped(udp + UDP_HEADER, payload);
	putchar('\n');
}

int
main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "usage: pcap_udp FILE\n");
		return 2;
	}
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *pcap = pcap_open_offline(argv[1], errbuf);
	if (pcap == nullptr) {
		fprintf(stderr, "pcap_udp: %s\n", errbuf);
		return 1;
	}
	unsigned link_header;
	switch (pcap_datalink(pcap)) {
	case DLT_EN10MB:
		link_header = ETHERNET_HEADER;
		break;
	case DLT_LINUX_SLL:
		link_header = LINUX_SLL_HEADER;
		break;
	default:
		fprintf(
		    stderr, "pcap_udp: %s: link type %d not read\n", argv[1], pcap_datalink(pcap));
		pcap_close(pcap);
		return 1;
	}
	pcap_pkthdr *h;
	const unsigned char *frame;
	int got;
	while ((got = pcap_next_ex(pcap, &h, &frame)) == 1)
		print_datagram(h, frame, link_header);
	if (got == PCAP_ERROR)
		fprintf(stderr, "pcap_udp: %s: %s\n", argv[1], pcap_geterr(pcap));
	pcap_close(pcap);
	return got == PCAP_ERROR ? 1 : 0;
}
